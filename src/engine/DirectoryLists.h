#pragma once

#include "config/Configuration.h"
#include "engine/RunState.h"

#include <QString>

#include <functional>

namespace kelvo {

// Prepares state.DirectoryLists and state.TotalDirectories for every set of the configuration.
// When startedByWindows is "WIN" and flDelay is set no list is built (the first-run delay);
// startedByWindows is cleared either way. betweenDirectories runs after each directory is listed: a
// tree of many directories takes long enough that the window must get its turns meanwhile.
void BuildDirectoryLists(const Configuration& configuration, QString& startedByWindows, RunState& state,
                         const std::function<void()>& betweenDirectories = {});

// Lists one set afresh, as BuildDirectoryLists lists every set, and keeps TotalDirectories in step: a
// run of that set alone then visits the directories made since the last load. A set that the last load
// prepared no list for (the first-run delay, an index past the sets) keeps none.
void RebuildDirectoryList(const Configuration& configuration, qint16 setIndex, RunState& state,
                          const std::function<void()>& betweenDirectories = {});

} // namespace kelvo
