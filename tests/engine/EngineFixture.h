#pragma once

#include "engine/BackupRun.h"
#include "engine/Comparison.h"
#include "engine/DirectoryLists.h"
#include "engine/FileCopy.h"
#include "engine/LogFile.h"
#include "engine/SetRunLock.h"
#include "platform/Failure.h"
#include "platform/FilePath.h"
#include "platform/FileSystem.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace kelvo::test {

namespace fs = std::filesystem;
using Files = std::vector<std::string>;
constexpr qint64 MiB = 1 << 20;

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
    void statisticsChanged(const RunStatistics&) override {}
    void currentFileChanged(const QString&) override {}
    void fileProgressChanged(int percent) override { fileProgress.push_back(percent); }
    void overallProgressChanged(int) override {}
    void copyActive(bool active) override { copyActiveStates.push_back(active); }
    void reRunTimerEnabled(bool enabled) override { timerStates.push_back(enabled); }
    void screenSaverStep() override {}
    void letEventsRun() override;
    bool stopRequested() const override { return stop; }
    void errorReported(const QString& line) override { errorLines.push_back(line); }

    std::vector<int> fileProgress;
    std::vector<bool> copyActiveStates, timerStates;
    std::vector<QString> errorLines;
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
    BackupSet& freshSet(const char* sync = "srcToDest", bool deletesRemovedFiles = false);
    // Builds the directory lists and runs all sets (or one).
    void runBackup(qint16 setIndex = AllSets);
    qint64 errorsOfRun(); // of a run of all sets
    bool logged(const std::string& line) const;

    std::string home(const std::string& relative) const { return m_home.dir() / relative; }
    std::string src(const std::string& relative = {}) const { return home("src/" + relative); }
    std::string dst(const std::string& relative = {}) const { return home("dst/" + relative); }

    IsolatedHome m_home;
    Configuration configuration;
    RunState state;
    RunStatistics statistics;
    RecordingObserver observer;
    FixedClock clock;
    RunContext context{configuration, state, statistics, observer, clock, false};
};

void MakeFile(const std::string& path, const QByteArray& contents, qint64 modifiedSeconds = 1700000000);
// MakeFile for each name below root, each holding its own name.
void MakeFiles(const std::string& root, const Files& names, qint64 modifiedSeconds = 1700000000);
// Sets both times of path itself, a link included.
void SetTime(const std::string& path, qint64 seconds, long nanoseconds = 0);
// Keeps replaced and removed files under naming (OpSeq, OpDate, OpKeep) in subDirectory, or beside them.
void KeepCopies(BackupSet& set, const char* naming, const char* subDirectory = "");
Files FilesBelow(const std::string& directory); // relative paths, sorted
// root's mode, then every entry below it: relative path, mode, and a file's contents; sorted.
Files Snapshot(const std::string& root);

} // namespace kelvo::test
