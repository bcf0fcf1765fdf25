#include "engine/DirectoryLists.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace kelvo {
namespace {

namespace fs = std::filesystem;

BackupSet Set(const std::string& source, const std::string& dest, const char* sync, bool subDirectories)
{
    BackupSet set;
    set.SourceDirFile = QString::fromStdString(source);
    set.DestDir = QString::fromStdString(dest);
    set.SyncOptions = QString::fromLatin1(sync);
    set.flEnabled = true;
    set.flSubDirectories = subDirectories;
    return set;
}

RunState Build(const BackupSets& sets, bool delay = false, QString startedByWindows = {})
{
    Configuration configuration;
    configuration.settings.flDelay = delay;
    configuration.sets = sets;
    RunState state;
    state.DirectoryLists.resize(5, DirectoryList{"/old/", "END"}); // the lists of the last load go
    state.TotalDirectories = 99;
    BuildDirectoryLists(configuration, startedByWindows, state);
    EXPECT_TRUE(startedByWindows.isEmpty());
    return state;
}

TEST(DirectoryLists, WalkBreadthFirstInTheOrderOfTheSynchronisation)
{
    const test::TempDir dir;
    for (const char* name : {"src/b/y", "src/a/x/deep", "src/.hidden", "src/pagefile.sys/in",
                             "src/PAGEFILE.SYS", "dst/d1", "elsewhere/e"})
        fs::create_directories(dir / name);
    test::WriteFile(dir / "src/a/file.txt", "not a directory");
    fs::create_directory_symlink(dir / "src", dir / "src/a/loop");
    fs::create_directory_symlink(dir / "elsewhere", dir / "src/link");
    const std::string src = dir / "src/";
    const std::string dst = dir / "dst/";
    BackupSet disabled = Set(src, dst, "srcAndDest", false);
    disabled.flEnabled = false;

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
        {disabled, {"END"}},
        {Set("", dst, "srcToDest", true), {"END"}},
        {Set(src, "", "destToSrc", true), {"END"}},
        {Set(dir / "missing", "", "srcToDest", true), {dir / "missing/", "END"}},
    };
    for (const auto& [set, expected] : cases) {
        const RunState state = Build({set});
        ASSERT_EQ(state.DirectoryLists.size(), 1u);
        EXPECT_EQ(state.DirectoryLists[0], expected)
            << set.SourceDirFile.toStdString() << " " << set.SyncOptions.toStdString();
        EXPECT_EQ(state.TotalDirectories, qint64(expected.size() - 1));
    }
}

TEST(DirectoryLists, TotalCountsEveryListAndTheFirstRunDelayBuildsNothingOnce)
{
    const test::TempDir dir;
    fs::create_directories(dir / "one/a");
    fs::create_directories(dir / "two/b/c");
    BackupSet disabled = Set(dir / "one", "", "srcToDest", true);
    disabled.flEnabled = false;
    const BackupSets sets{Set(dir / "one", dir / "two", "srcAndDest", true), disabled,
                          Set(dir / "two", "", "srcToDest", false)};
    const RunState state = Build(sets);
    ASSERT_EQ(state.DirectoryLists.size(), 3u);
    EXPECT_EQ(state.DirectoryLists[1], DirectoryList{"END"});
    EXPECT_EQ(state.TotalDirectories, 6);
    EXPECT_EQ(Build(BackupSets(40000, Set("/nowhere", "/elsewhere", "srcAndDest", false))).TotalDirectories,
              80000);

    const RunState delayed = Build(sets, true, QStringLiteral("WIN"));
    ASSERT_EQ(delayed.DirectoryLists.size(), 1u);
    EXPECT_FALSE(delayed.DirectoryLists[0].has_value());
    EXPECT_EQ(delayed.TotalDirectories, 0);
    EXPECT_EQ(Build(sets, true).DirectoryLists.size(), 3u);
}

TEST(DirectoryLists, OneSetListedAfreshKeepsTheTotalInStep)
{
    const test::TempDir dir;
    fs::create_directories(dir / "one/a");
    fs::create_directories(dir / "two");
    Configuration configuration;
    configuration.sets = {Set(dir / "one", "", "srcToDest", true), Set(dir / "two", "", "srcToDest", true)};
    QString startedByWindows;
    RunState state;
    BuildDirectoryLists(configuration, startedByWindows, state);
    ASSERT_EQ(state.TotalDirectories, 3);

    fs::create_directories(dir / "one/b/c");
    fs::create_directories(dir / "two/d");
    RebuildDirectoryList(configuration, 0, state);
    const std::string one = dir / "one/";
    EXPECT_EQ(state.DirectoryLists[0], (DirectoryList{one, one + "a/", one + "b/", one + "b/c/", "END"}));
    EXPECT_EQ(state.DirectoryLists[1], (DirectoryList{dir / "two/", "END"})) << "the other set is not listed";
    EXPECT_EQ(state.TotalDirectories, 5);

    // No list where the load made none: the first-run delay, an index past the sets.
    for (const qint16 index : {qint16(2), qint16(-1), AllSets})
        RebuildDirectoryList(configuration, index, state);
    EXPECT_EQ(state.DirectoryLists.size(), 2u);
    configuration.settings.flDelay = true;
    startedByWindows = QStringLiteral("WIN");
    BuildDirectoryLists(configuration, startedByWindows, state);
    RebuildDirectoryList(configuration, 0, state);
    EXPECT_FALSE(state.DirectoryLists[0].has_value());
    EXPECT_EQ(state.TotalDirectories, 0);
}

} // namespace
} // namespace kelvo
