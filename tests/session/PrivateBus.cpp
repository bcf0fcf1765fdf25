#include "session/PrivateBus.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QStandardPaths>
#include <QTimer>

namespace kelvo::test {
namespace {

constexpr int deadlineMs = 5000;

QString UniqueConnectionName(const char* role)
{
    static int serial = 0;
    return QStringLiteral("kelvo-test-%1-%2").arg(QLatin1String(role)).arg(++serial);
}

// No service directories: a name nobody owns stays unowned instead of being started.
QByteArray DaemonConfig(const std::string& socketDir)
{
    return "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig><type>session</type><listen>unix:dir=" +
           QByteArray::fromStdString(socketDir) +
           "</listen><auth>EXTERNAL</auth>"
           "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
           "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n";
}

} // namespace

PrivateBus::PrivateBus()
    : m_clientName(UniqueConnectionName("client")), m_standInName(UniqueConnectionName("stand-in")),
      m_otherName(UniqueConnectionName("other"))
{
    if (!startDaemon())
        return;
    const QString address = QString::fromUtf8(m_daemon.readLine().trimmed());
    for (const QString& name : {m_clientName, m_standInName, m_otherName}) {
        const QDBusConnection bus = QDBusConnection::connectToBus(address, name);
        if (!bus.isConnected())
            m_error = QStringLiteral("cannot connect to %1: %2").arg(address, bus.lastError().message());
    }
}

PrivateBus::~PrivateBus()
{
    for (const QString& name : {m_clientName, m_standInName, m_otherName})
        QDBusConnection::disconnectFromBus(name);
    m_daemon.kill();
    m_daemon.waitForFinished(deadlineMs);
}

bool PrivateBus::startDaemon()
{
    WriteFile(m_dir / "bus.conf", DaemonConfig(m_dir.path()));
    m_daemon.start(QStringLiteral("dbus-daemon"),
                   {QStringLiteral("--config-file=") + QString::fromStdString(m_dir / "bus.conf"),
                    QStringLiteral("--nofork"), QStringLiteral("--print-address")});
    const QDeadlineTimer deadline(deadlineMs);
    while (!m_daemon.canReadLine() && m_daemon.state() != QProcess::NotRunning && !deadline.hasExpired())
        m_daemon.waitForReadyRead(int(deadline.remainingTime()));
    if (!m_daemon.canReadLine())
        m_error = QStringLiteral("dbus-daemon printed no address: ") + m_daemon.errorString() +
                  QString::fromLocal8Bit(m_daemon.readAllStandardError());
    return m_error.isEmpty();
}

bool PrivateBus::Flush(const QString& destination)
{
    const QString target = destination.isEmpty() ? standIn().baseService() : destination;
    const QDBusMessage ping = QDBusMessage::createMethodCall(
        target, QStringLiteral("/"), QStringLiteral("org.freedesktop.DBus.Peer"), QStringLiteral("Ping"));
    // The watcher's finished() is queued behind the deliveries of everything the client got before the
    // answer; isFinished() would turn true before those ran.
    QDBusPendingCallWatcher watcher(client().asyncCall(ping, deadlineMs));
    bool answered = false;
    QEventLoop loop;
    QObject::connect(&watcher, &QDBusPendingCallWatcher::finished, &loop, [&] {
        answered = !watcher.isError();
        loop.quit();
    });
    QTimer::singleShot(deadlineMs, &loop, &QEventLoop::quit);
    loop.exec();
    return answered;
}

bool PrivateBus::Signal(const QDBusConnection& sender, const QString& path, const QString& interface,
                        const QString& member, const QVariant& value)
{
    QDBusMessage signal = QDBusMessage::createSignal(path, interface, member);
    signal << value;
    return sender.send(signal) && Flush(sender.baseService());
}

bool DbusDaemonInstalled()
{
    return !QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty();
}

QDBusConnection UnconnectedBus()
{
    static int serial = 0;
    return QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/kelvo-test-bus"),
                                         QStringLiteral("kelvo-test-unconnected-%1").arg(++serial));
}

} // namespace kelvo::test
