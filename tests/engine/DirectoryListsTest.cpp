#include "engine/DirectoryLists.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace kelvo {
namespace {

using test::TempDir;
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
    BuildDirectoryLists(configuration, startedByWindows, state);
    EXPECT_TRUE(startedByWindows.isEmpty());
    return state;
}

DirectoryList ListOf(const BackupSet& set)
{
    const RunState state = Build({set});
    return state.DirectoryLists.at(0).value();
}

void MakeDirectories(const TempDir& dir, std::initializer_list<const char*> names)
{
    for (const char* name : names)
        fs::create_directories(dir / name);
}

TEST(DirectoryLists, WalksBreadthFirstWithHiddenAndSkipsOnlyExactPagefile)
{
    TempDir dir;
    MakeDirectories(dir,
                    {"src/b/y", "src/a/x/deep", "src/.hidden", "src/pagefile.sys/inner", "src/PAGEFILE.SYS"});
    test::WriteFile(dir / "src/a/file.txt", "not a directory");

    const std::string src = dir / "src/";
    EXPECT_EQ(ListOf(Set(dir / "src", "", "srcToDest", true)),
              (DirectoryList{src, src + ".hidden/", src + "PAGEFILE.SYS/", src + "a/", src + "b/",
                             src + "a/x/", src + "b/y/", src + "a/x/deep/", "END"}));
}

TEST(DirectoryLists, PassesAndRootsFollowTheSynchronisation)
{
    TempDir dir;
    MakeDirectories(dir, {"src/s1", "dst/d1"});
    const std::string src = dir / "src/";
    const std::string dst = dir / "dst/";

    EXPECT_EQ(ListOf(Set(dir / "src", dir / "dst", "srcToDest", false)), (DirectoryList{src, "END"}));
    EXPECT_EQ(ListOf(Set(dir / "src", dir / "dst", "", false)), (DirectoryList{src, "END"}));
    EXPECT_EQ(ListOf(Set(dir / "src", dir / "dst", "destToSrc", false)), (DirectoryList{dst, "END"}));
    EXPECT_EQ(ListOf(Set(dir / "src", dir / "dst", "destToSrc", true)),
              (DirectoryList{dst, dst + "d1/", "END"}));
    EXPECT_EQ(ListOf(Set(src, dst, "srcAndDest", false)), (DirectoryList{src, dst, "END"}));
    EXPECT_EQ(ListOf(Set(dir / "src", dir / "dst", "srcAndDest", true)),
              (DirectoryList{src, src + "s1/", dst, dst + "d1/", "END"}));
    EXPECT_EQ(ListOf(Set(dir / "src", "", "srcAndDest", true)), (DirectoryList{src, src + "s1/", "END"}));
}

TEST(DirectoryLists, DisabledSetsAndEmptyRootsGiveOnlyTheMarker)
{
    BackupSet disabled = Set("/tmp", "/tmp", "srcAndDest", false);
    disabled.flEnabled = false;
    EXPECT_EQ(ListOf(disabled), DirectoryList{"END"});
    EXPECT_EQ(ListOf(Set("", "/tmp", "srcToDest", true)), DirectoryList{"END"});
    EXPECT_EQ(ListOf(Set("/tmp", "", "destToSrc", true)), DirectoryList{"END"});
}

TEST(DirectoryLists, MissingRootIsListedAlone)
{
    TempDir dir;
    EXPECT_EQ(ListOf(Set(dir / "missing", "", "srcToDest", true)), (DirectoryList{dir / "missing/", "END"}));
}

TEST(DirectoryLists, SymbolicLinksAreNotDescended)
{
    TempDir dir;
    MakeDirectories(dir, {"src/a", "elsewhere/e"});
    fs::create_directory_symlink(dir / "src", dir / "src/a/loop");
    fs::create_directory_symlink(dir / "elsewhere", dir / "src/link");

    const std::string src = dir / "src/";
    EXPECT_EQ(ListOf(Set(src, "", "srcToDest", true)), (DirectoryList{src, src + "a/", "END"}));
}

TEST(DirectoryLists, OneListPerSetAndTotalCountsEveryDirectory)
{
    TempDir dir;
    MakeDirectories(dir, {"one/a", "two/b/c"});
    BackupSet disabled = Set(dir / "one", "", "srcToDest", true);
    disabled.flEnabled = false;

    const RunState state = Build({Set(dir / "one", dir / "two", "srcAndDest", true), disabled,
                                  Set(dir / "two", "", "srcToDest", false)});
    ASSERT_EQ(state.DirectoryLists.size(), 3u);
    EXPECT_EQ(state.DirectoryLists[0]->size(), 6u);
    EXPECT_EQ(state.DirectoryLists[1], DirectoryList{"END"});
    EXPECT_EQ(state.DirectoryLists[2]->size(), 2u);
    EXPECT_EQ(state.TotalDirectories, 6);
}

TEST(DirectoryLists, TotalSaturatesAtTheLargest16BitCount)
{
    const BackupSets sets(40000, Set("/nowhere", "/elsewhere", "srcAndDest", false));
    EXPECT_EQ(Build(sets).TotalDirectories, 32767);
}

TEST(DirectoryLists, FirstRunDelayBuildsNothingOnce)
{
    const BackupSets sets{Set("/tmp", "", "srcToDest", false), Set("/tmp", "", "srcToDest", false)};

    const RunState delayed = Build(sets, true, QStringLiteral("WIN"));
    ASSERT_EQ(delayed.DirectoryLists.size(), 1u);
    EXPECT_FALSE(delayed.DirectoryLists[0].has_value());
    EXPECT_EQ(delayed.TotalDirectories, 0);

    EXPECT_EQ(Build(sets, true).DirectoryLists.size(), 2u);
    EXPECT_EQ(Build(sets, false, QStringLiteral("WIN")).DirectoryLists.size(), 2u);
}

TEST(DirectoryLists, ReplacesTheListsOfTheLastLoad)
{
    Configuration configuration;
    configuration.sets = {Set("/tmp", "", "srcToDest", false)};
    RunState state;
    state.DirectoryLists.resize(5, DirectoryList{"/old/", "END"});
    state.TotalDirectories = 99;
    QString startedByWindows;
    BuildDirectoryLists(configuration, startedByWindows, state);
    ASSERT_EQ(state.DirectoryLists.size(), 1u);
    EXPECT_EQ(state.DirectoryLists[0], (DirectoryList{"/tmp/", "END"}));
    EXPECT_EQ(state.TotalDirectories, 1);
}

} // namespace
} // namespace kelvo
