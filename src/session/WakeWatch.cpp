#include "session/WakeWatch.h"

namespace kelvo {

WakeWatch::WakeWatch(QDBusConnection bus, QObject* parent) : QObject(parent)
{
    // Bound to the service, the signal reaches the slot only from the name's owner of the moment.
    bus.connect(QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
                QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("PrepareForSleep"),
                QStringLiteral("b"), this, SLOT(onPrepareForSleep(bool)));
}

void WakeWatch::onPrepareForSleep(bool goingToSleep)
{
    if (!goingToSleep)
        emit woke();
}

} // namespace kelvo
