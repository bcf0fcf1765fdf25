#include "config/DoneCommand.h"

#include "config/Configuration.h"

namespace kelvo {

void DoneCommand(SettingsStore& store, Configuration& configuration, const std::function<void()>& windowSteps)
{
    CommitConfiguration(store, configuration);
    if (windowSteps)
        windowSteps();
}

} // namespace kelvo
