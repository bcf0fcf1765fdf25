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

// The interface names equal the service names; the paths are those the desktops emit on.
const SignalSource sources[] = {
    {QStringLiteral("/ScreenSaver"), freedesktopService},
    {QStringLiteral("/org/freedesktop/ScreenSaver"), freedesktopService},
    {QStringLiteral("/org/gnome/ScreenSaver"), gnomeService},
};

} // namespace

ScreenSaverWatch::ScreenSaverWatch(QDBusConnection bus, QObject* parent) : QObject(parent), m_bus(bus)
{
    // An empty service listens to any sender: the saver may start after Kelvo, or be replaced.
    for (const SignalSource& source : sources)
        m_bus.connect(QString(), source.path, source.interface, QStringLiteral("ActiveChanged"),
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
