#pragma once

#include "engine/Clock.h"
#include "engine/RunObserver.h"
#include "engine/Versions.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

// Copying versions back from a set's backup, without losing what is there now.
namespace kelvo {

// One file to restore, and the version it gets.
struct RestoreItem
{
    std::string relative; // below the live root
    FileVersion version;
};

// What restoring place at version (0: the newest) brings back: for a file that version; for a folder each
// file below it at its newest version not newer than the folder's version time. nullopt when there is no
// such version; an empty list when the backup holds none.
std::optional<std::vector<RestoreItem>> PlanRestore(const BackupSet& set, const RestorePlace& place,
                                                    int version);

struct RestoreSummary
{
    int restored = 0;
    int unchanged = 0; // already the version asked for
    int keptAside = 0; // current files that differed, kept before the restore replaced them
    int errors = 0;
    bool stopped = false;
};

// Copies each item's version to its place in the live tree, or below toDirectory keeping its relative
// path. A current file that differs is kept first: as the set's kept copy, or beside it as
// "NAME.before-restore-<stamp>" when the set keeps none; nothing is deleted. Restored files get their
// version's contents, times and modes. Progress and Stop go through observer as in a run; each line the
// user should read (kept files, errors) goes to report.
RestoreSummary RestoreItems(RunObserver& observer, const Clock& clock, const BackupSet& set,
                            const RestoreSides& sides, const std::vector<RestoreItem>& items,
                            const std::optional<std::string>& toDirectory,
                            const std::function<void(const std::string& line)>& report);

} // namespace kelvo
