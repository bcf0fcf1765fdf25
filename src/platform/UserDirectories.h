#pragma once

#include <QString>

namespace kelvo {

// $XDG_CONFIG_HOME, else ~/.config.
QString ConfigHome();
// ConfigHome() + "/kelvo": the program's own per-user files.
QString KelvoConfigDirectory();

} // namespace kelvo
