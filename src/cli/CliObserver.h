#pragma once

#include "engine/RunObserver.h"

#include <QString>

#include <chrono>
#include <cstdio>

namespace kelvo::cli {

// Shows a run on a terminal: one progress line on stderr, redrawn at most ten times a second, or
// nothing at all when stderr is not a terminal (cron, pipes, logs).
class CliObserver final : public RunObserver
{
public:
    explicit CliObserver(std::FILE* terminal); // nullptr: quiet

    void statisticsChanged(const RunStatistics& statistics) override;
    void currentFileChanged(const QString& name) override;
    void fileProgressChanged(int percent) override;
    void overallProgressChanged(int percent) override;
    void copyActive(bool) override {}
    void reRunTimerEnabled(bool) override {}
    void screenSaverStep() override {}
    // Nothing waits for events here; the run only needs to hear about Ctrl-C.
    void letEventsRun() override {}
    bool stopRequested() const override;
    // On stderr, whether or not it is a terminal: cron mails what a run could not do.
    void errorReported(const QString& line) override;

    // Clears the progress line so that what follows starts on a clean line.
    void finish();

private:
    void redraw();

    std::FILE* m_terminal;
    RunStatistics m_statistics;
    QString m_file;
    int m_filePercent = 0;
    int m_overallPercent = 0;
    bool m_drawn = false;
    std::chrono::steady_clock::time_point m_lastDraw;
};

} // namespace kelvo::cli
