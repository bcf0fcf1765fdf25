#pragma once

#include "platform/FileDescriptor.h"

#include <QString>

namespace kelvo {

// The per-user single-instance mark: an flock on a file under $XDG_RUNTIME_DIR, or the program's
// config directory when that is unset, relative, or refuses the file. The kernel drops the lock with the
// holder, so a crashed instance leaves no stale mark.
class InstanceLock final
{
public:
    InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    static QString DefaultPath();
    static QString FallbackPath(); // in the config directory

    // True when this object holds the mark (now or already); false when another holder has it.
    // When neither lock file can be opened the answer is true: refusing every start would be
    // worse than a rare second instance.
    bool TryAcquire();

private:
    FileDescriptor m_fd;
    bool m_held = false;
};

} // namespace kelvo
