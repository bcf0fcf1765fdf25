#pragma once

#include "cli/CommandLine.h"

namespace kelvo {
class SettingsStore;
}

namespace kelvo::cli {

inline constexpr int ExitSuccess = 0;
inline constexpr int ExitFailure = 1;
inline constexpr int ExitUsage = 2;

// Carries out a parsed command on the store and gives the exit status. Raises UsageError for input
// it refuses, before anything is written, and lets kelvo::Failure through.
int ExecuteCommand(SettingsStore& store, const CommandLine& commandLine);

} // namespace kelvo::cli
