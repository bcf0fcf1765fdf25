#pragma once

#include <QString>
#include <QtGlobal>

namespace kelvo {

// The four counters of the main window. They are never reset by a run: they accumulate over every
// run of the process.
struct RunStatistics
{
    qint64 directoriesSearched = 0; // Label3
    qint64 filesExamined = 0;       // Label6
    qint64 filesCopied = 0;         // Label4
    qint64 errors = 0;              // Label12
};

// Everything a run shows, and its chance to let pending events run. The main window implements it;
// tests and the headless runner have their own.
class RunObserver
{
public:
    virtual ~RunObserver() = default;

    // Label3, Label6, Label4, Label12 and the status-bar panels "Copied : " and "Errors : ".
    virtual void statisticsChanged(const RunStatistics& statistics) = 0;
    // Label9: the name of the file being copied.
    virtual void currentFileChanged(const QString& name) = 0;
    // ProgressBar1, 0 to 100.
    virtual void fileProgressChanged(int percent) = 0;
    // ProgressBar2 and the status-bar window's progress bar, 0 to 100.
    virtual void overallProgressChanged(int percent) = 0;
    // Toolbar buttons "Edit Sets" and "Run now" are disabled while a file is copied.
    virtual void copyActive(bool active) = 0;
    // Timer1, the re-run countdown, is off while a run is busy.
    virtual void reRunTimerEnabled(bool enabled) = 0;
    // Called once per file examined in screen-saver mode: one step of the window's movement.
    virtual void screenSaverStep() = 0;
    // Called once per file examined and once per copied chunk; must be cheap when nothing is due.
    virtual void letEventsRun() = 0;
    // Each error line of a run as the log has it (or would have it, with the log off), so that the user
    // sees errors without opening the log.
    virtual void errorReported(const QString& line) { Q_UNUSED(line); }
    // Asked right after each letEventsRun: true ends the run between two chunks, leaving no
    // partly written file behind.
    virtual bool stopRequested() const = 0;
};

} // namespace kelvo
