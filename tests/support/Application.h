#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

#include <functional>

namespace kelvo::test {

// The one application object of a test program, made on first use and kept for the life of the program.
template <typename Application = QCoreApplication> void EnsureApplication()
{
    static int argc = 1;
    static char name[] = "kelvo-test", *argv[] = {name, nullptr};
    if (!QCoreApplication::instance())
        new Application(argc, argv);
}

// Runs the event loop until condition holds, for at most the given time; tells whether it held.
inline bool SpinUntil(const std::function<bool()>& condition, int milliseconds = 5000)
{
    const QDeadlineTimer deadline(milliseconds);
    while (!condition() && !deadline.hasExpired()) {
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return condition();
}

} // namespace kelvo::test
