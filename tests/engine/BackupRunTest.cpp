#include "EngineFixture.h"
#include "engine/DirectoryLists.h"
#include "engine/SetRunLock.h"
#include "platform/FileSystem.h"

#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>

namespace kelvo::test {
namespace {

using Files = std::vector<std::string>;

using BackupRun = EngineTest;

TEST_F(BackupRun, CopiesATreeAndASecondRunCopiesNothing)
{
    addSet();
    MakeFile(src("a.txt"), "a");
    MakeFile(src("sub/b.txt"), "b");
    MakeFile(src("sub/deeper/c.txt"), "c");
    MakeFile(src(".hidden"), "h");

    runBackup();
    EXPECT_EQ(FilesBelow(dst()), (Files{".hidden", "a.txt", "sub/b.txt", "sub/deeper/c.txt"}));
    EXPECT_EQ(statistics.directoriesSearched, 3);
    EXPECT_EQ(statistics.filesCopied, 4);
    EXPECT_EQ(statistics.errors, 0);
    EXPECT_EQ(observer.overallProgress.back(), 100);
    EXPECT_EQ(observer.timerStates, (std::vector<bool>{false, true}));
    EXPECT_EQ(configuration.sets[0].LastDate, QStringLiteral("05/12/2026 14:03:07"));
    EXPECT_TRUE(logged("SUCCESS : Copied : " + src("sub/b.txt") + ". To " + dst("sub/b.txt")));

    // The counters accumulate over runs.
    runBackup();
    EXPECT_EQ(statistics.filesExamined, 8);
    EXPECT_EQ(statistics.filesCopied, 4);
}

TEST_F(BackupRun, FiltersAreTrimmedAndEmptyPiecesIgnored)
{
    for (const char* name : {"a.doc", "b.txt", "c.xls"})
        MakeFile(src(name), "x");
    struct Case
    {
        const char* filters;
        Files copied;
    };
    const Case cases[] = {
        {"*.doc;*.txt", {"a.doc", "b.txt"}},
        {"*.doc; *.txt ;", {"a.doc", "b.txt"}},
        {" ; ;", {"a.doc", "b.txt", "c.xls"}},
        {"", {"a.doc", "b.txt", "c.xls"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.filters);
        std::filesystem::remove_all(dst());
        configuration.sets.clear();
        addSet().Filters = QString::fromLatin1(c.filters);
        runBackup();
        EXPECT_EQ(FilesBelow(dst()), c.copied);
    }
    EXPECT_EQ(configuration.sets[0].Filters, QStringLiteral("*.*"));
}

// The user edits the backup copy in place: it is newer and longer, and shares the creation time of
// the original that this program copied.
TEST_F(BackupRun, TwoWaySyncCarriesOnlyTheNewerSide)
{
    addSet().SyncOptions = QStringLiteral("srcAndDest");
    MakeFile(src("report.doc"), "original", 1000);
    MakeFile(dst("from-backup.doc"), "b", 1000);
    runBackup();
    ASSERT_EQ(FilesBelow(src()), (Files{"from-backup.doc", "report.doc"}));

    MakeFile(dst("report.doc"), "original, edited in the backup", 2000);
    MakeFile(src("from-backup.doc"), "edited in the source, longer", 3000);
    runBackup();
    for (const std::string& side : {src(), dst()}) {
        EXPECT_EQ(ReadFile(side + "report.doc"), "original, edited in the backup");
        EXPECT_EQ(ReadFile(side + "from-backup.doc"), "edited in the source, longer");
    }
    EXPECT_EQ(statistics.errors, 0);
}

TEST_F(BackupRun, DeleteScanRemovesOnlyFilesGoneFromTheCopyingSide)
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
    std::filesystem::remove(src("special"));
    std::filesystem::remove(dst("special"));
    EXPECT_EQ(FilesBelow(dst()), Files{"kept.txt"});
    EXPECT_TRUE(logged("SUCCESS : Deleted : " + dst("gone.txt") +
                       ". The file was no longer present in the source directory"));

    // A reverse set deletes from the source tree; a two-way set never deletes.
    configuration.sets[0].SyncOptions = QStringLiteral("destToSrc");
    MakeFile(src("source-only.txt"), "s");
    runBackup();
    EXPECT_EQ(FilesBelow(src()), Files{"kept.txt"});
    configuration.sets[0].SyncOptions = QStringLiteral("srcAndDest");
    MakeFile(dst("backup-only.txt"), "b");
    MakeFile(src("new-in-source.txt"), "n");
    runBackup();
    EXPECT_EQ(FilesBelow(src()), (Files{"backup-only.txt", "kept.txt", "new-in-source.txt"}));
}

// A drive that is not mounted leaves an empty mount point, which must not look like a tree whose
// files were all deleted, in either direction.
TEST_F(BackupRun, EmptyCopyingRootDeletesNothing)
{
    for (const char* direction : {"srcToDest", "destToSrc"}) {
        SCOPED_TRACE(direction);
        configuration.sets.clear();
        BackupSet& set = addSet();
        set.SyncOptions = QString::fromLatin1(direction);
        set.flRemovedDeletedFiles = true;
        const bool reverse = set.SyncOptions == QLatin1String("destToSrc");
        const std::string copying = reverse ? dst() : src();
        const std::string receiving = reverse ? src() : dst();
        std::filesystem::remove_all(copying);
        std::filesystem::create_directories(copying);
        MakeFile(receiving + "precious.txt", "p");
        const qint64 errorsBefore = statistics.errors;
        runBackup();
        EXPECT_EQ(FilesBelow(receiving), Files{"precious.txt"});
        EXPECT_EQ(statistics.errors, errorsBefore + 1);
        EXPECT_TRUE(logged("Error : " + copying + " is empty. Nothing is deleted from " + receiving));
    }
}

TEST_F(BackupRun, MissingOrUnreadableSourceNeverEmptiesTheBackupAndIsNamed)
{
    addSet().flRemovedDeletedFiles = true;
    MakeFile(dst("precious.txt"), "p");
    MakeFile(dst("sub/precious.txt"), "p");
    std::filesystem::remove_all(src());
    runBackup();
    EXPECT_EQ(FilesBelow(dst()), (Files{"precious.txt", "sub/precious.txt"}));
    EXPECT_EQ(statistics.errors, 1);
    EXPECT_TRUE(logged("Error : Path not found. Cannot access " + src()));

    // A loop of links cannot be opened by anybody, root included.
    std::filesystem::create_symlink(src(), m_home.dir() / "src");
    runBackup();
    EXPECT_EQ(FilesBelow(dst()), (Files{"precious.txt", "sub/precious.txt"}));
    EXPECT_TRUE(logged("Error : Path/File access error. Cannot access " + src()));
}

TEST_F(BackupRun, KeptCopiesSurviveTheDeleteScan)
{
    BackupSet& set = addSet();
    set.flRemovedDeletedFiles = true;
    set.flArchive = true;
    struct Case
    {
        const char* naming;
        const char* keptCopy;
    };
    for (const Case& c : {Case{"OpSeq", "report.doc.1"}, Case{"OpDate", "report.doc.05122026-1437"}}) {
        SCOPED_TRACE(c.naming);
        std::filesystem::remove_all(dst());
        set.ArchiveOptions = QString::fromLatin1(c.naming);
        MakeFile(src("report.doc"), "new", 2000);
        MakeFile(dst("report.doc"), "old", 1000);
        runBackup();
        runBackup();
        EXPECT_EQ(FilesBelow(dst()), (Files{"report.doc", c.keptCopy}));
    }

    // The kept-copy folder keeps its files even where the source has a folder of that name.
    std::filesystem::remove_all(dst());
    set.ArchiveOptions = QStringLiteral("OpSeq");
    set.flArchiveSubDir = true;
    set.ArchiveSubDir = QStringLiteral("archive");
    MakeFile(src("archive/notes.txt"), "n");
    MakeFile(dst("report.doc"), "old", 1000);
    runBackup();
    EXPECT_EQ(FilesBelow(dst()), (Files{"archive/notes.txt", "archive/report.doc.1", "report.doc"}));
    EXPECT_EQ(ReadFile(dst("archive/report.doc.1")), "old");
}

// A link holds no extended attributes; its archive state still keeps it from being copied every run.
TEST_F(BackupRun, ArchiveCriterionCopiesFlaggedReadOnlyHiddenFilesAndLinksOnce)
{
    addSet().CopyOptions = QStringLiteral("OpArchive");
    for (const char* name : {"a.txt", ".config", "locked.txt"}) {
        MakeFile(src(name), "a");
        SetAttributes(src(name), AttrArchive | (name == std::string("locked.txt") ? AttrReadOnly : 0));
    }
    ASSERT_EQ(symlink("somewhere/else", src("link").c_str()), 0);
    runBackup();
    EXPECT_EQ(FilesBelow(dst()), (Files{".config", "a.txt", "link", "locked.txt"}));
    EXPECT_EQ(GetAttributes(src("a.txt")), AttrNormal);
    runBackup();
    EXPECT_EQ(statistics.filesCopied, 4);

    WriteFile(src("a.txt"), "changed");
    runBackup();
    EXPECT_EQ(statistics.filesCopied, 5);
    EXPECT_EQ(statistics.errors, 0);
}

// Each failure below costs one file or one directory (and what lies below it); the rest of the set is
// backed up, and the run says what failed.
TEST_F(BackupRun, FailuresCostOnlyWhatFailed)
{
    addSet();
    for (const char* name :
         {"a.txt", "b.txt", "blocked/x.txt", "blocked/deeper/y.txt", "gone/z.txt", "later/w.txt"})
        MakeFile(src(name), "x");
    MakeFile(dst("blocked"), "a file where the backup needs a folder");
    // A folder, older than the file, where the file's copy must go: the copy fails.
    std::filesystem::create_directories(dst("b.txt"));
    const struct timespec old[2] = {{1000, 0}, {1000, 0}};
    utimensat(AT_FDCWD, dst("b.txt").c_str(), old, 0);
    QString startedByWindows;
    BuildDirectoryLists(configuration, startedByWindows, state);
    std::filesystem::remove_all(src("gone"));
    bool vanished = false;
    observer.onYield = [&] {
        if (!std::exchange(vanished, true))
            std::filesystem::remove(src("a.txt"));
    };
    RunBackup(context, AllSets);

    EXPECT_EQ(FilesBelow(dst()), (Files{"blocked", "later/w.txt"}));
    EXPECT_EQ(statistics.filesCopied, 1);
    EXPECT_EQ(statistics.errors, 4);
    EXPECT_TRUE(logged("Error : File not found"));
    EXPECT_TRUE(logged("ERROR : Failed to Copy : " + src("b.txt") + ". To " + dst("b.txt")));
    EXPECT_TRUE(logged("Error : Path/File access error. Cannot access " + dst("blocked/")));
    EXPECT_TRUE(logged("Error : Path not found. Cannot access " + src("gone/")));
}

TEST_F(BackupRun, SetWideFailuresEndTheSet)
{
    addSet();
    MakeFile(src("big1"), QByteArray(100000, 'x'));
    MakeFile(src("big2"), QByteArray(100000, 'y'));
    const std::optional<int> status = InPrivateTmpfs(dst(), 64 * 1024, [this] {
        runBackup();
        const bool ok = logged("Error : Destination Directory " + dst() + " Full!") &&
                        logged("Error : Disk full") && statistics.errors == 1 &&
                        statistics.filesExamined == 1 && FilesBelow(dst()).empty();
        return ok ? 0 : 1;
    });
    if (status) {
        EXPECT_EQ(*status, 0);
    }

    // A directory outside both trees.
    const qint64 errorsBefore = statistics.errors;
    QString startedByWindows;
    BuildDirectoryLists(configuration, startedByWindows, state);
    state.DirectoryLists[0]->insert(state.DirectoryLists[0]->begin(), "/elsewhere/");
    RunBackup(context, AllSets);
    EXPECT_TRUE(logged("Error : Overflow 6"));
    EXPECT_EQ(statistics.errors, errorsBefore + 1);
}

TEST_F(BackupRun, BackupReachedThroughALinkIsNeverCopiedIntoItself)
{
    const std::string tree = m_home.dir() / "tree";
    const std::string via = m_home.dir() / "via";
    std::filesystem::create_directories(tree);
    std::filesystem::create_symlink(tree, via);
    BackupSet& set = addSet();
    set.SourceDirFile = QString::fromStdString(via);
    set.DestDir = QString::fromStdString(tree + "/backup");
    MakeFile(tree + "/a.txt", "a");
    runBackup();
    runBackup();
    EXPECT_EQ(FilesBelow(tree), (Files{"a.txt", "backup/a.txt"}));
    EXPECT_EQ(statistics.errors, 0);

    // The same directory under two names.
    set.DestDir = QString::fromStdString(tree);
    runBackup();
    EXPECT_EQ(FilesBelow(tree), (Files{"a.txt", "backup/a.txt"}));
    EXPECT_EQ(statistics.errors, 1);
    EXPECT_TRUE(logged("Error : " + via + "/ and " + tree + "/ are the same directory. Nothing is copied"));
}

TEST_F(BackupRun, RunsOfOneSetWaitForEachOther)
{
    addSet();
    MakeFile(src("a.txt"), "a");
    // Another process's run of the set holds its lock until the fifth event yield.
    auto other = std::make_optional<SetRunLock>(QStringLiteral("Docs"), observer, nullptr);
    observer.onYield = [&] {
        if (observer.yields == 5)
            other.reset();
    };
    runBackup();
    EXPECT_GE(observer.yields, 5);
    EXPECT_EQ(FilesBelow(dst()), Files{"a.txt"});
    EXPECT_TRUE(logged("Waiting for another run of the set Docs to end"));

    // Stopped while it waits, the run copies nothing.
    std::filesystem::remove(dst("a.txt"));
    other.emplace(QStringLiteral("Docs"), observer, nullptr);
    observer.onYield = [&] { observer.stop = true; };
    runBackup();
    EXPECT_EQ(FilesBelow(dst()), Files{});
}

TEST_F(BackupRun, UnfinishedCopiesOfAKilledRunAreRemovedAndNeverCopied)
{
    addSet().SyncOptions = QStringLiteral("srcAndDest");
    const std::string partial = PartialFileName("big.iso", 0x0123456789abcdefULL);
    MakeFile(dst(partial), "half of it");
    MakeFile(src(PartialFileName("other", 42)), "half");
    MakeFile(src("a.txt"), "a");
    runBackup();
    EXPECT_EQ(FilesBelow(dst()), Files{"a.txt"});
    EXPECT_EQ(FilesBelow(src()), Files{"a.txt"});
}

TEST_F(BackupRun, DirectoriesGetTheirModesAndTimesAndSpecialFilesAreCounted)
{
    addSet();
    MakeFile(src("sub/deeper/a.txt"), "a");
    ASSERT_EQ(mkfifo(src("sub/pipe").c_str(), 0600), 0);
    chmod(src("sub").c_str(), 0750);
    const struct timespec times[2] = {{1500000000, 0}, {1600000000, 0}};
    utimensat(AT_FDCWD, src("sub/deeper").c_str(), times, 0);
    utimensat(AT_FDCWD, src("sub").c_str(), times, 0);
    runBackup();
    for (const char* directory : {"sub", "sub/deeper"}) {
        struct stat st = {};
        ASSERT_EQ(stat(dst(directory).c_str(), &st), 0);
        EXPECT_EQ(st.st_mtim.tv_sec, 1600000000) << directory;
    }
    struct stat sub = {};
    stat(dst("sub").c_str(), &sub);
    EXPECT_EQ(sub.st_mode & 07777, 0750u);
    EXPECT_TRUE(logged("skipped 1 special files"));
    EXPECT_EQ(FilesBelow(dst()), Files{"sub/deeper/a.txt"});
}

// A request made inside a yield runs after the run, not inside it; lists rebuilt or sets removed by
// the events of a yield end the run cleanly.
TEST_F(BackupRun, RequestsAndChangesDuringItsYields)
{
    addSet();
    MakeFile(src("a.txt"), "a");
    MakeFile(src("sub/b.txt"), "b");
    QString startedByWindows;
    int yields = 0;
    observer.onYield = [&] {
        if (yields++ == 0)
            RunBackup(context, AllSets);
        BuildDirectoryLists(configuration, startedByWindows, state);
    };
    runBackup();
    EXPECT_EQ(observer.timerStates, (std::vector<bool>{false, true, false, true}));
    EXPECT_EQ(statistics.filesExamined, 4);
    EXPECT_EQ(FilesBelow(dst()), (Files{"a.txt", "sub/b.txt"}));

    observer.onYield = [&] { configuration.sets.clear(); };
    runBackup();
    EXPECT_EQ(statistics.filesExamined, 5);
    EXPECT_FALSE(state.RunBusy);
}

// A drive that is not plugged in leaves its mount point as a folder of the system disk, or no folder at
// all: the run must neither fill it (the files would hide under the drive) nor delete the backup.
TEST_F(BackupRun, WritesAndDeletesNothingWhileARootIsOffItsDriveOfTheLastRun)
{
    std::string sourceDrive = "/ ext4";
    std::string destinationDrive = "/mnt/backup ext4";
    context.driveOf = [&](const std::string& directory) -> std::optional<std::string> {
        if (!std::filesystem::exists(directory))
            return std::nullopt;
        return directory.starts_with(dst()) ? destinationDrive : sourceDrive;
    };
    addSet().flRemovedDeletedFiles = true;
    MakeFile(src("a.txt"), "a");
    runBackup();
    EXPECT_EQ(configuration.sets[0].SourceDrive, QStringLiteral("/ ext4"));
    EXPECT_EQ(configuration.sets[0].DestDrive, QStringLiteral("/mnt/backup ext4"));

    std::filesystem::remove(src("a.txt"));
    MakeFile(src("b.txt"), "b");
    const std::string away = m_home.dir() / "away";
    const std::string destinationLine =
        "Error : The destination " + dst() +
        " is not on the drive it was on at the last run. Is the drive plugged in?";
    const std::string sourceLine = "Error : The source " + src() +
                                   " is not on the drive it was on at the last run. Is the drive plugged in?";
    struct Case
    {
        const char* what;
        std::function<void()> unplug;
        std::function<void()> plug;
        const std::string& line;
    };
    const Case cases[] = {
        {"destination on the system disk", [&] { destinationDrive = "/ ext4"; },
         [&] { destinationDrive = "/mnt/backup ext4"; }, destinationLine},
        {"destination missing", [&] { std::filesystem::rename(dst(), away); },
         [&] { std::filesystem::rename(away, dst()); }, destinationLine},
        {"source on another drive", [&] { sourceDrive = "/media/usb vfat"; }, [&] { sourceDrive = "/ ext4"; },
         sourceLine},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.unplug();
        const qint64 errors = statistics.errors;
        runBackup();
        EXPECT_EQ(statistics.errors, errors + 1);
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

// A hand-edited option that the program does not know would copy or keep nothing without a word, and a
// missing destination would put the copies below "/".
TEST_F(BackupRun, ASetItWouldMisreadIsNotRun)
{
    const std::string probe = "kelvo-missing-destination-probe";
    MakeFile(src(probe), "p");
    struct Case
    {
        QString BackupSet::*field;
        const char* value;
        const char* line;
    };
    const Case cases[] = {
        {&BackupSet::CopyOptions, "opdate", "Error : Set Docs : unknown value opdate for CopyOptions"},
        {&BackupSet::ArchiveOptions, "Seq", "Error : Set Docs : unknown value Seq for ArchiveOptions"},
        {&BackupSet::SyncOptions, "x", "Error : Set Docs : unknown value x for SyncOptions"},
        {&BackupSet::DestDir, "", "Error : Set Docs : no destination directory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        configuration.sets.clear();
        addSet().*c.field = QString::fromLatin1(c.value);
        const qint64 errors = statistics.errors;
        runBackup();
        EXPECT_EQ(statistics.errors, errors + 1);
        EXPECT_TRUE(logged(c.line));
        EXPECT_EQ(statistics.filesExamined, 0);
        EXPECT_EQ(FilesBelow(dst()), Files{});
        EXPECT_FALSE(std::filesystem::exists("/" + probe));
        std::filesystem::remove("/" + probe);
    }
}

} // namespace
} // namespace kelvo::test
