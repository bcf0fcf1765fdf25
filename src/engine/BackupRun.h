#pragma once

#include "app/Configuration.h"
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

// Runs every set (AllSets) or the set at setIndex over the prepared directory lists.
// A request made while a run is busy (from inside its event yields) is queued and run after it.
void RunBackup(RunContext& context, qint16 setIndex);

} // namespace kelvo
