#pragma once

#include "cli/CommandLine.h"
#include "config/Configuration.h"

#include <cstddef>

namespace kelvo::cli {

// The changes of the set commands, made on the configuration in memory. Each raises UsageError and
// leaves the configuration as it found it when the result would break a rule; the caller commits.

// The index of the named set, found without regard to case as the store finds its keys.
std::size_t SetIndexByName(const BackupSets& sets, const QString& name);

void AddSet(Configuration& configuration, const QString& name, const SetOptions& options);
void EditSet(Configuration& configuration, const QString& name, const SetOptions& options);
void RemoveSet(Configuration& configuration, const QString& name);
void EnableSet(Configuration& configuration, const QString& name, bool enabled);

} // namespace kelvo::cli
