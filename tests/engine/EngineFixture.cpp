#include "EngineFixture.h"

namespace kelvo::test {

void RecordingObserver::letEventsRun()
{
    ++yields;
    if (onYield)
        onYield();
}

EngineTest::EngineTest()
{
    for (const char* sub : {"src", "dst", "log"})
        fs::create_directories(m_home.dir() / sub);
    GeneralSettings& settings = configuration.settings;
    settings.StrLogFileDir = QString::fromStdString(m_home.dir() / "log");
    settings.flLogFileOn = settings.flLogFileSuccess = settings.flLogFileErrors = settings.flLogDeletes =
        true;
    settings.StrRealTime = QStringLiteral("None");
}

BackupSet& EngineTest::addSet(const QString& name)
{
    BackupSet set;
    set.SetName = name;
    set.SourceDirFile = QString::fromStdString(src());
    set.DestDir = QString::fromStdString(dst());
    set.CopyOptions = QStringLiteral("OpDate");
    set.SyncOptions = QStringLiteral("srcToDest");
    set.Filters = QStringLiteral("*.*");
    set.flEnabled = set.flOverwrite = set.flSubDirectories = true;
    configuration.sets.push_back(set);
    return configuration.sets.back();
}

BackupSet& EngineTest::freshSet(const char* sync, bool deletesRemovedFiles)
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

qint64 EngineTest::errorsOfRun()
{
    const qint64 before = statistics.errors;
    runBackup();
    return statistics.errors - before;
}

void EngineTest::runBackup(qint16 setIndex)
{
    QString startedByWindows;
    BuildDirectoryLists(configuration, startedByWindows, state);
    RunBackup(context, setIndex);
}

bool EngineTest::logged(const std::string& line) const
{
    const QByteArray log = '\n' + ReadFile(LogFilePath(configuration.settings)),
                     wanted = '\n' + QByteArray::fromStdString(line) + '\n';
    return log.contains(wanted);
}

void MakeFile(const std::string& path, const QByteArray& contents, qint64 modifiedSeconds)
{
    fs::create_directories(fs::path(path).parent_path());
    WriteFile(path, contents);
    SetTime(path, modifiedSeconds);
}

void MakeFiles(const std::string& root, const Files& names, qint64 modifiedSeconds)
{
    for (const std::string& name : names)
        MakeFile(root + name, QByteArray::fromStdString(name), modifiedSeconds);
}

void SetTime(const std::string& path, qint64 seconds, long nanoseconds)
{
    const timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
    utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

void KeepCopies(BackupSet& set, const char* naming, const char* subDirectory)
{
    set.flArchive = true;
    set.ArchiveOptions = QString::fromLatin1(naming);
    set.flArchiveSubDir = *subDirectory != '\0';
    set.ArchiveSubDir = QString::fromLatin1(subDirectory);
}

Files FilesBelow(const std::string& directory)
{
    Files files;
    for (const auto& entry : fs::recursive_directory_iterator(directory)) {
        if (!entry.is_directory())
            files.push_back(fs::relative(entry.path(), directory).string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

Files Snapshot(const std::string& root)
{
    Files entries{std::to_string(ModeOf(root))};
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const std::string path = entry.path().string();
        entries.push_back(fs::relative(path, root).string() + " " + std::to_string(ModeOf(path)) + " " +
                          (entry.is_regular_file() ? ReadFile(path).toStdString() : std::string()));
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

} // namespace kelvo::test
