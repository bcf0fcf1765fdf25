#pragma once

#include "config/Configuration.h"

namespace kelvo {

// How a save keeps another process's changes: this process's changes since its base, laid over what
// the store holds now. A general setting or a field of a set that this process changed is its own;
// everything else stays as stored.
GeneralSettings MergedSettings(const GeneralSettings& stored, const GeneralSettings& ours,
                               const GeneralSettings& base);

// The sets to store: the stored ones with this process's edits, additions and removals. A set another
// process removed stays removed unless this process edited it (a run's new records are no edit). The
// order is this process's when it moved sets; otherwise the stored one, each set this process added
// or renamed standing where the person put it.
BackupSets MergedSets(const BackupSets& stored, const BackupSets& ours, const BackupSets& base);

} // namespace kelvo
