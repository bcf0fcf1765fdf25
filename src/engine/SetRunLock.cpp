#include "engine/SetRunLock.h"

#include "engine/RunStopped.h"
#include "platform/FilePath.h"
#include "platform/PrivateDirectories.h"
#include "platform/SettingsStore.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/file.h>
#include <thread>

namespace kelvo {

namespace {

constexpr auto WaitStep = std::chrono::milliseconds(50);

FileDescriptor OpenLockFile(const QString& path)
{
    MakeOwnDirectory(ToFilePath(QFileInfo(path).path())); // a folder it cannot make fails the open
    const QByteArray name = QFile::encodeName(path);
    return FileDescriptor(::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
}

// 0 when taken, else the errno of the attempt.
int TryLock(int fd)
{
    int result;
    do {
        result = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    return result == 0 ? 0 : errno;
}

} // namespace

QString SetRunLock::PathFor(const QString& setName)
{
    const QByteArray digest = QCryptographicHash::hash(setName.toUtf8(), QCryptographicHash::Sha256).toHex();
    return UserConfigDirectory() + QStringLiteral("/run-locks/") + QString::fromLatin1(digest.left(32)) +
           QStringLiteral(".lock");
}

SetRunLock::SetRunLock(const QString& setName, RunObserver& observer, const std::function<void()>& onWait)
    : m_fd(OpenLockFile(PathFor(setName)))
{
    if (!m_fd.isOpen())
        return;
    bool waited = false;
    for (int err = TryLock(m_fd.get()); err != 0; err = TryLock(m_fd.get())) {
        if (err != EWOULDBLOCK)
            return; // a file system without locks: nothing to wait for
        if (!waited && onWait)
            onWait();
        waited = true;
        YieldToEvents(observer);
        std::this_thread::sleep_for(WaitStep);
    }
}

} // namespace kelvo
