#pragma once

#include "engine/RunObserver.h"
#include "platform/FileDescriptor.h"

#include <QString>

#include <functional>

namespace kelvo {

// Keeps two runs of one set apart, whichever processes start them (the desktop program, kelvo-cli,
// cron): an flock on a file named after the set in the user's configuration directory, held for as
// long as the object lives. The kernel drops it with its holder, so a killed run leaves nothing stale.
class SetRunLock final
{
public:
    // Waits until no other run of the set holds the lock, letting events run meanwhile; raises
    // RunStopped when the observer asks for the stop while waiting. onWait is called once, before
    // the first wait. Where no lock file can be made (a read-only home) the run goes on unguarded:
    // refusing every run would be worse than a rare overlap.
    SetRunLock(const QString& setName, RunObserver& observer, const std::function<void()>& onWait);

    // The lock file of a set: its name is a digest, so any set name makes a valid file name.
    static QString PathFor(const QString& setName);

private:
    FileDescriptor m_fd;
};

} // namespace kelvo
