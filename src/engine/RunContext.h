#pragma once

#include "config/Configuration.h"
#include "engine/Clock.h"
#include "engine/RunObserver.h"
#include "engine/RunState.h"
#include "platform/MountedDrive.h"

#include <functional>
#include <optional>
#include <string>

namespace kelvo {

// Everything a run works on; the application owns each piece and hands it over.
struct RunContext
{
    Configuration& configuration;
    RunState& state;
    RunStatistics& statistics;
    RunObserver& observer;
    const Clock& clock;
    bool screenSaverMode = false; // RunMode "SS"
    // The desktop's screen saver started this run (the idle trigger): like a run of the screen-saver
    // mode, it has the machine to itself and goes at full speed.
    bool userAway = false;
    // The drive that holds a set's root, or nothing when the root is missing; tests, which cannot
    // unplug a drive, answer for it.
    std::function<std::optional<std::string>(const std::string& directory)> driveOf = DriveOf;
};

} // namespace kelvo
