#pragma once

#include <QDBusConnection>
#include <QString>

namespace kelvo {

// Desktop notifications through the session's org.freedesktop.Notifications service. A notification
// is sent and never waited for: without the service, or without a session bus, it is lost and nothing
// else happens (the log holds what it said).
class DesktopNotifications final
{
public:
    explicit DesktopNotifications(QDBusConnection bus); // the session bus in the program

    // summary and body are plain text; the body is escaped, since servers may read it as markup.
    void notify(const QString& summary, const QString& body) const;

private:
    QDBusConnection m_bus;
};

// The body's text as markup that shows it unchanged: &, < and > escaped.
QString EscapedNotificationBody(const QString& text);

} // namespace kelvo
