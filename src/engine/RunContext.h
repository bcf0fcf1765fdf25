#pragma once

#include "config/Configuration.h"
#include "engine/Clock.h"
#include "engine/RunObserver.h"
#include "engine/RunState.h"

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
};

} // namespace kelvo
