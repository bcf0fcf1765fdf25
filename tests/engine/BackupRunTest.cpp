#include "EngineFixture.h"
#include "engine/DirectoryLists.h"
#include "engine/SetRunLock.h"
#include "platform/FilePath.h"
#include "platform/FileSystem.h"
#include "platform/PartialFiles.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <utility>

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

// A file edited on both sides since the last run, one of them dated in the future (a camera, a wrong
// clock): both versions survive, the run says so and counts it, and the conflict copy stays where it is.
TEST_F(BackupRun, TwoWayKeepsBothVersionsOfAFileChangedOnBothSides)
{
    BackupSet& set = addSet();
    set.SyncOptions = QStringLiteral("srcAndDest");
    const qint64 future = clock.time.toSecsSinceEpoch() + 86400;
    const std::string keptAs = dst("report.doc.conflict-05122026-140307");
    MakeFile(src("report.doc"), "original", 1000);
    runBackup();
    ASSERT_EQ(ReadFile(dst("report.doc")), "original");

    MakeFile(dst("report.doc"), "edited in the backup", 2000);
    MakeFile(src("report.doc"), "unpacked, dated tomorrow", future);
    runBackup();
    EXPECT_EQ(ReadFile(src("report.doc")), "unpacked, dated tomorrow");
    EXPECT_EQ(ReadFile(dst("report.doc")), "unpacked, dated tomorrow");
    EXPECT_EQ(ReadFile(keptAs), "edited in the backup");
    EXPECT_EQ(statistics.errors, 1);
    EXPECT_TRUE(logged("Conflict : " + src("report.doc") + " and " + dst("report.doc") +
                       " both changed since the last run. The version of " + dst("report.doc") +
                       " is kept as " + keptAs));

    // The pair agrees now; the conflict copy is the user's to look at, never carried over.
    const qint64 copied = statistics.filesCopied;
    runBackup();
    EXPECT_EQ(statistics.filesCopied, copied);
    EXPECT_EQ(statistics.errors, 1);
    EXPECT_EQ(FilesBelow(src()), std::vector<std::string>{"report.doc"});

    // A pair from before the records: a file dated in the future still never replaces the other side's
    // version without keeping it.
    MakeFile(src("old.doc"), "edited now", 3000);
    MakeFile(dst("old.doc"), "from a camera, dated tomorrow", future);
    runBackup();
    EXPECT_EQ(ReadFile(src("old.doc")), "from a camera, dated tomorrow");
    EXPECT_EQ(ReadFile(src("old.doc.conflict-05122026-140307")), "edited now");
    EXPECT_EQ(statistics.errors, 2);
    EXPECT_TRUE(logged("Conflict : " + dst("old.doc") + " is dated in the future. The version of " +
                       src("old.doc") + " it replaces is kept as " +
                       src("old.doc.conflict-05122026-140307")));
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
// An empty folder while its backup holds files: a drive or share that is not mounted there.
TEST_F(BackupRun, EmptyCopyingFolderDeletesNothing)
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

    configuration.sets.clear();
    addSet().flRemovedDeletedFiles = true;
    std::filesystem::remove_all(src());
    std::filesystem::remove_all(dst());
    MakeFile(src("kept.txt"), "k");
    std::filesystem::create_directories(src("mount"));
    MakeFile(dst("mount/precious.txt"), "p");
    MakeFile(dst("removed.txt"), "r");
    const qint64 errorsBefore = statistics.errors;
    runBackup();
    EXPECT_EQ(FilesBelow(dst()), (Files{"kept.txt", "mount/precious.txt"}));
    EXPECT_EQ(statistics.errors, errorsBefore + 1);
    EXPECT_TRUE(logged("Error : " + src("mount/") + " is empty. Nothing is deleted from " + dst("mount/")));
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

// The names of kept copies (all their forms are in the Comparison tests) are no removed files.
TEST_F(BackupRun, KeptCopiesSurviveTheDeleteScan)
{
    BackupSet& set = addSet();
    set.flRemovedDeletedFiles = true;
    set.flArchive = true;
    set.ArchiveOptions = QStringLiteral("OpDate");
    MakeFile(src("report.doc"), "new", 2000);
    MakeFile(dst("report.doc"), "old", 1000);
    MakeFile(dst("report.doc.04122026-950"), "older");
    runBackup();
    runBackup();
    EXPECT_EQ(FilesBelow(dst()),
              (Files{"report.doc", "report.doc.04122026-950", "report.doc.05122026-140307"}));
}

// A file removed from the source is kept as a replaced file would be, so the user can get it back;
// with no kept name (its own name, beside itself) it is deleted.
TEST_F(BackupRun, RemovedFilesAreKeptWhenTheSetKeepsCopies)
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
        std::filesystem::remove_all(src());
        std::filesystem::remove_all(dst());
        configuration.sets.clear();
        BackupSet& set = addSet();
        set.flRemovedDeletedFiles = true;
        set.flArchive = true;
        set.ArchiveOptions = QString::fromLatin1(c.naming);
        set.flArchiveSubDir = *c.subDirectory != '\0';
        set.ArchiveSubDir = QString::fromLatin1(c.subDirectory);
        MakeFile(src("kept.txt"), "k");
        MakeFile(src("sub/gone.txt"), "the only copy left");
        MakeFile(src("sub/stays.txt"), "s"); // an emptied folder deletes nothing
        runBackup();
        std::filesystem::remove(src("sub/gone.txt"));
        runBackup();
        runBackup();
        EXPECT_EQ(FilesBelow(dst()), c.backup);
        if (c.backup.size() > 2) {
            EXPECT_EQ(ReadFile(dst(c.backup[1])), "the only copy left");
            EXPECT_TRUE(logged("SUCCESS : Deleted : " + dst("sub/gone.txt") +
                               ". The file was no longer present in the source directory; kept as " +
                               dst(c.backup[1])));
        }
        EXPECT_EQ(statistics.errors, 0);
    }
}

// The source's own folder "old" is backed up into dst/old, the kept-copies folder: keeping a copy
// there would replace that backup, so nothing is kept there, and so nothing is replaced or removed.
TEST_F(BackupRun, AKeptCopiesFolderThatIsTheBackupOfASourceFolderKeepsNothing)
{
    BackupSet& set = addSet();
    set.flRemovedDeletedFiles = true;
    set.flArchive = true;
    set.flArchiveSubDir = true;
    set.ArchiveSubDir = QStringLiteral("old");
    set.ArchiveOptions = QStringLiteral("OpKeep");
    MakeFile(src("sub/x"), "first", 1000);
    MakeFile(src("sub/old/x"), "the source's own old/x", 1000);
    MakeFile(src("sub/removed"), "r", 1000);
    runBackup();
    MakeFile(src("sub/x"), "second", 2000);
    std::filesystem::remove(src("sub/removed"));
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

// Kept copies stay on the side where they were made: carried across, they came back as kept copies of
// kept copies ("a.txt.05122026-140307.05122026-140307"), run after run.
TEST_F(BackupRun, TwoWayKeptCopiesStayOnTheirSide)
{
    for (const char* subDirectory : {"", "archive"}) {
        SCOPED_TRACE(subDirectory);
        std::filesystem::remove_all(src());
        std::filesystem::remove_all(dst());
        configuration.sets.clear();
        BackupSet& set = addSet();
        set.SyncOptions = QStringLiteral("srcAndDest");
        set.flArchive = true;
        set.ArchiveOptions = QStringLiteral("OpDate");
        set.flArchiveSubDir = *subDirectory != '\0';
        set.ArchiveSubDir = QString::fromLatin1(subDirectory);
        const std::string kept =
            set.flArchiveSubDir ? "archive/a.txt.05122026-140307" : "a.txt.05122026-140307";
        MakeFile(src("a.txt"), "first", 1000);
        runBackup();
        MakeFile(src("a.txt"), "second", 2000);
        for (int run = 0; run < 3; ++run)
            runBackup();
        EXPECT_EQ(FilesBelow(src()), Files{"a.txt"});
        EXPECT_EQ(FilesBelow(dst()), (Files{"a.txt", kept}));
        EXPECT_EQ(ReadFile(dst(kept)), "first");
        EXPECT_EQ(ReadFile(src("a.txt")), "second");
    }
}

// A link holds no extended attributes; its archive state still keeps it from being copied every run.
TEST_F(BackupRun, ArchiveCriterionCopiesFlaggedReadOnlyHiddenFilesAndLinksOnce)
{
    addSet().CopyOptions = QStringLiteral("OpArchive");
    for (const char* name : {"a.txt", ".config", "locked.txt"}) {
        MakeFile(src(name), "a");
        SetAttributesOf(src(name), AttrArchive | (name == std::string("locked.txt") ? AttrReadOnly : 0));
    }
    ASSERT_EQ(symlink("somewhere/else", src("link").c_str()), 0);
    runBackup();
    EXPECT_EQ(FilesBelow(dst()), (Files{".config", "a.txt", "link", "locked.txt"}));
    EXPECT_EQ(AttributesOf(src("a.txt")), AttrNormal);
    runBackup();
    EXPECT_EQ(statistics.filesCopied, 4);

    WriteFile(src("a.txt"), "changed");
    runBackup();
    EXPECT_EQ(statistics.filesCopied, 5);
    EXPECT_EQ(statistics.errors, 0);
}

// The mark of a backed-up file travels with `mv` and `cp -a`; the file under its new name must still
// reach the backup before the delete scan takes the old name's copy.
TEST_F(BackupRun, ArchiveSetBacksUpFilesRenamedMovedOrCopiedAfterTheirBackup)
{
    BackupSet& set = addSet();
    set.CopyOptions = QStringLiteral("OpArchive");
    set.flRemovedDeletedFiles = true;
    for (const char* name :
         {"renamed.txt", "sub/moved.txt", "sub/stays.txt", "copied.txt", "over.txt", "replaced.txt"})
        MakeFile(src(name), name);
    runBackup();
    ASSERT_EQ(statistics.filesCopied, 6);

    std::filesystem::rename(src("renamed.txt"), src("new-name.txt"));
    std::filesystem::rename(src("sub/moved.txt"), src("moved-up.txt"));
    ASSERT_EQ(std::system(("cp -a " + src("copied.txt") + " " + src("copy.txt")).c_str()), 0);
    std::filesystem::rename(src("over.txt"), src("replaced.txt"));
    runBackup();
    EXPECT_EQ(FilesBelow(dst()), (Files{"copied.txt", "copy.txt", "moved-up.txt", "new-name.txt",
                                        "replaced.txt", "sub/stays.txt"}));
    EXPECT_EQ(ReadFile(dst("replaced.txt")), "over.txt");
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
    // A file where the backup now needs a folder is the old version of that name, replaced.
    MakeFile(dst("blocked"), "a file where the backup needs a folder");
    // A folder, older than the file, where the file's copy must go: with removed files kept, the copy
    // fails.
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

    EXPECT_EQ(FilesBelow(dst()), (Files{"blocked/deeper/y.txt", "blocked/x.txt", "later/w.txt"}));
    EXPECT_EQ(statistics.filesCopied, 3);
    EXPECT_EQ(statistics.errors, 3);
    EXPECT_TRUE(logged("Error : File not found"));
    EXPECT_TRUE(logged("ERROR : Failed to Copy : " + src("b.txt") + ". To " + dst("b.txt")));
    EXPECT_TRUE(logged("Error : Path not found. Cannot access " + src("gone/")));
}

// A file that became a folder or a folder that became a file: the old version is kept when the set
// keeps copies, and replaced otherwise (a whole folder only when removed files are deleted).
TEST_F(BackupRun, AFileThatBecameAFolderOrTheOtherWayRoundIsBackedUp)
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
        std::filesystem::remove_all(src());
        std::filesystem::remove_all(dst());
        configuration.sets.clear();
        statistics = {};
        BackupSet& set = addSet();
        set.flArchive = c.keeps;
        set.ArchiveOptions = QStringLiteral("OpSeq");
        set.flRemovedDeletedFiles = c.deletes;
        MakeFile(src("became-folder/new.txt"), "new");
        MakeFile(src("became-file"), "new", 5000);
        MakeFile(dst("became-folder"), "old");
        MakeFile(dst("became-file/old.txt"), "old");
        runBackup();
        EXPECT_EQ(FilesBelow(dst()), c.backup);
        EXPECT_EQ(statistics.errors, c.keeps || c.deletes ? 0 : 1) << "a folder removed files stay in";
    }
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

// A read-only destination: the line names what could not be written, not just the directory.
TEST_F(BackupRun, PermissionDeniedNamesThePath)
{
    BackupSet& set = addSet();
    set.flArchive = true;
    set.ArchiveOptions = QStringLiteral("OpSeq");
    MakeFile(src("report.doc"), "new", 2000);
    MakeFile(dst("report.doc"), "old", 1000);
    const std::optional<int> status = InReadOnlyDirectory(dst(), [this] {
        runBackup();
        const bool ok = logged("Error : Permission denied 70") &&
                        logged("Problem Dest : " + dst("report.doc.1")) && statistics.errors == 1;
        return ok ? 0 : 1;
    });
    if (status) {
        EXPECT_EQ(*status, 0);
    }
    EXPECT_EQ(ReadFile(dst("report.doc")), "old");
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

// What cp -a keeps: hard links within the run, ACLs, and the exact mode of a read-only folder, which
// a later run can still write into.
TEST_F(BackupRun, HardLinksAclsAndReadOnlyFoldersAreKept)
{
    addSet();
    MakeFile(src("a.txt"), "linked");
    std::filesystem::create_directories(src("ro"));
    std::filesystem::create_hard_link(src("a.txt"), src("ro/b.txt"));
    // user::rw- user:1234:r-- group::r-- mask::r-- other::---
    const unsigned char acl[] = {2,    0,    0,    0,    1,    0, 6, 0, 0xff, 0xff, 0xff, 0xff, 2,    0, 4, 0,
                                 0xd2, 4,    0,    0,    4,    0, 4, 0, 0xff, 0xff, 0xff, 0xff, 0x10, 0, 4, 0,
                                 0xff, 0xff, 0xff, 0xff, 0x20, 0, 0, 0, 0xff, 0xff, 0xff, 0xff};
    const bool aclsHere = setxattr(src("a.txt").c_str(), "system.posix_acl_access", acl, sizeof acl, 0) == 0;
    chmod(src("ro").c_str(), 0555);
    runBackup();
    struct stat a = {};
    struct stat b = {};
    ASSERT_EQ(stat(dst("a.txt").c_str(), &a), 0);
    ASSERT_EQ(stat(dst("ro/b.txt").c_str(), &b), 0);
    EXPECT_EQ(a.st_ino, b.st_ino);
    EXPECT_EQ(statistics.filesCopied, 2);
    struct stat ro = {};
    stat(dst("ro").c_str(), &ro);
    EXPECT_EQ(ro.st_mode & 07777, 0555u);
    if (aclsHere) {
        unsigned char copied[64] = {};
        EXPECT_EQ(getxattr(dst("a.txt").c_str(), "system.posix_acl_access", copied, sizeof copied),
                  ssize_t(sizeof acl));
        EXPECT_EQ(std::memcmp(copied, acl, sizeof acl), 0);
    }

    chmod(src("ro").c_str(), 0755);
    MakeFile(src("ro/new.txt"), "n");
    chmod(src("ro").c_str(), 0555);
    runBackup();
    EXPECT_EQ(ReadFile(dst("ro/new.txt")), "n") << "written into the read-only folder's backup";
    stat(dst("ro").c_str(), &ro);
    EXPECT_EQ(ro.st_mode & 07777, 0555u);
    chmod(src("ro").c_str(), 0755);
    chmod(dst("ro").c_str(), 0755);
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

    // The windows commit edited sets, which replaces the list: the walk keeps the options it began
    // with, and stamps the set's entry in the new list.
    std::filesystem::remove_all(dst());
    addSet().Filters = QStringLiteral("*.txt");
    MakeFile(src("sub/c.doc"), "c");
    bool committed = false;
    observer.onYield = [&] {
        if (std::exchange(committed, true))
            return;
        BackupSets edited = configuration.sets;
        edited[0].Filters = QStringLiteral("*.doc");
        edited[0].LastDate.clear();
        configuration.sets = std::move(edited);
    };
    runBackup();
    EXPECT_EQ(FilesBelow(dst()), (Files{"a.txt", "sub/b.txt"}));
    EXPECT_EQ(configuration.sets[0].LastDate, QStringLiteral("05/12/2026 14:03:07"));
}

// A run beside the user's work, and the run it queued, yield the disk to other programs; a run while the
// user is away, or with flLowPriority off, goes at full speed. Each case runs in a thread of its own.
TEST_F(BackupRun, GoesAtLowPriorityOnlyWhileTheUserMayBeWorking)
{
    addSet();
    MakeFile(src("a.txt"), "a");
    const struct
    {
        bool setting, screenSaverMode, userAway, low;
    } cases[] = {{true, false, false, true},
                 {false, false, false, false},
                 {true, true, false, false},
                 {true, false, true, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.setting << c.screenSaverMode << c.userAway);
        configuration.settings.flLowPriority = c.setting;
        context.screenSaverMode = c.screenSaverMode;
        context.userAway = c.userAway;
        std::vector<bool> idleAtYields;
        observer.timerStates.clear();
        observer.onYield = [&] {
            idleAtYields.push_back(AtIdleIoClass());
            if (idleAtYields.size() == 1)
                RunBackup(context, AllSets);
        };
        InThreadOfItsOwn([&] {
            const int before = ThreadIoPriority();
            runBackup();
            EXPECT_EQ(ThreadIoPriority(), before);
        });
        EXPECT_EQ(std::count(observer.timerStates.begin(), observer.timerStates.end(), false), 2)
            << "the queued run came too";
        EXPECT_EQ(idleAtYields, std::vector<bool>(idleAtYields.size(), c.low));
    }
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

// A new set may name a backup folder whose parents do not exist yet. Once a run has completed, a
// missing destination is a drive that is not plugged in: making it again would fill the system disk.
TEST_F(BackupRun, MakesTheMissingParentsOfTheDestinationOnlyBeforeTheFirstCompletedRun)
{
    context.driveOf = [](const std::string& directory) -> std::optional<std::string> {
        return std::filesystem::exists(directory) ? std::optional<std::string>("/ ext4") : std::nullopt;
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
    for (const std::string& level : {top, top + "/drive"}) {
        struct stat info = {};
        ASSERT_EQ(::stat(level.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0700u) << level;
    }
    EXPECT_EQ(configuration.sets[0].DestDrive, QStringLiteral("/ ext4"));

    std::filesystem::remove_all(top);
    runBackup();
    EXPECT_EQ(statistics.errors, 1);
    EXPECT_TRUE(logged("Error : The destination " + destination +
                       "/ is not on the drive it was on at the last run. Is the drive plugged in?"));
    EXPECT_FALSE(std::filesystem::exists(top));
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
