#include "session/IdleBackup.h"

#include "session/ScreenSaverWatch.h"

namespace kelvo {

IdleBackup::IdleBackup(ScreenSaverWatch& watch, IdleBackupParts parts)
    : m_watch(watch), m_parts(std::move(parts))
{
    connect(&m_watch, &ScreenSaverWatch::activated, this, &IdleBackup::onActivated);
}

void IdleBackup::CheckAvailable()
{
    // Asking the bus is a round trip on the window's thread: once the answer is known, it is kept.
    if (!m_parts.settings.flRunWhenIdle || m_answered)
        return;
    m_answered = true;
    if (m_watch.available())
        return;
    m_parts.note(
        QStringLiteral("Idle backups are not available on this desktop: no screen saver service "
                       "(org.freedesktop.ScreenSaver or org.gnome.ScreenSaver) is on the session bus"));
}

void IdleBackup::onActivated()
{
    if (m_parts.settings.flRunWhenIdle && !m_parts.runBusyOrRequested())
        m_parts.runAllSets();
}

} // namespace kelvo
