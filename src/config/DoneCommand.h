#pragma once

#include <functional>

namespace kelvo {

class SettingsStore;
struct Configuration;

// The set list editor's Done command: commits the configuration (save, then load) and then runs the
// editor's window steps, which end the program in run modes "CONFIG" and "SS". The legacy import
// commits through here too, so both take the same way out.
void DoneCommand(SettingsStore& store, Configuration& configuration,
                 const std::function<void()>& windowSteps);

} // namespace kelvo
