#include "EngineFixture.h"
#include "platform/FilePath.h"
#include "platform/PartialFiles.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <sys/stat.h>
#include <thread>
#include <tuple>

// What a run must never delete or write over: the backup is often the user's only other copy.
namespace kelvo::test {
namespace {

namespace fs = std::filesystem;

using DeleteScan = EngineTest;

TEST_F(DeleteScan, RemovesOnlyFilesGoneFromTheCopyingSide)
{
    addSet().flRemovedDeletedFiles = true;
    MakeFile(src("kept.txt"), "k");
    MakeFile(dst("gone.txt"), "g");
    chmod(dst("gone.txt").c_str(), 0444);
    // Whatever the source still holds under a name, even no file, keeps the backup's file.
    MakeFile(dst("special"), "s");
    ASSERT_EQ(mkfifo(src("special").c_str(), 0600), 0);
    runBackup();
    EXPECT_TRUE(FileExists(dst("special")));
    fs::remove(src("special"));
    fs::remove(dst("special"));
    EXPECT_EQ(FilesBelow(dst()), Files{"kept.txt"});
    EXPECT_TRUE(logged("SUCCESS : Deleted : " + dst("gone.txt") +
                       ". The file was no longer present in the source directory"));

    // A reverse set deletes from the source tree; a two-way set never deletes.
    configuration.sets[0].SyncOptions = QStringLiteral("destToSrc");
    MakeFile(src("source-only.txt"), "s");
    runBackup();
    EXPECT_EQ(FilesBelow(src()), Files{"kept.txt"});
    configuration.sets[0].SyncOptions = QStringLiteral("srcAndDest");
    MakeFiles(dst(), {"backup-only.txt"});
    MakeFiles(src(), {"new-in-source.txt"});
    runBackup();
    EXPECT_EQ(FilesBelow(src()), (Files{"backup-only.txt", "kept.txt", "new-in-source.txt"}));

    // Unfinished copies of a killed run are removed and never carried across.
    freshSet().SyncOptions = QStringLiteral("srcAndDest");
    MakeFiles(dst(), {PartialFileName("big.iso", 0x0123456789abcdefULL)});
    MakeFiles(src(), {PartialFileName("other", 42), "a.txt"});
    runBackup();
    EXPECT_EQ(FilesBelow(dst()), Files{"a.txt"});
    EXPECT_EQ(FilesBelow(src()), Files{"a.txt"});
}

// An empty folder while its backup holds files is a drive or share that is not mounted there, in either
// direction and at any depth; a missing or unreadable source is never an empty one.
TEST_F(DeleteScan, AnEmptyOrMissingCopyingFolderDeletesNothing)
{
    for (const char* direction : {"srcToDest", "destToSrc"}) {
        SCOPED_TRACE(direction);
        BackupSet& set = freshSet();
        set.SyncOptions = QString::fromLatin1(direction);
        set.flRemovedDeletedFiles = true;
        const bool reverse = set.SyncOptions == QLatin1String("destToSrc");
        const std::string copying = reverse ? dst() : src();
        const std::string receiving = reverse ? src() : dst();
        MakeFile(receiving + "precious.txt", "p");
        EXPECT_EQ(errorsOfRun(), 1);
        EXPECT_EQ(FilesBelow(receiving), Files{"precious.txt"});
        EXPECT_TRUE(logged("Error : " + copying + " is empty. Nothing is deleted from " + receiving));
    }

    freshSet().flRemovedDeletedFiles = true;
    MakeFiles(src(), {"kept.txt"});
    fs::create_directories(src("mount"));
    MakeFiles(dst(), {"mount/precious.txt", "removed.txt"});
    EXPECT_EQ(errorsOfRun(), 1);
    EXPECT_EQ(FilesBelow(dst()), (Files{"kept.txt", "mount/precious.txt"}));
    EXPECT_TRUE(logged("Error : " + src("mount/") + " is empty. Nothing is deleted from " + dst("mount/")));

    const Files backup{"precious.txt", "sub/precious.txt"};
    freshSet().flRemovedDeletedFiles = true;
    MakeFiles(dst(), backup);
    fs::remove_all(src());
    EXPECT_EQ(errorsOfRun(), 1);
    EXPECT_EQ(FilesBelow(dst()), backup);
    EXPECT_TRUE(logged("Error : Path not found. Cannot access " + src()));
    // A loop of links cannot be opened by anybody, root included.
    fs::create_symlink(src(), m_home.dir() / "src");
    runBackup();
    EXPECT_EQ(FilesBelow(dst()), backup);
    EXPECT_TRUE(logged("Error : Path/File access error. Cannot access " + src()));
}

// A file removed from the source is kept as a replaced file would be, so the user can get it back;
// with no kept name (its own name, beside itself) it is deleted. Kept copies of earlier runs, in any
// naming an older version wrote, are no removed files.
TEST_F(DeleteScan, RemovedFilesAreKeptWhenTheSetKeepsCopies)
{
    struct Case
    {
        const char* naming;
        const char* subDirectory;
        Files backup;
    };
    const Case cases[] = {
        {"OpSeq", "", {"kept.txt", "sub/gone.txt.1", "sub/stays.txt"}},
        {"OpDate", "", {"kept.txt", "sub/gone.txt.05122026-140307", "sub/stays.txt"}},
        {"OpSeq", "archive", {"kept.txt", "sub/archive/gone.txt.1", "sub/stays.txt"}},
        {"OpKeep", "archive", {"kept.txt", "sub/archive/gone.txt", "sub/stays.txt"}},
        {"OpKeep", "", {"kept.txt", "sub/stays.txt"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.naming) + " " + c.subDirectory);
        BackupSet& set = freshSet();
        set.flRemovedDeletedFiles = true;
        KeepCopies(set, c.naming, c.subDirectory);
        MakeFiles(src(), {"kept.txt", "sub/gone.txt", "sub/stays.txt"}); // an emptied folder deletes nothing
        runBackup();
        fs::remove(src("sub/gone.txt"));
        runBackup();
        runBackup();
        EXPECT_EQ(FilesBelow(dst()), c.backup);
        if (c.backup.size() > 2) {
            EXPECT_EQ(ReadFile(dst(c.backup[1])), "sub/gone.txt");
            EXPECT_TRUE(logged("SUCCESS : Deleted : " + dst("sub/gone.txt") +
                               ". The file was no longer present in the source directory; kept as " +
                               dst(c.backup[1])));
        }
        EXPECT_EQ(statistics.errors, 0);
    }

    BackupSet& set = freshSet();
    set.flRemovedDeletedFiles = true;
    KeepCopies(set, "OpDate");
    MakeFile(src("report.doc"), "new", 2000);
    MakeFile(dst("report.doc"), "old", 1000);
    MakeFile(dst("report.doc.04122026-950"), "older");
    runBackup();
    runBackup();
    EXPECT_EQ(FilesBelow(dst()),
              (Files{"report.doc", "report.doc.04122026-950", "report.doc.05122026-140307"}));
}

// The source's own folder "old" is backed up into dst/old, the kept-copies folder: keeping a copy
// there would replace that backup, so nothing is kept there, and so nothing is replaced or removed.
TEST_F(DeleteScan, AKeptCopiesFolderThatIsTheBackupOfASourceFolderKeepsNothing)
{
    BackupSet& set = addSet();
    set.flRemovedDeletedFiles = true;
    KeepCopies(set, "OpKeep", "old");
    MakeFile(src("sub/x"), "first", 1000);
    MakeFile(src("sub/old/x"), "the source's own old/x", 1000);
    MakeFile(src("sub/removed"), "r", 1000);
    runBackup();
    MakeFile(src("sub/x"), "second", 2000);
    fs::remove(src("sub/removed"));
    runBackup();

    EXPECT_EQ(FilesBelow(dst()), (Files{"sub/old/x", "sub/removed", "sub/x"}));
    EXPECT_EQ(ReadFile(dst("sub/old/x")), "the source's own old/x");
    EXPECT_EQ(ReadFile(dst("sub/x")), "first");
    EXPECT_EQ(statistics.errors, 2);
    for (const char* name : {"sub/x", "sub/removed"}) {
        EXPECT_TRUE(logged("Error : Path/File access error. Cannot access " + dst("sub/old") +
                           ": it is the backup of " + src("sub/old") + ", so no copy is kept there and " +
                           dst(name) + " is left as it is"))
            << name;
    }
}

// A file that became a folder or a folder that became a file: the old version is kept when the set
// keeps copies, and replaced otherwise (a whole folder only when removed files are deleted).
TEST_F(DeleteScan, AFileThatBecameAFolderOrTheOtherWayRoundIsBackedUp)
{
    struct Case
    {
        bool keeps;
        bool deletes;
        Files backup;
    };
    const Case cases[] = {
        {true, false, {"became-file", "became-file.1/old.txt", "became-folder.1", "became-folder/new.txt"}},
        {false, true, {"became-file", "became-folder/new.txt"}},
        {false, false, {"became-file/old.txt", "became-folder/new.txt"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.keeps) + std::to_string(c.deletes));
        BackupSet& set = freshSet();
        set.flArchive = c.keeps;
        set.ArchiveOptions = QStringLiteral("OpSeq");
        set.flRemovedDeletedFiles = c.deletes;
        MakeFiles(src(), {"became-folder/new.txt"});
        MakeFiles(src(), {"became-file"}, 5000);
        MakeFiles(dst(), {"became-folder", "became-file/old.txt"});
        runBackup();
        EXPECT_EQ(FilesBelow(dst()), c.backup);
        EXPECT_EQ(statistics.errors, c.keeps || c.deletes ? 0 : 1) << "a folder removed files stay in";
    }
}

// A drive that is not plugged in leaves its mount point as a folder of the system disk, or no folder at
// all: the run must neither fill it (the files would hide under the drive) nor delete the backup.
TEST_F(DeleteScan, WritesAndDeletesNothingWhileARootIsOffItsDriveOfTheLastRun)
{
    std::string sourceDrive = "/ ext4";
    std::string destinationDrive = "/mnt/backup ext4";
    context.driveOf = [&](const std::string& directory) -> std::optional<std::string> {
        if (!fs::exists(directory))
            return std::nullopt;
        return directory.starts_with(dst()) ? destinationDrive : sourceDrive;
    };
    addSet().flRemovedDeletedFiles = true;
    MakeFile(src("a.txt"), "a");
    runBackup();
    EXPECT_EQ(configuration.sets[0].SourceDrive, QStringLiteral("/ ext4"));
    EXPECT_EQ(configuration.sets[0].DestDrive, QStringLiteral("/mnt/backup ext4"));

    fs::remove(src("a.txt"));
    MakeFile(src("b.txt"), "b");
    const std::string away = m_home.dir() / "away";
    const auto offItsDrive = [](const std::string& what, const std::string& root) {
        return "Error : The " + what + " " + root +
               " is not on the drive it was on at the last run. Is the drive plugged in?";
    };
    struct Case
    {
        const char* what;
        std::function<void()> unplug;
        std::function<void()> plug;
        std::string line;
    };
    const Case cases[] = {
        {"destination on the system disk", [&] { destinationDrive = "/ ext4"; },
         [&] { destinationDrive = "/mnt/backup ext4"; }, offItsDrive("destination", dst())},
        {"destination missing", [&] { fs::rename(dst(), away); }, [&] { fs::rename(away, dst()); },
         offItsDrive("destination", dst())},
        {"source on another drive", [&] { sourceDrive = "/media/usb vfat"; }, [&] { sourceDrive = "/ ext4"; },
         offItsDrive("source", src())},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.unplug();
        EXPECT_EQ(errorsOfRun(), 1);
        EXPECT_TRUE(logged(c.line));
        c.plug();
        EXPECT_EQ(FilesBelow(dst()), (Files{"a.txt"})) << "nothing copied, nothing deleted";
    }
    runBackup();
    EXPECT_EQ(FilesBelow(dst()), (Files{"b.txt"}));

    // A set whose roots were changed on purpose has no drive yet: its first run records them.
    configuration.sets[0].DestDrive.clear();
    destinationDrive = "/media/new ext4";
    runBackup();
    EXPECT_EQ(configuration.sets[0].DestDrive, QStringLiteral("/media/new ext4"));
}

// A new set may name a backup folder whose parents do not exist yet. Once a run has completed, a
// missing destination is a drive that is not plugged in: making it again would fill the system disk.
TEST_F(DeleteScan, MakesTheMissingParentsOfTheDestinationOnlyBeforeTheFirstCompletedRun)
{
    context.driveOf = [](const std::string& directory) -> std::optional<std::string> {
        return fs::exists(directory) ? std::optional<std::string>("/ ext4") : std::nullopt;
    };
    const std::string top = m_home.dir() / "new";
    const std::string destination = top + "/drive/backup";
    addSet().DestDir = QString::fromStdString(destination);
    MakeFile(src("a.txt"), "a");
    const mode_t oldMask = ::umask(0);
    runBackup();
    ::umask(oldMask);
    EXPECT_EQ(statistics.errors, 0);
    EXPECT_EQ(FilesBelow(destination), (Files{"a.txt"}));
    EXPECT_EQ(ModeOf(top), 0700u);
    EXPECT_EQ(ModeOf(top + "/drive"), 0700u);
    EXPECT_EQ(configuration.sets[0].DestDrive, QStringLiteral("/ ext4"));

    fs::remove_all(top);
    EXPECT_EQ(errorsOfRun(), 1);
    EXPECT_TRUE(logged("Error : The destination " + destination +
                       "/ is not on the drive it was on at the last run. Is the drive plugged in?"));
    EXPECT_FALSE(fs::exists(top));
}

// A hand-edited option that the program does not know would copy or keep nothing without a word, and a
// missing destination would put the copies below "/".
TEST_F(DeleteScan, ASetItWouldMisreadIsNotRun)
{
    const std::string probe = "kelvo-missing-destination-probe";
    MakeFile(src(probe), "p");
    const std::tuple<QString BackupSet::*, const char*, const char*> cases[] = {
        {&BackupSet::CopyOptions, "opdate", "Error : Set Docs : unknown value opdate for CopyOptions"},
        {&BackupSet::ArchiveOptions, "Seq", "Error : Set Docs : unknown value Seq for ArchiveOptions"},
        {&BackupSet::SyncOptions, "x", "Error : Set Docs : unknown value x for SyncOptions"},
        {&BackupSet::DestDir, "", "Error : Set Docs : no destination directory"},
    };
    for (const auto& [field, value, line] : cases) {
        SCOPED_TRACE(line);
        configuration.sets.clear();
        addSet().*field = QString::fromLatin1(value);
        EXPECT_EQ(errorsOfRun(), 1);
        EXPECT_TRUE(logged(line));
        EXPECT_EQ(statistics.filesExamined, 0);
        EXPECT_EQ(FilesBelow(dst()), Files{});
        EXPECT_FALSE(fs::exists("/" + probe));
        fs::remove("/" + probe);
    }
}

// A set that limits its kept copies removes a file's oldest copies each time it keeps one, where it
// keeps them, and nothing else: not the copy just kept, not a conflict copy, not the backup of a
// source file whose name looks like a kept copy of it.
TEST_F(DeleteScan, KeptCopiesBeyondTheSetsLimitsAreRemovedOldestFirst)
{
    struct Case
    {
        const char* naming;
        const char* subDirectory;
        const char* sync;
        qint16 maxCopies;
        qint16 days;
        int clockDaysAheadAtLastKeep;
        QList<QByteArray> kept; // of the versions v1 to v4 of report.doc that the runs kept
    };
    const Case cases[] = {
        {"OpSeq", "", "srcToDest", 2, 0, 0, {"v3", "v4"}},
        {"OpDate", "", "srcToDest", 2, 0, 0, {"v3", "v4"}},
        {"OpSeq", "archive", "srcToDest", 1, 0, 0, {"v4"}},
        {"OpSeq", "", "srcAndDest", 2, 0, 0, {"v3", "v4"}},
        {"OpDate", "archive", "srcToDest", 0, 2, 3, {"v4"}},
        {"OpSeq", "", "srcToDest", 0, 4, 3, {"v1", "v2", "v3", "v4"}},
        {"OpDate", "", "srcToDest", 0, 0, 30, {"v1", "v2", "v3", "v4"}},
    };
    const auto deletedKeptCopies = [&](const std::string& place) {
        const auto lines = logLines();
        return qsizetype(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.starts_with("SUCCESS : Deleted kept copy : " + place + "report.doc.");
        }));
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.naming) + " '" + c.subDirectory + "' " + c.sync + " max " +
                     std::to_string(c.maxCopies) + " days " + std::to_string(c.days));
        BackupSet& set = freshSet();
        KeepCopies(set, c.naming, c.subDirectory);
        set.SyncOptions = QString::fromLatin1(c.sync);
        set.KeepMaxCopies = c.maxCopies;
        set.KeepDays = c.days;
        const std::string place = *c.subDirectory ? dst(c.subDirectory) + "/" : dst();
        const qsizetype deletedBefore = deletedKeptCopies(place);
        MakeFiles(src(), {"report.doc.7", "report.doc.01122026-101010"});
        MakeFile(place + "report.doc.conflict-01122026-101010", "conflict");
        for (int version = 1; version <= 5; ++version) {
            clock.time = version < 5 ? clock.time.addSecs(60)
                                     : QDateTime::currentDateTime().addDays(c.clockDaysAheadAtLastKeep);
            MakeFile(src("report.doc"), "v" + QByteArray::number(version), 2000 + version);
            runBackup();
            // A kept copy's time is its status change, which the file system stamps by the clock tick.
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        QList<QByteArray> versions;
        for (const std::string& file : FilesBelow(dst())) {
            if (const QByteArray contents = ReadFile(dst(file)); contents.startsWith('v'))
                versions << contents;
        }
        std::sort(versions.begin(), versions.end());
        EXPECT_EQ(versions, c.kept + QList<QByteArray>{"v5"});
        EXPECT_TRUE(fs::exists(place + "report.doc.conflict-01122026-101010"));
        // A two-way set never carries names shaped as kept copies, so only a one-way set backs them up.
        EXPECT_EQ(fs::exists(dst("report.doc.7")) && fs::exists(dst("report.doc.01122026-101010")),
                  std::string(c.sync) == "srcToDest");
        EXPECT_EQ(deletedKeptCopies(place) - deletedBefore, 4 - c.kept.size());
        EXPECT_EQ(statistics.errors, 0);
    }

    // A file removed from the source is kept as a replaced one is, within the same limits.
    BackupSet& set = freshSet();
    KeepCopies(set, "OpSeq");
    set.flRemovedDeletedFiles = true;
    set.KeepMaxCopies = 1;
    MakeFiles(src(), {"stays.txt", "gone.txt"});
    runBackup();
    MakeFile(dst("gone.txt.1"), "an older version");
    fs::remove(src("gone.txt"));
    runBackup();
    EXPECT_EQ(FilesBelow(dst()), (Files{"gone.txt.2", "stays.txt"}));
    EXPECT_TRUE(logged("SUCCESS : Deleted kept copy : " + dst("gone.txt.1")));
}

} // namespace
} // namespace kelvo::test
