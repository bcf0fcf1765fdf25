#pragma once

#include <QtGlobal>

#include <optional>
#include <string>
#include <vector>

namespace kelvo {

// Set index meaning "all sets" in a run request and "no request" in PendingSetIndex.
inline constexpr qint16 AllSets = 1000;

// The marker that ends every directory list.
inline constexpr const char* EndMarker = "END";

// One set's directories to visit: full paths ending with "/", then EndMarker.
using DirectoryList = std::vector<std::string>;

// Run state that the main window owns and the engine and the run timers work on.
struct RunState
{
    bool RunPending = false;
    qint16 PendingSetIndex = AllSets;
    // One element per set index; an index for which no list was prepared holds nullopt.
    std::vector<std::optional<DirectoryList>> DirectoryLists;
    qint64 TotalDirectories = 0; // counted in full: trees of 100,000 directories exist
    // A run is busy; requests that arrive from inside its event yields wait here, in order.
    bool RunBusy = false;
    std::vector<qint16> QueuedRuns;
};

} // namespace kelvo
