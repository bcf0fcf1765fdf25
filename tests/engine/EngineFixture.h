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
    void letEventsRun() override { ++yields, onYield ? onYield() : void(); }
    bool stopRequested() const override { return stop; }
    void errorReported(const QString& line) override { errorLines.push_back(line); }

    std::vector<int> fileProgress;
    std::vector<bool> copyActiveStates, timerStates;
    std::vector<QString> errorLines;
    int yields = 0;
    bool stop = false;
    std::function<void()> onYield;
};

// Sets both times of path itself, a link included.
inline void SetTime(const std::string& path, qint64 seconds, long nanoseconds = 0)
{
    const timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
    utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

inline void MakeFile(const std::string& path, const QByteArray& contents, qint64 modifiedSeconds = 1700000000)
{
    fs::create_directories(fs::path(path).parent_path());
    WriteFile(path, contents);
    SetTime(path, modifiedSeconds);
}

// MakeFile for each name below root, each holding its own name.
inline void MakeFiles(const std::string& root, const Files& names, qint64 modifiedSeconds = 1700000000)
{
    for (const std::string& name : names)
        MakeFile(root + name, QByteArray::fromStdString(name), modifiedSeconds);
}

// Keeps replaced and removed files under naming (OpSeq, OpDate, OpKeep) in subDirectory, or beside them.
inline BackupSet& KeepCopies(BackupSet& set, const char* naming, const char* subDirectory = "")
{
    set.flArchive = true;
    set.ArchiveOptions = QString::fromLatin1(naming);
    set.flArchiveSubDir = *subDirectory != '\0';
    set.ArchiveSubDir = QString::fromLatin1(subDirectory);
    return set;
}

// The files below directory, or with contents: root's mode, then every entry with its mode and a file's
// contents. Relative paths, sorted.
inline Files FilesBelow(const std::string& directory, bool withContents = false)
{
    Files files;
    if (withContents)
        files.push_back(std::to_string(ModeOf(directory)));
    for (const auto& entry : fs::recursive_directory_iterator(directory)) {
        const std::string path = entry.path().string(), relative = fs::relative(path, directory).string();
        if (withContents)
            files.push_back(relative + " " + std::to_string(ModeOf(path)) + " " +
                            (entry.is_regular_file() ? ReadFile(path).toStdString() : std::string()));
        else if (!entry.is_directory())
            files.push_back(relative);
    }
    std::sort(files.begin(), files.end());
    return files;
}

// A run's whole world in a temporary directory: source "src", destination "dst", log directory "log".
class EngineTest : public ::testing::Test
{
protected:
    EngineTest()
    {
        for (const char* sub : {"src", "dst", "log"})
            fs::create_directories(m_home.dir() / sub);
        GeneralSettings& settings = configuration.settings;
        settings.StrLogFileDir = QString::fromStdString(m_home.dir() / "log");
        settings.flLogFileOn = settings.flLogFileSuccess = settings.flLogFileErrors = settings.flLogDeletes =
            true;
        settings.StrRealTime = QStringLiteral("None");
    }

    // One enabled one-way set over src and dst, with sub directories, overwriting, by date.
    BackupSet& addSet(const QString& name = QStringLiteral("Docs"))
    {
        BackupSet& set = configuration.sets.emplace_back();
        set.SetName = name;
        set.SourceDirFile = QString::fromStdString(src());
        set.DestDir = QString::fromStdString(dst());
        set.CopyOptions = QStringLiteral("OpDate");
        set.SyncOptions = QStringLiteral("srcToDest");
        set.Filters = QStringLiteral("*.*");
        set.flEnabled = set.flOverwrite = set.flSubDirectories = true;
        return set;
    }
    // Empties both trees and the statistics and starts over with one fresh set.
    BackupSet& freshSet(const char* sync = "srcToDest", bool deletesRemovedFiles = false)
    {
        for (const std::string& root : {src(), dst()}) {
            fs::remove_all(root);
            fs::create_directories(root);
        }
        configuration.sets.clear();
        statistics = {};
        BackupSet& set = addSet();
        set.SyncOptions = QString::fromLatin1(sync);
        set.flRemovedDeletedFiles = deletesRemovedFiles;
        return set;
    }
    void buildLists()
    {
        QString startedByWindows;
        BuildDirectoryLists(configuration, startedByWindows, state);
    }
    // Builds the directory lists and runs all sets (or one).
    void runBackup(qint16 setIndex = AllSets)
    {
        buildLists();
        RunBackup(context, setIndex);
    }
    qint64 errorsOfRun() // of a run of all sets
    {
        const qint64 before = statistics.errors;
        runBackup();
        return statistics.errors - before;
    }
    bool logged(const std::string& line) const
    {
        const QByteArray log = '\n' + ReadFile(LogFilePath(configuration.settings));
        return log.contains(QByteArray('\n' + QByteArray::fromStdString(line) + '\n'));
    }

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

} // namespace kelvo::test
