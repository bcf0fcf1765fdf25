#pragma once

#include "config/Configuration.h"

#include <cstddef>

namespace kelvo::cli {

// Raises UsageError when the set at index breaks a rule of the set properties: name characters,
// unique name without regard to case, a source directory (which must exist unless force), a
// destination, and the rules between the kept-copy options. Source and destination must also not be
// the same directory, nor, when sub directories are included, one inside the other, however reached
// (symbolic links, bind mounts): such a set would copy files onto themselves or into its own tree.
void ValidateSet(const BackupSets& sets, std::size_t index, bool force);

bool IsValidSetName(const QString& name);

} // namespace kelvo::cli
