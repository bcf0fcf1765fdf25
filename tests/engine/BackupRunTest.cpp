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
    EXPECT_EQ(std::tuple(ModeOf(dst("sub")), ModeOf(dst("ro")), File::GetFile(dst("ro/a.txt")).Inode()),
              std::tuple(0750u, 0555u, File::GetFile(dst("a.txt")).Inode()));
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
    EXPECT_EQ(std::pair(ReadFile(dst("ro/new.txt")), ModeOf(dst("ro"))), std::pair(QByteArray("n"), 0555u));
    for (const std::string& folder : {src("ro"), dst("ro")})
        chmod(folder.c_str(), 0755);
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
// versions survive, the run counts and names it, and the conflict copy stays on its side, as kept copies
// do (carried across, they came back as kept copies of kept copies, "a.txt.<stamp>.<stamp>").
TEST_F(BackupRun, TwoWayKeepsBothVersionsOfAFileChangedOnBothSidesAndKeptCopiesStayOnTheirSide)
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
    EXPECT_EQ(std::pair(FilesBelow(src()), statistics.errors),
              std::pair(Files{"a.doc", "old.doc", "old.doc.conflict-05122026-140307"}, qint64(2)));
    EXPECT_TRUE(logged("Conflict : " + src("a.doc") + " and " + dst("a.doc") +
                       " both changed since the last run. The version of " + dst("a.doc") + " is kept as " +
                       keptAs));
    EXPECT_TRUE(logged("Conflict : " + dst("old.doc") + " is dated in the future. The version of " +
                       src("old.doc") + " it replaces is kept as " + oldKeptAs));
    for (const char* subDirectory : {"", "archive"}) {
        KeepCopies(freshSet("srcAndDest"), "OpDate", subDirectory);
        const std::string kept =
            std::string(subDirectory) + (*subDirectory ? "/" : "") + "a.txt.05122026-140307";
        MakeFile(src("a.txt"), "first", 1000);
        runBackup();
        MakeFile(src("a.txt"), "second", 2000);
        for (int run = 0; run < 3; ++run)
            runBackup();
        EXPECT_EQ(std::pair(FilesBelow(src()), FilesBelow(dst())),
                  std::pair(Files{"a.txt"}, Files{"a.txt", kept}));
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
    EXPECT_EQ(std::tuple(FilesBelow(dst()), ReadFile(dst("replaced.txt")), statistics.filesCopied,
                         statistics.errors),
              std::tuple(Files{".config", "link", "locked.txt", "new-name.txt", "replaced.txt"},
                         QByteArray("over.txt"), 8, 0));
}

// Each failure costs one file or one directory (and what lies below it), and the run says what failed; a
// full disk or an overflow ends the set, and a read-only destination names the path it could not write.
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
    buildLists();
    fs::remove_all(src("gone"));
    observer.onYield = [&] { fs::remove(src("a.txt")); };
    RunBackup(context, AllSets);
    observer.onYield = {};
    EXPECT_EQ(std::tuple(FilesBelow(dst()), statistics.filesCopied, statistics.errors),
              std::tuple(Files{"blocked/deeper/y.txt", "blocked/x.txt", "later/w.txt"}, 3, 3));
    EXPECT_TRUE(logged("Error : File not found"));
    EXPECT_TRUE(logged("ERROR : Failed to Copy : " + src("b.txt") + ". To " + dst("b.txt")));
    EXPECT_TRUE(logged("Error : Path not found. Cannot access " + src("gone/")));

    freshSet();
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
    buildLists();
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
    MakeFile(tree + "/a.txt", "a");
    for (const std::string& destination : {tree + "/backup", tree}) { // the second: one directory, two names
        set.DestDir = QString::fromStdString(destination);
        runBackup();
        runBackup();
        EXPECT_EQ(std::pair(FilesBelow(tree), statistics.errors),
                  std::pair(Files{"a.txt", "backup/a.txt"}, qint64(destination == tree ? 2 : 0)));
    }
    EXPECT_TRUE(logged("Error : " + via + "/ and " + tree + "/ are the same directory. Nothing is copied"));
}

// Runs of one set wait for each other, and a Stop ends the wait. A request made inside a yield runs after
// the run, not inside it; lists rebuilt or sets removed or replaced by the events of a yield end the run
// cleanly.
TEST_F(BackupRun, RunsOfOneSetWaitForEachOtherAndRequestsAndChangesDuringItsYields)
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
    EXPECT_EQ(std::pair(observer.yields >= 5, FilesBelow(dst())), std::pair(true, Files{"a.txt"}));
    EXPECT_TRUE(logged("Waiting for another run of the set Docs to end"));
    fs::remove(dst("a.txt"));
    other.emplace(QStringLiteral("Docs"), observer, nullptr);
    observer.onYield = [&] { observer.stop = true; };
    runBackup();
    EXPECT_EQ(FilesBelow(dst()), Files{}) << "stopped while it waits";
    other.reset();
    observer.stop = false;
    observer.timerStates.clear();
    statistics = {};

    MakeFile(src("sub/b.txt"), "sub/b.txt");
    int yields = 0;
    observer.onYield = [&] {
        if (yields++ == 0)
            RunBackup(context, AllSets);
        buildLists();
    };
    runBackup();
    EXPECT_EQ(
        std::tuple(observer.timerStates, statistics.filesExamined, FilesBelow(dst())),
        std::tuple(std::vector<bool>{false, true, false, true}, qint64(4), Files{"a.txt", "sub/b.txt"}));
    observer.onYield = [&] { configuration.sets.clear(); };
    runBackup();
    EXPECT_EQ(std::pair(statistics.filesExamined, state.RunBusy), std::pair(qint64(5), false));
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
    EXPECT_EQ(std::pair(FilesBelow(dst()), configuration.sets[0].LastDate),
              std::pair(Files{"a.txt", "sub/b.txt"}, QStringLiteral("05/12/2026 14:03:07")));
}

BackupSet Set(const std::string& source, const std::string& dest, const char* sync, bool subDirectories,
              bool enabled = true)
{
    BackupSet set;
    set.SourceDirFile = QString::fromStdString(source);
    set.DestDir = QString::fromStdString(dest);
    set.SyncOptions = QString::fromLatin1(sync);
    set.flEnabled = enabled;
    set.flSubDirectories = subDirectories;
    return set;
}

RunState Build(const BackupSets& sets)
{
    Configuration configuration;
    configuration.sets = sets;
    QString startedByWindows;
    RunState state;
    state.DirectoryLists.resize(5, DirectoryList{"/old/", "END"}); // the lists of the last load go
    state.TotalDirectories = 99;
    BuildDirectoryLists(configuration, startedByWindows, state);
    return state;
}

// Breadth first, in the order of the synchronisation, never through a link.
TEST(DirectoryLists, ListEachSetsDirectoriesAndCountThemAll)
{
    const TempDir dir;
    for (const char* name : {"src/b/y", "src/a/x/deep", "src/.hidden", "src/pagefile.sys/in",
                             "src/PAGEFILE.SYS", "dst/d1", "elsewhere/e"})
        fs::create_directories(dir / name);
    WriteFile(dir / "src/a/file.txt", "not a directory");
    fs::create_directory_symlink(dir / "src", dir / "src/a/loop");
    fs::create_directory_symlink(dir / "elsewhere", dir / "src/link");
    const std::string src = dir / "src/", dst = dir / "dst/";
    const std::pair<BackupSet, DirectoryList> cases[] = {
        {Set(dir / "src", "", "srcToDest", true),
         {src, src + ".hidden/", src + "PAGEFILE.SYS/", src + "a/", src + "b/", src + "a/x/", src + "b/y/",
          src + "a/x/deep/", "END"}},
        {Set(src, dst, "srcToDest", false), {src, "END"}},
        {Set(src, dst, "", false), {src, "END"}},
        {Set(src, dir / "dst", "destToSrc", true), {dst, dst + "d1/", "END"}},
        {Set(src, dst, "srcAndDest", false), {src, dst, "END"}},
        {Set(dir / "dst", src + "b", "srcAndDest", true),
         {dst, dst + "d1/", src + "b/", src + "b/y/", "END"}},
        {Set(dir / "dst", "", "srcAndDest", true), {dst, dst + "d1/", "END"}},
        {Set(src, dst, "srcAndDest", false, false), {"END"}},
        {Set("", dst, "srcToDest", true), {"END"}},
        {Set(src, "", "destToSrc", true), {"END"}},
        {Set(dir / "missing", "", "srcToDest", true), {dir / "missing/", "END"}}};
    BackupSets sets;
    for (const auto& c : cases)
        sets.push_back(c.first);
    const RunState all = Build(sets);
    ASSERT_EQ(std::pair(all.DirectoryLists.size(), all.TotalDirectories),
              std::pair(std::size(cases), qint64(21)));
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(all.DirectoryLists[i], cases[i].second) << i;
}

// Only the set asked for; an index past the sets lists nothing.
TEST(DirectoryLists, OneSetListedAfreshKeepsTheTotalInStep)
{
    const TempDir dir;
    for (const char* name : {"one/a", "two"})
        fs::create_directories(dir / name);
    Configuration configuration;
    configuration.sets = {Set(dir / "one", "", "srcToDest", true), Set(dir / "two", "", "srcToDest", true)};
    RunState state = Build(configuration.sets);
    for (const char* name : {"one/b", "two/d"})
        fs::create_directories(dir / name);
    for (const qint16 index : {qint16(0), qint16(2), qint16(-1), AllSets})
        RebuildDirectoryList(configuration, index, state);
    const std::string one = dir / "one/";
    EXPECT_EQ(state.DirectoryLists,
              (std::vector<std::optional<DirectoryList>>{DirectoryList{one, one + "a/", one + "b/", "END"},
                                                         DirectoryList{dir / "two/", "END"}}));
    EXPECT_EQ(state.TotalDirectories, 4);
}

} // namespace
} // namespace kelvo::test
