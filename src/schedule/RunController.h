#pragma once

#include "config/AppState.h"
#include "config/Configuration.h"
#include "engine/Clock.h"
#include "engine/RunObserver.h"
#include "engine/RunState.h"
#include "schedule/Bounce.h"
#include "schedule/ChangeWatch.h"
#include "schedule/ProgramStatus.h"
#include "schedule/RepeatingTimer.h"
#include "schedule/RunNotices.h"
#include "schedule/RunView.h"

#include <QElapsedTimer>

#include <functional>

namespace kelvo {

class SettingsStore;

struct RunControllerParts
{
    Configuration& configuration;
    SettingsStore& store;
    AppState& app;
    const Clock& clock;
    RepeatingTimer& timer1;    // the minute countdown, 60000 ms
    RepeatingTimer& tmrDialog; // the run poll: 5000 ms, 50 ms in screen-saver mode
    // The window steps of the set list editor's Done, for the commit of an older version's import.
    std::function<void()> doneWindowSteps;
    // The desktop's notifications of failed, recovered and stale sets; none when empty.
    NotifyFunction notify;
};

// The main window's state and timers without the window: the load procedure that prepares and
// requests runs, the minute countdown, the run poll that starts them one at a time, the real-time
// watch armed after every run, and the run's observer, which passes to the window only what a
// person can see (about 30 updates a second) and lets events run every few milliseconds.
class RunController final : private RunObserver
{
public:
    RunController(RunControllerParts parts, RunView& view);
    RunController(const RunController&) = delete;
    RunController& operator=(const RunController&) = delete;
    ~RunController() override;

    // The load procedure: requests a run of all sets, reloads the configuration, restamps the last
    // run and rebuilds the directory lists. Asked while a run is busy, it waits for the run's end,
    // so a run never has its configuration or its lists replaced under it.
    void Load();
    // The load of the idle trigger: the desktop's screen saver has started, so the run it asks for
    // goes at full speed, as the screen-saver mode's runs do.
    void LoadWhileAway();
    // Timer1: one minute more towards the next scheduled load. A tick that comes well over a minute
    // after the previous one by the wall clock follows a sleep of the machine: see Woke.
    void MinuteTick();
    // The machine woke from sleep, when the countdown stood still. A re-run interval that has passed
    // since the last run of all sets started is run now, once, as the countdown's end would.
    void Woke();
    // tmrDialog: the requested run of all sets, then the set the watch asked for, then in the screen
    // saver one step of the main window's movement.
    void PollTick();
    // Ends a busy run between two chunks and starts no other; the program is ending.
    void RequestStop();
    // Closes the real-time watch.
    void StopWatch();
    // A line of the program's own in the log, outside any run.
    void NoteInLog(const QString& line);
    // The set list editor has committed: the status says whether a set exists now.
    void SetListChanged();

    bool runBusy() const { return m_state.RunBusy; }
    const RunState& state() const { return m_state; }
    const RunStatistics& statistics() const { return m_statistics; }
    const MovementState& movement() const { return m_movement; }
    const ChangeWatch& watch() const { return m_watch; }
    const ProgramStatus& status() const { return m_status; }

private:
    void statisticsChanged(const RunStatistics& statistics) override;
    void currentFileChanged(const QString& name) override;
    void fileProgressChanged(int percent) override;
    void overallProgressChanged(int percent) override;
    void copyActive(bool active) override;
    void reRunTimerEnabled(bool enabled) override;
    void screenSaverStep() override;
    void letEventsRun() override;
    void errorReported(const QString& line) override;
    bool stopRequested() const override { return m_stopRequested; }

    bool screenSaverMode() const;
    void stampLastRun();
    void showMinutesToNext(int minutes);
    bool countdownWasFrozen();
    void countMinute();
    void reloadForReRun();
    void listWithEvents(const std::function<void(const std::function<void()>&)>& list);
    void runWatchedSet(qint16 setIndex);
    void runAndArm(qint16 setIndex, bool userAway);
    void storeRunRecords(const BackupSets& ran);
    void runEnded(const BackupSets& before, const BackupSets& ran, qint64 errorsBefore);
    void showStatus();
    void showProgressInStatus(int percent);
    void armWatch();
    int watchedSetIndex() const;
    void onWatchChanged();
    void reportWatchProblem(const QString& setName, const QString& problem);
    void moveOneStep();
    void flushDisplay();

    RunControllerParts m_parts;
    RunView& m_view;
    RunState m_state;
    RunStatistics m_statistics;
    MovementState m_movement;
    ChangeWatch m_watch;
    RunNotices m_notices;
    ProgramStatus m_status;
    QString m_firstError; // of the run that is busy
    int m_errorLines = 0; // of the run that is busy
    QElapsedTimer m_sinceStatus;
    QString m_lastWatchProblem;
    QDateTime m_lastMinuteTick; // or when the countdown last went on
    QDateTime m_lastFullRunStart;
    bool m_loadWaiting = false;
    bool m_awayLoad = false; // the requested run of all sets was asked for by the idle trigger
    bool m_listing = false;
    bool m_stopRequested = false;

    // What the run has told and the window not yet shown.
    struct Display
    {
        RunStatistics statistics;
        QString file;
        int filePercent = 0;
        int overallPercent = 0;
        bool copying = false;
    };
    Display m_display;
    bool m_displayDirty = false;
    QElapsedTimer m_sinceFlush;
    QElapsedTimer m_sinceEvents;
    QElapsedTimer m_sinceStep;
};

} // namespace kelvo
