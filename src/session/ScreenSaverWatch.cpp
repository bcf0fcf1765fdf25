#include "session/ScreenSaverWatch.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>

namespace kelvo {
namespace {

const QString freedesktopService = QStringLiteral("org.freedesktop.ScreenSaver");
const QString gnomeService = QStringLiteral("org.gnome.ScreenSaver");

struct SignalSource
{
    QString path;
    QString interface;
};

// The interface names equal the names the savers own on the bus; the paths are those the desktops emit on.
const SignalSource sources[] = {
    {QStringLiteral("/ScreenSaver"), freedesktopService},
    {QStringLiteral("/org/freedesktop/ScreenSaver"), freedesktopService},
    {QStringLiteral("/org/gnome/ScreenSaver"), gnomeService},
};

} // namespace

ScreenSaverWatch::ScreenSaverWatch(QDBusConnection bus, QObject* parent) : QObject(parent), m_bus(bus)
{
    // Any client of the session bus may emit ActiveChanged(true), and each one would start a backup.
    // Bound to the service, a signal reaches the slot only when its sender is the name's owner of the
    // moment: Qt follows NameOwnerChanged, so a saver that starts after Kelvo or replaces another is
    // heard, and a signal costs no round trip to the bus.
    for (const SignalSource& source : sources)
        m_bus.connect(source.interface, source.path, source.interface, QStringLiteral("ActiveChanged"),
                      QStringLiteral("b"), this, SLOT(onActiveChanged(bool, QDBusMessage)));
}

bool ScreenSaverWatch::available() const
{
    const QDBusConnectionInterface* daemon = m_bus.isConnected() ? m_bus.interface() : nullptr;
    return daemon && (daemon->isServiceRegistered(freedesktopService).value() ||
                      daemon->isServiceRegistered(gnomeService).value());
}

void ScreenSaverWatch::onActiveChanged(bool active, const QDBusMessage& message)
{
    if (!active) {
        m_activeSenders.remove(message.service());
        return;
    }
    if (m_activeSenders.contains(message.service()))
        return;
    m_activeSenders.insert(message.service());
    emit activated();
}

} // namespace kelvo
