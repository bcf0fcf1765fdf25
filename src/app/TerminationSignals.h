#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <functional>
#include <memory>

namespace kelvo {

// SIGTERM, SIGINT and SIGHUP (kill, Ctrl+C, the desktop session ending) reach the event loop as one
// call of the given handler, which ends the program the way Exit does. The signal handler only writes
// a byte to a pipe; everything else happens on the event loop.
class TerminationSignals final
{
public:
    explicit TerminationSignals(std::function<void()> onSignal);
    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;
    ~TerminationSignals();

private:
    void drain();

    std::function<void()> m_onSignal;
    std::unique_ptr<QSocketNotifier> m_notifier;
};

} // namespace kelvo
