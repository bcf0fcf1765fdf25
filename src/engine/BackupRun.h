#pragma once

#include "engine/RunContext.h"

namespace kelvo {

// Runs every set (AllSets) or the set at setIndex over the prepared directory lists.
// A request made while a run is busy (from inside its event yields) is queued and run after it.
void RunBackup(RunContext& context, qint16 setIndex);

} // namespace kelvo
