#include "EngineFixture.h"
#include "engine/DirectoryLists.h"
#include "engine/SetRunLock.h"
#include "platform/FilePath.h"
#include "platform/FileSystem.h"

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

using BackupRun = EngineTest;

TEST_F(BackupRun, CopiesATreeAndASecondRunCopiesNothing)
{
    addSet();
    MakeFiles(src(), {"a.txt", "sub/b.txt", "sub/deeper/c.txt", ".hidden"});

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
        freshSet().Filters = QString::fromLatin1(c.filters);
        MakeFiles(src(), {"a.doc", "b.txt", "c.xls"});
        runBackup();
        EXPECT_EQ(FilesBelow(dst()), c.copied);
    }
    EXPECT_EQ(configuration.sets[0].Filters, QStringLiteral("*.*"));
}

// A file edited on one side carries over. A file edited on both sides since the last run, one of them dated
// in the future (a camera, a wrong clock): both versions survive, the run says so and counts it, and the
// conflict copy stays where it is.
TEST_F(BackupRun, TwoWayCarriesOneSidedEditsAndKeepsBothVersionsOfAFileChangedOnBothSides)
{
    BackupSet& set = addSet();
    set.SyncOptions = QStringLiteral("srcAndDest");
    const qint64 future = clock.time.toSecsSinceEpoch() + 86400;
    const std::string keptAs = dst("report.doc.conflict-05122026-140307");
    MakeFile(src("report.doc"), "original", 1000);
    MakeFile(dst("from-backup.doc"), "b", 1000);
    runBackup();
    ASSERT_EQ(FilesBelow(src()), (Files{"from-backup.doc", "report.doc"}));

    // The backup's copy edited in place, newer and longer, replaces the source's it came from.
    MakeFile(dst("from-backup.doc"), "edited in the backup, longer", 3000);
    MakeFile(dst("report.doc"), "edited in the backup", 2000);
    MakeFile(src("report.doc"), "unpacked, dated tomorrow", future);
    runBackup();
    EXPECT_EQ(ReadFile(src("from-backup.doc")), "edited in the backup, longer");
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
    EXPECT_EQ(FilesBelow(src()), (Files{"from-backup.doc", "report.doc"}));

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

// Kept copies stay on the side where they were made: carried across, they came back as kept copies of
// kept copies ("a.txt.05122026-140307.05122026-140307"), run after run.
TEST_F(BackupRun, TwoWayKeptCopiesStayOnTheirSide)
{
    for (const char* subDirectory : {"", "archive"}) {
        SCOPED_TRACE(subDirectory);
        BackupSet& set = freshSet();
        set.SyncOptions = QStringLiteral("srcAndDest");
        KeepCopies(set, "OpDate", subDirectory);
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
    MakeFiles(src(),
              {"renamed.txt", "sub/moved.txt", "sub/stays.txt", "copied.txt", "over.txt", "replaced.txt"});
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
    MakeFiles(src(),
              {"a.txt", "b.txt", "blocked/x.txt", "blocked/deeper/y.txt", "gone/z.txt", "later/w.txt"});
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
    EXPECT_EQ(status.value_or(0), 0);

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
    KeepCopies(addSet(), "OpSeq");
    MakeFile(src("report.doc"), "new", 2000);
    MakeFile(dst("report.doc"), "old", 1000);
    const std::optional<int> status = InReadOnlyDirectory(dst(), [this] {
        runBackup();
        const bool ok = logged("Error : Permission denied 70") &&
                        logged("Problem Dest : " + dst("report.doc.1")) && statistics.errors == 1;
        return ok ? 0 : 1;
    });
    EXPECT_EQ(status.value_or(0), 0);
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
    for (const char* directory : {"sub", "sub/deeper"})
        EXPECT_EQ(File::GetFile(dst(directory)).DateLastModified().seconds, 1600000000) << directory;
    EXPECT_EQ(ModeOf(dst("sub")), 0750u);
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
    EXPECT_EQ(ModeOf(dst("ro")), 0555u);
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
    EXPECT_EQ(ModeOf(dst("ro")), 0555u);
    chmod(src("ro").c_str(), 0755);
    chmod(dst("ro").c_str(), 0755);
}

// A request made inside a yield runs after the run, not inside it; lists rebuilt or sets removed by
// the events of a yield end the run cleanly.
TEST_F(BackupRun, RequestsAndChangesDuringItsYields)
{
    addSet();
    MakeFiles(src(), {"a.txt", "sub/b.txt"});
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
    if (StartedAtLowPriority())
        GTEST_SKIP() << "started at a run's low priority already";
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

} // namespace
} // namespace kelvo::test
