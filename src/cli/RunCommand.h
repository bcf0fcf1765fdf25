#pragma once

#include "cli/CommandLine.h"

namespace kelvo {
class SettingsStore;
}

namespace kelvo::cli {

// Exit statuses of a run.
inline constexpr int ExitRunClean = 0;
inline constexpr int ExitRunWithErrors = 1;
inline constexpr int ExitInterrupted = 130;

// Prepares the lists and runs every enabled set, or the one named, as the windowed program does,
// prints the four counters and keeps each set's LastDate in the store.
int RunSets(SettingsStore& store, const CommandLine& commandLine);

} // namespace kelvo::cli
