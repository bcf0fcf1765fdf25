#pragma once

#include "engine/RunObserver.h"
#include "schedule/ProgramStatus.h"

#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>

namespace kelvo {

// What the main window shows of runs and timers, and the little of its geometry that the screen
// saver's movement needs. The main window implements it; tests record it.
class RunView
{
public:
    virtual ~RunView() = default;

    // The run's display, at most about 30 times a second (see RunController).
    virtual void statisticsChanged(const RunStatistics& statistics) = 0;
    virtual void currentFileChanged(const QString& name) = 0;
    virtual void fileProgressChanged(int percent) = 0;
    virtual void overallProgressChanged(int percent) = 0;
    // Toolbar buttons 1 and 3 are disabled while a file is copied.
    virtual void copyActive(bool active) = 0;
    virtual void errorReported(const QString& line) = 0;

    // The load procedure and the countdown.
    virtual void applyScreenSaverLayout() = 0;               // no toolbar, no timer labels
    virtual void setLastRun(const QString& label13) = 0;     // Label13
    virtual void setLastRunPanel(const QString& panel1) = 0; // status bar, panel 1
    virtual void setMinutesToNext(const QString& label17, const QString& panel2) = 0;
    virtual void statusBarVisible() = 0;
    // A run starts (true) or ends (false): the program keeps the machine from suspending meanwhile.
    virtual void runBusyChanged(bool busy) = 0;
    // The real-time watch could not be armed; said once per distinct problem.
    virtual void watchProblem(const QString& message) = 0;
    // The tray's state: no set yet, a run's progress (a few times a second), the last run's result.
    virtual void statusChanged(const ProgramStatus& status) { Q_UNUSED(status); }

    // The screen saver's movement: the main window's frame in the screen-saver window's coordinates.
    virtual QRect mainWindowFrame() const = 0;
    virtual QSize screenSaverArea() const = 0;
    virtual void moveMainWindow(const QPoint& topLeft) = 0;
};

} // namespace kelvo
