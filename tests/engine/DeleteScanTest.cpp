#include "EngineFixture.h"
#include "platform/PartialFiles.h"

#include <chrono>
#include <thread>

// What a run must never delete or write over: the backup is often the user's only other copy.
namespace kelvo::test {
namespace {

using DeleteScan = EngineTest;

// Whatever the source still holds under a name, even no file, keeps the backup's file. A reverse set
// deletes from the source tree; a two-way set never deletes; unfinished copies of a killed run are
// removed and never carried across.
TEST_F(DeleteScan, RemovesOnlyFilesGoneFromTheCopyingSide)
{
    freshSet("srcToDest", true);
    MakeFiles(src(), {"kept.txt"});
    MakeFiles(dst(), {"gone.txt", "special"});
    chmod(dst("gone.txt").c_str(), 0444); // read-only says nothing
    ASSERT_EQ(mkfifo(src("special").c_str(), 0600), 0);
    runBackup();
    EXPECT_EQ(FilesBelow(dst()), (Files{"kept.txt", "special"}));
    EXPECT_TRUE(logged("SUCCESS : Deleted : " + dst("gone.txt") +
                       ". The file was no longer present in the source directory"));
    fs::remove(src("special"));
    configuration.sets[0].SyncOptions = QStringLiteral("destToSrc");
    MakeFiles(src(), {"source-only.txt"});
    runBackup();
    EXPECT_EQ(FilesBelow(src()), (Files{"kept.txt", "special"}));
    configuration.sets[0].SyncOptions = QStringLiteral("srcAndDest");
    MakeFiles(dst(), {"backup-only.txt"});
    MakeFiles(src(), {"new-in-source.txt"});
    runBackup();
    EXPECT_EQ(FilesBelow(src()), (Files{"backup-only.txt", "kept.txt", "new-in-source.txt", "special"}));
    freshSet("srcAndDest");
    MakeFiles(dst(), {PartialFileName("big.iso", 0x0123456789abcdefULL)});
    MakeFiles(src(), {PartialFileName("other", 42), "a.txt"});
    runBackup();
    EXPECT_EQ(std::pair(FilesBelow(dst()), FilesBelow(src())), std::pair(Files{"a.txt"}, Files{"a.txt"}));
}

// An empty folder while its backup holds files is a drive or share that is not mounted there, in either
// direction and at any depth; a missing or unreadable source is never an empty one.
TEST_F(DeleteScan, AnEmptyOrMissingCopyingFolderDeletesNothing)
{
    for (const bool reverse : {false, true}) {
        freshSet(reverse ? "destToSrc" : "srcToDest", true);
        const std::string copying = reverse ? dst() : src(), receiving = reverse ? src() : dst();
        MakeFile(receiving + "precious.txt", "p");
        EXPECT_EQ(errorsOfRun(), 1);
        EXPECT_EQ(FilesBelow(receiving), (Files{"precious.txt"}));
        EXPECT_TRUE(logged("Error : " + copying + " is empty. Nothing is deleted from " + receiving));
    }
    freshSet("srcToDest", true);
    MakeFiles(src(), {"kept.txt"});
    fs::create_directories(src("mount"));
    MakeFiles(dst(), {"mount/precious.txt", "removed.txt"});
    EXPECT_EQ(errorsOfRun(), 1);
    EXPECT_EQ(FilesBelow(dst()), (Files{"kept.txt", "mount/precious.txt"}));
    EXPECT_TRUE(logged("Error : " + src("mount/") + " is empty. Nothing is deleted from " + dst("mount/")));
    const Files backup{"precious.txt", "sub/precious.txt"};
    freshSet("srcToDest", true);
    MakeFiles(dst(), backup);
    fs::remove_all(src());
    EXPECT_EQ(errorsOfRun(), 1);
    EXPECT_TRUE(logged("Error : Path not found. Cannot access " + src()));
    // A loop of links cannot be opened by anybody, root included.
    fs::create_symlink(src(), home("src"));
    runBackup();
    EXPECT_TRUE(logged("Error : Path/File access error. Cannot access " + src()));
    EXPECT_EQ(FilesBelow(dst()), backup);
}

// A removed file is kept as a replaced file would be, so the user can get it back; with no kept name (its
// own name, beside itself) it is deleted. Kept copies of earlier runs, in any naming an older version
// wrote, are no removed files.
TEST_F(DeleteScan, RemovedFilesAreKeptWhenTheSetKeepsCopies)
{
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"OpSeq", "", "sub/gone.txt.1"},
        {"OpDate", "", "sub/gone.txt.05122026-140307"},
        {"OpSeq", "archive", "sub/archive/gone.txt.1"},
        {"OpKeep", "archive", "sub/archive/gone.txt"},
        {"OpKeep", "", nullptr}};
    for (const auto& [naming, subDirectory, keptAs] : cases) {
        SCOPED_TRACE(std::string(naming) + " " + subDirectory);
        KeepCopies(freshSet("srcToDest", true), naming, subDirectory);
        MakeFiles(src(), {"kept.txt", "sub/gone.txt", "sub/stays.txt"}); // an emptied folder deletes nothing
        runBackup();
        fs::remove(src("sub/gone.txt"));
        runBackup();
        runBackup();
        EXPECT_EQ(std::pair(FilesBelow(dst()), statistics.errors),
                  std::pair(keptAs ? Files{"kept.txt", keptAs, "sub/stays.txt"}
                                   : Files{"kept.txt", "sub/stays.txt"},
                            qint64(0)));
        if (keptAs) {
            EXPECT_EQ(ReadFile(dst(keptAs)), "sub/gone.txt");
            EXPECT_TRUE(logged("SUCCESS : Deleted : " + dst("sub/gone.txt") +
                               ". The file was no longer present in the source directory; kept as " +
                               dst(keptAs)));
        }
    }
    KeepCopies(freshSet("srcToDest", true), "OpDate");
    MakeFile(src("report.doc"), "new", 2000);
    MakeFiles(dst(), {"report.doc", "report.doc.04122026-950"}, 1000);
    runBackup();
    runBackup();
    EXPECT_EQ(FilesBelow(dst()),
              (Files{"report.doc", "report.doc.04122026-950", "report.doc.05122026-140307"}));
}

// The source's own folder "old" is backed up into dst/old, the kept-copies folder: keeping a copy
// there would replace that backup, so nothing is kept there, and so nothing is replaced or removed.
TEST_F(DeleteScan, AKeptCopiesFolderThatIsTheBackupOfASourceFolderKeepsNothing)
{
    KeepCopies(freshSet("srcToDest", true), "OpKeep", "old");
    MakeFiles(src(), {"sub/x", "sub/old/x", "sub/removed"}, 1000);
    runBackup();
    MakeFile(src("sub/x"), "second", 2000);
    fs::remove(src("sub/removed"));
    runBackup();
    EXPECT_EQ(
        std::tuple(FilesBelow(dst()), ReadFile(dst("sub/old/x")) + ReadFile(dst("sub/x")), statistics.errors),
        std::tuple(Files{"sub/old/x", "sub/removed", "sub/x"}, QByteArray("sub/old/xsub/x"), 2));
    for (const char* name : {"sub/x", "sub/removed"})
        EXPECT_TRUE(logged("Error : Path/File access error. Cannot access " + dst("sub/old") +
                           ": it is the backup of " + src("sub/old") + ", so no copy is kept there and " +
                           dst(name) + " is left as it is"))
            << name;
}

// The old version of a name that changed between file and folder is kept when the set keeps copies,
// and replaced otherwise (a whole folder only when removed files are deleted).
TEST_F(DeleteScan, AFileThatBecameAFolderOrTheOtherWayRoundIsBackedUp)
{
    const std::tuple<bool, bool, Files> cases[] = {
        {true, false, {"became-file", "became-file.1/old.txt", "became-folder.1", "became-folder/new.txt"}},
        {false, true, {"became-file", "became-folder/new.txt"}},
        {false, false, {"became-file/old.txt", "became-folder/new.txt"}}};
    for (const auto& [keeps, deletes, backup] : cases) {
        KeepCopies(freshSet("srcToDest", deletes), "OpSeq").flArchive = keeps;
        MakeFiles(src(), {"became-folder/new.txt"});
        MakeFiles(src(), {"became-file"}, 5000);
        MakeFiles(dst(), {"became-folder", "became-file/old.txt"});
        runBackup();
        // A folder of removed files stays, and its name fails.
        EXPECT_EQ(std::pair(FilesBelow(dst()), statistics.errors),
                  std::pair(backup, qint64(keeps || deletes ? 0 : 1)));
    }
}

// A drive that is not plugged in leaves its mount point as a folder of the system disk, or no folder at
// all: the run must neither fill it (the files would hide under the drive) nor delete the backup.
TEST_F(DeleteScan, WritesAndDeletesNothingWhileARootIsOffItsDriveOfTheLastRun)
{
    std::string sourceDrive = "/ ext4", destinationDrive = "/mnt/backup ext4";
    context.driveOf = [&](const std::string& directory) -> std::optional<std::string> {
        return fs::exists(directory)
                   ? std::optional(directory.starts_with(dst()) ? destinationDrive : sourceDrive)
                   : std::nullopt;
    };
    BackupSet& set = freshSet("srcToDest", true);
    MakeFiles(src(), {"a.txt"});
    runBackup();
    EXPECT_EQ(set.SourceDrive + set.DestDrive, QStringLiteral("/ ext4/mnt/backup ext4"));
    fs::remove(src("a.txt"));
    MakeFiles(src(), {"b.txt"});
    const std::string away = home("away"),
                      notOnItsDrive =
                          " is not on the drive it was on at the last run. Is the drive plugged in?",
                      destinationOff = "Error : The destination " + dst() + notOnItsDrive;
    const std::tuple<std::function<void()>, std::function<void()>, std::string> cases[] = {
        {[&] { destinationDrive = "/ ext4"; }, [&] { destinationDrive = "/mnt/backup ext4"; },
         destinationOff},
        {[&] { fs::rename(dst(), away); }, [&] { fs::rename(away, dst()); }, destinationOff},
        {[&] { sourceDrive = "/media/usb vfat"; }, [&] { sourceDrive = "/ ext4"; },
         "Error : The source " + src() + notOnItsDrive}};
    for (const auto& [unplug, plug, line] : cases) {
        unplug();
        EXPECT_EQ(errorsOfRun(), 1);
        EXPECT_TRUE(logged(line));
        plug();
        EXPECT_EQ(FilesBelow(dst()), (Files{"a.txt"})) << line;
    }
    runBackup();
    EXPECT_EQ(FilesBelow(dst()), (Files{"b.txt"}));
    // A set whose roots were changed on purpose has no drive yet: its first run records them, and makes
    // the missing parents of a new backup folder, privately.
    set.DestDrive.clear();
    const std::string top = home("new"), destination = top + "/drive/backup";
    set.DestDir = QString::fromStdString(destination);
    const mode_t oldMask = ::umask(0);
    runBackup();
    ::umask(oldMask);
    EXPECT_EQ(std::tuple(set.DestDrive, FilesBelow(destination), ModeOf(top), ModeOf(top + "/drive")),
              std::tuple(QStringLiteral("/ ext4"), Files{"b.txt"}, 0700u, 0700u));
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
        {&BackupSet::DestDir, "", "Error : Set Docs : no destination directory"}};
    for (const auto& [field, value, line] : cases) {
        configuration.sets.clear();
        addSet().*field = QString::fromLatin1(value);
        EXPECT_EQ(errorsOfRun(), 1);
        EXPECT_TRUE(logged(line));
        EXPECT_EQ(std::tuple(statistics.filesExamined, FilesBelow(dst()).size(), fs::exists("/" + probe)),
                  std::tuple(0, 0u, false))
            << line;
        fs::remove("/" + probe);
    }
}

// A set that limits its kept copies removes a file's oldest copies each time it keeps one, where it
// keeps them, and nothing else: not the copy just kept, not a conflict copy, not the backup of a
// source file whose name looks like a kept copy of it.
TEST_F(DeleteScan, KeptCopiesBeyondTheSetsLimitsAreRemovedOldestFirst)
{
    // naming, sub directory, sync, most copies, days, days the clock is ahead at the last keep, and which
    // of the versions v1 to v4 of report.doc stay kept
    const std::tuple<const char*, const char*, const char*, qint16, qint16, int, QList<QByteArray>> cases[] =
        {{"OpSeq", "", "srcToDest", 2, 0, 0, {"v3", "v4"}},
         {"OpDate", "", "srcToDest", 2, 0, 0, {"v3", "v4"}},
         {"OpSeq", "archive", "srcToDest", 1, 0, 0, {"v4"}},
         {"OpSeq", "", "srcAndDest", 2, 0, 0, {"v3", "v4"}},
         {"OpDate", "archive", "srcToDest", 0, 2, 3, {"v4"}},
         {"OpSeq", "", "srcToDest", 0, 4, 3, {"v1", "v2", "v3", "v4"}},
         {"OpDate", "", "srcToDest", 0, 0, 30, {"v1", "v2", "v3", "v4"}}};
    for (const auto& [naming, subDirectory, sync, maxCopies, days, daysAhead, kept] : cases) {
        SCOPED_TRACE(::testing::Message()
                     << naming << " '" << subDirectory << "' " << sync << " " << maxCopies << " " << days);
        BackupSet& set = freshSet(sync);
        KeepCopies(set, naming, subDirectory);
        std::tie(set.KeepMaxCopies, set.KeepDays) = std::tuple(maxCopies, days);
        const std::string place = *subDirectory ? dst(subDirectory) + "/" : dst();
        fs::remove(LogFilePath(configuration.settings));
        MakeFiles(src(), {"report.doc.7", "report.doc.01122026-101010"});
        MakeFile(place + "report.doc.conflict-01122026-101010", "conflict");
        for (int version = 1; version <= 5; ++version) {
            clock.time =
                version < 5 ? clock.time.addSecs(60) : QDateTime::currentDateTime().addDays(daysAhead);
            MakeFile(src("report.doc"), "v" + QByteArray::number(version), 2000 + version);
            runBackup();
            // A kept copy's time is its status change, which the file system stamps by the clock tick.
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        QList<QByteArray> versions;
        for (const std::string& file : FilesBelow(dst()))
            versions << ReadFile(dst(file));
        versions.removeIf([](const QByteArray& contents) { return !contents.startsWith('v'); });
        std::sort(versions.begin(), versions.end());
        EXPECT_EQ(versions, kept + QList<QByteArray>{"v5"});
        // A two-way set never carries names shaped as kept copies, so only a one-way set backs them up.
        EXPECT_EQ(
            std::tuple(fs::exists(place + "report.doc.conflict-01122026-101010"), statistics.errors,
                       fs::exists(dst("report.doc.7")) && fs::exists(dst("report.doc.01122026-101010"))),
            std::tuple(true, 0, std::string(sync) == "srcToDest"));
        const QByteArray deleted =
            QByteArray::fromStdString("SUCCESS : Deleted kept copy : " + place + "report.doc.");
        EXPECT_EQ(ReadFile(LogFilePath(configuration.settings)).count(deleted), 4 - kept.size());
    }

    // A file removed from the source is kept as a replaced one is, within the same limits.
    KeepCopies(freshSet("srcToDest", true), "OpSeq").KeepMaxCopies = 1;
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
