#include "EngineFixture.h"

#include "engine/DirectoryLists.h"
#include "engine/LogFile.h"
#include "platform/FileSystem.h"

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>

namespace kelvo::test {

EngineTest::EngineTest()
{
    for (const char* sub : {"src", "dst", "log"})
        std::filesystem::create_directories(m_home.dir() / sub);
    GeneralSettings& settings = configuration.settings;
    settings.StrLogFileDir = QString::fromStdString(m_home.dir() / "log");
    settings.flLogFileOn = true;
    settings.flLogFileSuccess = true;
    settings.flLogFileErrors = true;
    settings.flLogDeletes = true;
    settings.StrRealTime = QStringLiteral("None");
}

BackupSet& EngineTest::addSet(const QString& name)
{
    BackupSet set;
    set.SetName = name;
    set.SourceDirFile = QString::fromStdString(m_home.dir() / "src");
    set.DestDir = QString::fromStdString(m_home.dir() / "dst");
    set.CopyOptions = QStringLiteral("OpDate");
    set.SyncOptions = QStringLiteral("srcToDest");
    set.Filters = QStringLiteral("*.*");
    set.flEnabled = true;
    set.flOverwrite = true;
    set.flSubDirectories = true;
    configuration.sets.push_back(set);
    return configuration.sets.back();
}

BackupSet& EngineTest::freshSet()
{
    for (const std::string& root : {src(), dst()}) {
        std::filesystem::remove_all(root);
        std::filesystem::create_directories(root);
    }
    configuration.sets.clear();
    statistics = {};
    return addSet();
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

std::vector<std::string> EngineTest::logLines() const
{
    std::vector<std::string> lines;
    std::ifstream in(LogFilePath(configuration.settings));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool EngineTest::logged(const std::string& line) const
{
    const auto lines = logLines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

void MakeFile(const std::string& path, const QByteArray& contents, qint64 modifiedSeconds)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    WriteFile(path, contents);
    const struct timespec times[2] = {{modifiedSeconds, 0}, {modifiedSeconds, 0}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}

void MakeFiles(const std::string& root, const Files& names, qint64 modifiedSeconds)
{
    for (const std::string& name : names)
        MakeFile(root + name, QByteArray::fromStdString(name), modifiedSeconds);
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
    for (const auto& entry : std::filesystem::recursive_directory_iterator(directory)) {
        if (!entry.is_directory())
            files.push_back(std::filesystem::relative(entry.path(), directory).string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

} // namespace kelvo::test
