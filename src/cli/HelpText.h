#pragma once

#include <QString>

namespace kelvo::cli {

// What --help prints: every command, its options and the exit statuses.
QString HelpText();

} // namespace kelvo::cli
