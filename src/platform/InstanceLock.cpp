#include "platform/InstanceLock.h"

#include "platform/Failure.h"
#include "platform/FilePath.h"
#include "platform/PrivateDirectories.h"
#include "platform/SettingsStore.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>

using namespace Qt::Literals::StringLiterals;

namespace kelvo {

namespace {

QString LockFileIn(const QString& directory)
{
    return directory + QStringLiteral("/kelvo.lock");
}

// Close-on-exec: a program we start (the alternative screen saver) must not inherit the mark.
FileDescriptor OpenLockFile(const QString& path)
{
    MakePrivateDirectories(ToFilePath(QFileInfo(path).absolutePath()));
    return FileDescriptor(::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
}

} // namespace

InstanceLock::InstanceLock() = default;

QString InstanceLock::DefaultPath()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return LockFileIn(QDir::isAbsolutePath(runtime) ? runtime : UserConfigDirectory());
}

QString InstanceLock::FallbackPath()
{
    return LockFileIn(UserConfigDirectory());
}

bool InstanceLock::TryAcquire()
{
    if (m_held)
        return true;
    if (!m_fd.isOpen())
        m_fd = OpenLockFile(DefaultPath());
    if (!m_fd.isOpen())
        m_fd = OpenLockFile(FallbackPath());
    if (!m_fd.isOpen()) {
        Warn(u"Kelvo: cannot open the instance lock %1: %2"_s.arg(
            FallbackPath(), QString::fromLocal8Bit(std::strerror(errno))));
        return true;
    }
    int result;
    do {
        result = ::flock(m_fd.get(), LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    m_held = result == 0;
    return m_held;
}

} // namespace kelvo
