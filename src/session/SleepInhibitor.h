#pragma once

#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>

class QDBusPendingCallWatcher;

namespace kelvo {

// A logind sleep inhibitor ("sleep:idle", who "Kelvo", why "Backing up files", mode "block") held while
// a backup runs, so the machine does not suspend in the middle of one. Asking never waits: logind's
// answer arrives through the event loop of the thread that called hold(), and held() is true from then
// on. Without logind (no system bus, no such service, an error) nothing is held and nothing fails.
class SleepInhibitor final
{
public:
    explicit SleepInhibitor(QDBusConnection bus); // the system bus in the program
    ~SleepInhibitor();                            // releases
    SleepInhibitor(const SleepInhibitor&) = delete;
    SleepInhibitor& operator=(const SleepInhibitor&) = delete;

    // Asks org.freedesktop.login1 /org/freedesktop/login1 org.freedesktop.login1.Manager.Inhibit;
    // idempotent while held or asked.
    void hold();
    // Closes the descriptor logind gave; harmless when none. A descriptor still on its way is closed
    // as soon as it arrives.
    void release();
    bool held() const;

private:
    void takeReply(QDBusPendingCallWatcher* watcher);
    void abandonPendingCall();

    QDBusConnection m_bus;
    QDBusPendingCallWatcher* m_pending = nullptr; // deletes itself once the reply is in
    QDBusUnixFileDescriptor m_lock;               // logind keeps the inhibitor while this stays open
};

} // namespace kelvo
