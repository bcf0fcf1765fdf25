#pragma once

#include <QDBusConnection>
#include <QObject>

namespace kelvo {

// logind's word that the machine has woken from sleep (PrepareForSleep(false) of
// org.freedesktop.login1.Manager), as a signal. Only the owner of logind's name is heard: any client of
// the bus could send the signal. Without a system bus, or without logind on it, woke() never comes and
// nothing fails.
class WakeWatch final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(WakeWatch)
public:
    explicit WakeWatch(QDBusConnection bus, QObject* parent = nullptr); // the system bus in the program

signals:
    void woke();

private slots:
    void onPrepareForSleep(bool goingToSleep);
};

} // namespace kelvo
