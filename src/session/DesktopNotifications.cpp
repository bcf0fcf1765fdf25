#include "session/DesktopNotifications.h"

#include <QDBusMessage>
#include <QVariantMap>

namespace kelvo {

using namespace Qt::StringLiterals;

namespace {

// The server's own default for how long a notification stays.
constexpr int ServerDefaultTimeout = -1;

} // namespace

DesktopNotifications::DesktopNotifications(QDBusConnection bus) : m_bus(bus) {}

void DesktopNotifications::notify(const QString& summary, const QString& body) const
{
    if (!m_bus.isConnected())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(u"org.freedesktop.Notifications"_s,
                                                       u"/org/freedesktop/Notifications"_s,
                                                       u"org.freedesktop.Notifications"_s, u"Notify"_s);
    call << u"Kelvo"_s << quint32(0) << u"kelvo"_s << summary << EscapedNotificationBody(body)
         << QStringList() << QVariantMap() << qint32(ServerDefaultTimeout);
    // Sent without waiting: the id in the reply is of no use here, and a missing service only answers
    // with an error that nobody needs to read.
    m_bus.send(call);
}

QString EscapedNotificationBody(const QString& text)
{
    QString escaped;
    escaped.reserve(text.size());
    for (const QChar c : text) {
        if (c == u'&')
            escaped += u"&amp;"_s;
        else if (c == u'<')
            escaped += u"&lt;"_s;
        else if (c == u'>')
            escaped += u"&gt;"_s;
        else
            escaped += c;
    }
    return escaped;
}

} // namespace kelvo
