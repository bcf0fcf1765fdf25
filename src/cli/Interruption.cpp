#include "cli/Interruption.h"

#include <csignal>

namespace kelvo::cli {

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void RaiseInterruptionFlag(int)
{
    g_interrupted = 1;
}

} // namespace

void InstallInterruptionHandler()
{
    struct sigaction action = {};
    action.sa_handler = RaiseInterruptionFlag;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A closed terminal stops the run as Ctrl-C does, so its unfinished copy is removed.
    sigaction(SIGHUP, &action, nullptr);
}

bool InterruptionRequested()
{
    return g_interrupted != 0;
}

} // namespace kelvo::cli
