#pragma once

#include "config/Configuration.h"

#include <cstddef>

namespace kelvo::cli {

// Raises UsageError, worded for the command line, when the set at index breaks a rule of a backup
// set; a missing source is accepted with force.
void ValidateSet(const BackupSets& sets, std::size_t index, bool force);

} // namespace kelvo::cli
