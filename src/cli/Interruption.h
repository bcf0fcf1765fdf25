#pragma once

namespace kelvo::cli {

// Ctrl-C (SIGINT), SIGTERM and SIGHUP only raise a flag; the run looks at it between files and chunks, so it
// can stop where nothing is half written.
void InstallInterruptionHandler();
bool InterruptionRequested();

} // namespace kelvo::cli
