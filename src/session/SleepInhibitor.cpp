#include "session/SleepInhibitor.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

namespace kelvo {
namespace {

// logind answers at once; a reply later than this is given up, and the run goes on without the lock.
constexpr int replyTimeoutMs = 5000;

QDBusMessage InhibitCall()
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
    call << QStringLiteral("sleep:idle") << QStringLiteral("Kelvo") << QStringLiteral("Backing up files")
         << QStringLiteral("block");
    return call;
}

} // namespace

SleepInhibitor::SleepInhibitor(QDBusConnection bus) : m_bus(bus) {}

SleepInhibitor::~SleepInhibitor()
{
    release();
}

void SleepInhibitor::hold()
{
    // Without descriptor passing logind's answer could not carry the lock.
    if (held() || m_pending || !m_bus.isConnected() ||
        !(m_bus.connectionCapabilities() & QDBusConnection::UnixFileDescriptorPassing))
        return;
    m_pending = new QDBusPendingCallWatcher(m_bus.asyncCall(InhibitCall(), replyTimeoutMs));
    QObject::connect(m_pending, &QDBusPendingCallWatcher::finished, m_pending,
                     [this](QDBusPendingCallWatcher* watcher) { takeReply(watcher); });
}

void SleepInhibitor::release()
{
    abandonPendingCall();
    m_lock = QDBusUnixFileDescriptor();
}

bool SleepInhibitor::held() const
{
    return m_lock.isValid();
}

void SleepInhibitor::takeReply(QDBusPendingCallWatcher* watcher)
{
    const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *watcher;
    if (reply.isValid())
        m_lock = reply.value();
    m_pending = nullptr;
    watcher->deleteLater();
}

// The call stays on its way without this object; its reply, and the descriptor in it, go with the
// watcher.
void SleepInhibitor::abandonPendingCall()
{
    if (!m_pending)
        return;
    QObject::disconnect(m_pending, &QDBusPendingCallWatcher::finished, nullptr, nullptr);
    QObject::connect(m_pending, &QDBusPendingCallWatcher::finished, m_pending, &QObject::deleteLater);
    m_pending = nullptr;
}

} // namespace kelvo
