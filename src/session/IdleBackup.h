#pragma once

#include "config/Configuration.h"

#include <QObject>

#include <functional>

namespace kelvo {

class ScreenSaverWatch;

struct IdleBackupParts
{
    const GeneralSettings& settings;
    // A run is busy or already asked for: an activation then adds nothing.
    std::function<bool()> runBusyOrRequested;
    // What "Run now" does, the load procedure that asks for a run of every set, but at full speed:
    // the user is away.
    std::function<void()> runAllSets;
    // A line for the log.
    std::function<void(const QString& line)> note;
};

// Backs up every set when the session's screen saver starts or the screen locks, while
// flRunWhenIdle is on.
class IdleBackup final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(IdleBackup)

public:
    IdleBackup(ScreenSaverWatch& watch, IdleBackupParts parts);

    // With the setting on and no screen saver to listen to, says so in the log, once.
    void CheckAvailable();

private:
    void onActivated();

    ScreenSaverWatch& m_watch;
    IdleBackupParts m_parts;
    bool m_answered = false;
};

} // namespace kelvo
