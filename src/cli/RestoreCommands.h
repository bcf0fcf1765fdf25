#pragma once

#include "cli/CommandLine.h"

namespace kelvo {
class SettingsStore;
}

namespace kelvo::cli {

// Lists every version of the set's file or folder that its backup holds, newest first: number, time of
// the content, size and where it lies. 1 when the backup holds none.
int ListVersions(SettingsStore& store, const CommandLine& commandLine);

// Copies a version of the set's file or folder back, keeping what is there now when it differs, and
// prints a summary. 1 when the backup holds no version or a file could not be restored; 130 on Ctrl-C.
int RestoreVersion(SettingsStore& store, const CommandLine& commandLine);

} // namespace kelvo::cli
