#pragma once

#include <QDateTime>
#include <QString>

namespace kelvo {

// What a new user is told while no backup set exists: in the main window and in the tray.
QString NoSetYetText();

// What the tray shows of the program: whether a set exists at all, a run's progress, the last run's end.
struct ProgramStatus
{
    bool hasSets = true;
    bool running = false;
    int percent = 0;        // of the busy run
    QDateTime lastRunEnded; // invalid before the first run of this process
    qint64 lastRunErrors = 0;

    bool operator==(const ProgramStatus&) const = default;
};

// "Kelvo - backing up: 45%", "Kelvo - last run 14:05 completed", "... failed: 3 errors".
QString StatusToolTip(const ProgramStatus& status);
// The last run counted errors: the warning icon stays until a run completes without one.
bool ShowsErrors(const ProgramStatus& status);

} // namespace kelvo
