#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QSet>
#include <QString>

class QDBusMessage;

namespace kelvo {

// The session's screen saver (org.freedesktop.ScreenSaver, as KDE and others offer it, and
// org.gnome.ScreenSaver) as a signal: activated() when it becomes active or the screen locks.
// Only the current owner of the service's name is heard. KDE announces one activation on two paths; a sender
// that has said "active" counts again only after it has said "inactive", so one activation gives one
// activated().
class ScreenSaverWatch final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ScreenSaverWatch)
public:
    explicit ScreenSaverWatch(QDBusConnection bus,
                              QObject* parent = nullptr); // the session bus in the program
    // False without a connected bus or without either service registered on it.
    bool available() const;

signals:
    void activated(); // ActiveChanged(true) of either interface; ActiveChanged(false) is ignored

private slots:
    void onActiveChanged(bool active, const QDBusMessage& message);

private:
    QDBusConnection m_bus;
    QSet<QString> m_activeSenders;
};

} // namespace kelvo
