#include "platform/InstanceLock.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QtDebug>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>

namespace kelvo {

InstanceLock::InstanceLock() = default;

QString InstanceLock::DefaultPath()
{
    QString directory = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (directory.isEmpty() || !QDir::isAbsolutePath(directory))
        directory = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                    QStringLiteral("/kelvo");
    return directory + QStringLiteral("/kelvo.lock");
}

bool InstanceLock::TryAcquire()
{
    if (m_held)
        return true;
    const QString path = DefaultPath();
    if (!m_fd.isOpen()) {
        QDir().mkpath(QFileInfo(path).absolutePath());
        // Close-on-exec: a program we start (the alternative screen saver) must not inherit the mark.
        m_fd =
            FileDescriptor(::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
        if (!m_fd.isOpen()) {
            qWarning("Kelvo: cannot open the instance lock %s: %s", qPrintable(path), std::strerror(errno));
            return true;
        }
    }
    int result;
    do {
        result = ::flock(m_fd.get(), LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    m_held = result == 0;
    return m_held;
}

} // namespace kelvo
