#include "EngineFixture.h"

namespace kelvo::test {
namespace {

using BackupRun = EngineTest;

// Also what cp -a keeps: directory modes, hard links within the run, ACLs, and the exact mode of a
// read-only folder, which a later run can still write into. Special files are counted, not copied.
TEST_F(BackupRun, CopiesATreeOnceWithWhatCpAKeeps)
{
    addSet();
    MakeFiles(src(), {"a.txt", "sub/b.txt", "sub/deeper/c.txt", ".hidden"});
    ASSERT_EQ(mkfifo(src("sub/pipe").c_str(), 0600), 0);
    chmod(src("sub").c_str(), 0750);
    fs::create_directories(src("ro"));
    fs::create_hard_link(src("a.txt"), src("ro/a.txt"));
    // user::rw- user:1234:r-- group::r-- mask::r-- other::---
    const QByteArray acl = QByteArray::fromHex("0200000001000600ffffffff02000400d204000004000400ffffffff"
                                               "10000400ffffffff20000000ffffffff");
    const char* aclName = "system.posix_acl_access";
    const bool aclsHere = setxattr(src("a.txt").c_str(), aclName, acl.data(), acl.size(), 0) == 0;
    chmod(src("ro").c_str(), 0555);
    runBackup();
    EXPECT_EQ(FilesBelow(dst()), (Files{".hidden", "a.txt", "ro/a.txt", "sub/b.txt", "sub/deeper/c.txt"}));
    EXPECT_EQ(std::tuple(statistics.directoriesSearched, statistics.filesCopied, statistics.errors),
              std::tuple(4, 5, 0));
    EXPECT_EQ(observer.timerStates, (std::vector<bool>{false, true}));
    EXPECT_TRUE(logged("SUCCESS : Copied : " + src("sub/b.txt") + ". To " + dst("sub/b.txt")));
    EXPECT_TRUE(logged("skipped 1 special files"));
    EXPECT_EQ(std::tuple(ModeOf(dst("sub")), ModeOf(dst("ro"))), std::tuple(0750u, 0555u));
    EXPECT_EQ(File::GetFile(dst("a.txt")).Inode(), File::GetFile(dst("ro/a.txt")).Inode());
    QByteArray copied(64, '\0');
    if (aclsHere) {
        EXPECT_EQ(copied.left(getxattr(dst("a.txt").c_str(), aclName, copied.data(), copied.size())), acl);
    }
    runBackup();
    EXPECT_EQ(std::tuple(statistics.filesExamined, statistics.filesCopied), std::tuple(10, 5));
    chmod(src("ro").c_str(), 0755);
    MakeFile(src("ro/new.txt"), "n");
    chmod(src("ro").c_str(), 0555);
    runBackup();
    EXPECT_EQ(ReadFile(dst("ro/new.txt")), "n");
    EXPECT_EQ(ModeOf(dst("ro")), 0555u);
    chmod(src("ro").c_str(), 0755);
    chmod(dst("ro").c_str(), 0755);
}

TEST_F(BackupRun, FiltersAreTrimmedAndEmptyPiecesIgnored)
{
    const Files all{"a.doc", "b.txt", "c.xls"};
    for (const auto& [filters, copied] :
         {std::pair{"*.doc; *.txt ;", Files{"a.doc", "b.txt"}}, {" ; ;", all}, {"", all}}) {
        freshSet().Filters = QString::fromLatin1(filters);
        MakeFiles(src(), all);
        runBackup();
        EXPECT_EQ(FilesBelow(dst()), copied) << filters;
    }
    EXPECT_EQ(configuration.sets[0].Filters, QStringLiteral("*.*"));
}

// Edited on both sides since the last run, one dated in the future (a camera, a wrong clock): both
// versions survive, the run counts and names it, and the conflict copy stays on its side.
TEST_F(BackupRun, TwoWayKeepsBothVersionsOfAFileChangedOnBothSidesAndSaysSo)
{
    freshSet("srcAndDest");
    const qint64 future = clock.time.toSecsSinceEpoch() + 86400;
    const std::string keptAs = dst("a.doc.conflict-05122026-140307"),
                      oldKeptAs = src("old.doc.conflict-05122026-140307");
    MakeFile(src("a.doc"), "original", 1000);
    runBackup();
    MakeFile(dst("a.doc"), "edited in the backup", 2000);
    MakeFile(src("a.doc"), "unpacked, dated tomorrow", future);
    // A pair from before the records.
    MakeFile(src("old.doc"), "edited now", 3000);
    MakeFile(dst("old.doc"), "from a camera, dated tomorrow", future);
    runBackup();
    runBackup();
    EXPECT_EQ(ReadFile(dst("a.doc")) + ReadFile(keptAs), "unpacked, dated tomorrowedited in the backup");
    EXPECT_EQ(ReadFile(src("old.doc")) + ReadFile(oldKeptAs), "from a camera, dated tomorrowedited now");
    EXPECT_EQ(FilesBelow(src()), (Files{"a.doc", "old.doc", "old.doc.conflict-05122026-140307"}));
    EXPECT_EQ(statistics.errors, 2);
    EXPECT_TRUE(logged("Conflict : " + src("a.doc") + " and " + dst("a.doc") +
                       " both changed since the last run. The version of " + dst("a.doc") + " is kept as " +
                       keptAs));
    EXPECT_TRUE(logged("Conflict : " + dst("old.doc") + " is dated in the future. The version of " +
                       src("old.doc") + " it replaces is kept as " + oldKeptAs));
}

// Carried across, kept copies came back as kept copies of kept copies ("a.txt.<stamp>.<stamp>").
TEST_F(BackupRun, TwoWayKeptCopiesStayOnTheirSide)
{
    for (const char* subDirectory : {"", "archive"}) {
        KeepCopies(freshSet("srcAndDest"), "OpDate", subDirectory);
        const std::string kept =
            std::string(subDirectory) + (*subDirectory ? "/" : "") + "a.txt.05122026-140307";
        MakeFile(src("a.txt"), "first", 1000);
        runBackup();
        MakeFile(src("a.txt"), "second", 2000);
        for (int run = 0; run < 3; ++run)
            runBackup();
        EXPECT_EQ(FilesBelow(src()), Files{"a.txt"});
        EXPECT_EQ(FilesBelow(dst()), (Files{"a.txt", kept}));
        EXPECT_EQ(ReadFile(dst(kept)) + ReadFile(src("a.txt")), "firstsecond");
    }
}

// A backed-up file's cleared flag travels with `mv`: under its new name it must still reach the backup,
// whatever the delete scan does with the old name's copy. Read-only, hidden and links are copied once.
TEST_F(BackupRun, ArchiveCriterionCopiesEachChangeOnceWhateverNameItHas)
{
    freshSet("srcToDest", true).CopyOptions = QStringLiteral("OpArchive");
    MakeFiles(src(), {".config", "locked.txt", "renamed.txt", "over.txt", "replaced.txt"});
    SetAttributesOf(src("locked.txt"), AttrArchive | AttrReadOnly);
    ASSERT_EQ(symlink("somewhere/else", src("link").c_str()), 0);
    runBackup();
    EXPECT_EQ(AttributesOf(src("renamed.txt")), AttrNormal);
    runBackup();
    ASSERT_EQ(statistics.filesCopied, 6);
    fs::rename(src("renamed.txt"), src("new-name.txt"));
    fs::rename(src("over.txt"), src("replaced.txt"));
    runBackup();
    EXPECT_EQ(FilesBelow(dst()), (Files{".config", "link", "locked.txt", "new-name.txt", "replaced.txt"}));
    EXPECT_EQ(ReadFile(dst("replaced.txt")), "over.txt");
    EXPECT_EQ(std::tuple(statistics.filesCopied, statistics.errors), std::tuple(8, 0));
}

// Each failure costs one file or one directory (and what lies below it), and the run says what failed.
TEST_F(BackupRun, FailuresCostOnlyWhatFailed)
{
    addSet();
    MakeFiles(src(),
              {"a.txt", "b.txt", "blocked/x.txt", "blocked/deeper/y.txt", "gone/z.txt", "later/w.txt"});
    // A file where the backup now needs a folder is the old version of that name, replaced.
    MakeFile(dst("blocked"), "a file where the backup needs a folder");
    // An older folder where the file's copy must go stays, as removed files do: the copy fails.
    fs::create_directories(dst("b.txt"));
    SetTime(dst("b.txt"), 1000);
    QString startedByWindows;
    BuildDirectoryLists(configuration, startedByWindows, state);
    fs::remove_all(src("gone"));
    observer.onYield = [&] { fs::remove(src("a.txt")); };
    RunBackup(context, AllSets);
    EXPECT_EQ(FilesBelow(dst()), (Files{"blocked/deeper/y.txt", "blocked/x.txt", "later/w.txt"}));
    EXPECT_EQ(std::tuple(statistics.filesCopied, statistics.errors), std::tuple(3, 3));
    EXPECT_TRUE(logged("Error : File not found"));
    EXPECT_TRUE(logged("ERROR : Failed to Copy : " + src("b.txt") + ". To " + dst("b.txt")));
    EXPECT_TRUE(logged("Error : Path not found. Cannot access " + src("gone/")));
}

TEST_F(BackupRun, SetWideFailuresEndTheSetAndAReadOnlyDestinationNamesThePath)
{
    addSet();
    MakeFile(src("big1"), QByteArray(100000, 'x'));
    MakeFile(src("big2"), QByteArray(100000, 'y'));
    const auto fillsTheDisk = [this] {
        runBackup();
        return logged("Error : Destination Directory " + dst() + " Full!") && logged("Error : Disk full") &&
                       statistics.errors == 1 && statistics.filesExamined == 1 && FilesBelow(dst()).empty()
                   ? 0
                   : 1;
    };
    EXPECT_EQ(InPrivateTmpfs(dst(), 64 * 1024, fillsTheDisk).value_or(0), 0);
    QString startedByWindows;
    BuildDirectoryLists(configuration, startedByWindows, state);
    state.DirectoryLists[0]->insert(state.DirectoryLists[0]->begin(), "/elsewhere/");
    RunBackup(context, AllSets);
    EXPECT_TRUE(logged("Error : Overflow 6"));
    KeepCopies(freshSet(), "OpSeq");
    MakeFile(src("report.doc"), "new", 2000);
    MakeFile(dst("report.doc"), "old", 1000);
    const auto deniedOnAReadOnlyDrive = [this] {
        runBackup();
        const bool named =
            logged("Error : Permission denied 70") && logged("Problem Dest : " + dst("report.doc.1"));
        return named && statistics.errors == 1 ? 0 : 1;
    };
    EXPECT_EQ(InReadOnlyDirectory(dst(), deniedOnAReadOnlyDrive).value_or(0), 0);
    EXPECT_EQ(ReadFile(dst("report.doc")), "old");
}

TEST_F(BackupRun, BackupReachedThroughALinkIsNeverCopiedIntoItself)
{
    const std::string tree = home("tree"), via = home("via");
    fs::create_directories(tree);
    fs::create_symlink(tree, via);
    BackupSet& set = addSet();
    set.SourceDirFile = QString::fromStdString(via);
    set.DestDir = QString::fromStdString(tree + "/backup");
    MakeFile(tree + "/a.txt", "a");
    runBackup();
    runBackup();
    EXPECT_EQ(FilesBelow(tree), (Files{"a.txt", "backup/a.txt"}));
    EXPECT_EQ(statistics.errors, 0);
    set.DestDir = QString::fromStdString(tree); // the same directory under two names
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
    fs::remove(dst("a.txt"));
    other.emplace(QStringLiteral("Docs"), observer, nullptr);
    observer.onYield = [&] { observer.stop = true; };
    runBackup();
    EXPECT_EQ(FilesBelow(dst()), Files{}) << "stopped while it waits";
}

// A request made inside a yield runs after the run, not inside it; lists rebuilt or sets removed or
// replaced by the events of a yield end the run cleanly.
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
    // The windows commit edited sets by replacing the list: the walk keeps the options it began with,
    // and stamps the set's entry in the new list.
    fs::remove_all(dst());
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

} // namespace
} // namespace kelvo::test
