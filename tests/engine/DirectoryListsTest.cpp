#include "EngineFixture.h"

namespace kelvo::test {
namespace {

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
    qint64 total = 0;
    for (const auto& [set, expected] : cases) {
        sets.push_back(set);
        total += qint64(expected.size() - 1);
    }
    const RunState all = Build(sets);
    ASSERT_EQ(all.DirectoryLists.size(), std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(all.DirectoryLists[i], cases[i].second) << i;
    EXPECT_EQ(all.TotalDirectories, total);
}

// Only the set asked for; an index past the sets lists nothing.
TEST(DirectoryLists, OneSetListedAfreshKeepsTheTotalInStep)
{
    const TempDir dir;
    fs::create_directories(dir / "one/a");
    fs::create_directories(dir / "two");
    Configuration configuration;
    configuration.sets = {Set(dir / "one", "", "srcToDest", true), Set(dir / "two", "", "srcToDest", true)};
    RunState state = Build(configuration.sets);
    fs::create_directories(dir / "one/b");
    fs::create_directories(dir / "two/d");
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
