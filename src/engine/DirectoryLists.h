#pragma once

#include "config/Configuration.h"
#include "engine/RunState.h"

#include <QString>

namespace kelvo {

// Prepares state.DirectoryLists and state.TotalDirectories for every set of the configuration.
// When startedByWindows is "WIN" and flDelay is set no list is built (the first-run delay);
// startedByWindows is cleared either way.
void BuildDirectoryLists(const Configuration& configuration, QString& startedByWindows, RunState& state);

} // namespace kelvo
