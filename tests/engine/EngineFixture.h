#pragma once

#include "engine/BackupRun.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kelvo::test {

class FixedClock final : public Clock
{
public:
    QDateTime now() const override { return time; }
    QDateTime time = QDateTime(QDate(2026, 12, 5), QTime(14, 3, 7));
};

// Records what a run shows; onYield runs inside every event yield.
class RecordingObserver final : public RunObserver
{
public:
    void statisticsChanged(const RunStatistics& statistics) override { last = statistics; }
    void currentFileChanged(const QString& name) override { currentFile = name; }
    void fileProgressChanged(int percent) override { fileProgress.push_back(percent); }
    void overallProgressChanged(int percent) override { overallProgress.push_back(percent); }
    void copyActive(bool active) override { copyActiveStates.push_back(active); }
    void reRunTimerEnabled(bool enabled) override { timerStates.push_back(enabled); }
    void screenSaverStep() override { ++screenSaverSteps; }
    void letEventsRun() override
    {
        ++yields;
        if (onYield)
            onYield();
    }
    bool stopRequested() const override { return stop; }
    void errorReported(const QString& line) override { errorLines.push_back(line); }

    RunStatistics last;
    QString currentFile;
    std::vector<int> fileProgress;
    std::vector<int> overallProgress;
    std::vector<bool> copyActiveStates;
    std::vector<bool> timerStates;
    std::vector<QString> errorLines;
    int screenSaverSteps = 0;
    int yields = 0;
    bool stop = false;
    std::function<void()> onYield;
};

// A run's whole world in a temporary directory: source "src", destination "dst", log directory "log".
class EngineTest : public ::testing::Test
{
protected:
    EngineTest();

    // One enabled one-way set over src and dst, with sub directories, overwriting, by date.
    BackupSet& addSet(const QString& name = QStringLiteral("Docs"));
    // Empties both trees and the statistics and starts over with one fresh set.
    BackupSet& freshSet();
    // Builds the directory lists and runs all sets (or one).
    void runBackup(qint16 setIndex = AllSets);
    // Runs all sets and gives how many errors the run counted.
    qint64 errorsOfRun();
    std::vector<std::string> logLines() const;
    bool logged(const std::string& line) const;

    std::string src(const std::string& relative = {}) const { return m_home.dir() / ("src/" + relative); }
    std::string dst(const std::string& relative = {}) const { return m_home.dir() / ("dst/" + relative); }

    IsolatedHome m_home;
    Configuration configuration;
    RunState state;
    RunStatistics statistics;
    RecordingObserver observer;
    FixedClock clock;
    RunContext context{configuration, state, statistics, observer, clock, false};
};

using Files = std::vector<std::string>;

void MakeFile(const std::string& path, const QByteArray& contents, qint64 modifiedSeconds = 1700000000);
// MakeFile for each name below root, each holding its own name.
void MakeFiles(const std::string& root, const Files& names, qint64 modifiedSeconds = 1700000000);
// Makes the set keep replaced and removed files under naming ("OpSeq", "OpDate", "OpKeep"), in the
// sub directory subDirectory or, when it is empty, beside them.
void KeepCopies(BackupSet& set, const char* naming, const char* subDirectory = "");
Files FilesBelow(const std::string& directory); // relative paths, sorted

} // namespace kelvo::test
