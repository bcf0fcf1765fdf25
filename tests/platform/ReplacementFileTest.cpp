#include "platform/ReplacementFile.h"

#include "platform/DirectoryListing.h"
#include "platform/Failure.h"
#include "platform/PartialFiles.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace kelvo::test {
namespace {

using Names = std::vector<std::string>;

// Every entry, the partial files too.
Names Entries(const std::string& directory)
{
    Names names;
    for (const auto& entry : std::filesystem::directory_iterator(directory))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// Runs each test with unnamed new files and with named partial files, as where O_TMPFILE is missing.
class Replacement : public testing::TestWithParam<bool>
{
protected:
    Replacement() { ForceNamedReplacements(GetParam()); }
    ~Replacement() override { ForceNamedReplacements(false); }

    TempDir dir;
    const std::string file = dir / "file";
};

// A replacement keeps the permissions it replaces, less write for group and others.
TEST_P(Replacement, LeavesNothingUntilCommittedAndKeepsPermissionsWhenAsked)
{
    WriteFile(file, "old");
    ASSERT_EQ(::chmod(file.c_str(), 0664), 0);
    {
        ReplacementFile abandoned(file);
        abandoned.write("never");
        EXPECT_EQ(ListDirectory(DirectoryHandle(dir.path()), MaskAll), Names{"file"}) << "never listed";
        EXPECT_EQ(Entries(dir.path()).size(), GetParam() ? 2u : 1u);
    }
    EXPECT_EQ(ReadFile(file), "old");
    EXPECT_EQ(Entries(dir.path()), Names{"file"});
    ReplacementFile kept(file);
    kept.write("new");
    kept.keepDestinationPermissions();
    kept.commitDurably();
    EXPECT_TRUE(ReadFile(file) == "new" && ModeOf(file) == 0644u);
    ReplacementFile fresh(dir / "fresh");
    fresh.keepDestinationPermissions(); // nothing to keep
    fresh.commitDurably();
    EXPECT_EQ(ModeOf(dir / "fresh"), 0600u);
    EXPECT_EQ(Entries(dir.path()), (Names{"file", "fresh"}));
}

// A process killed while it writes leaves its partial file; the next cleaner removes it, but never one
// that a live replacement still writes, nor a name that merely looks alike.
TEST_P(Replacement, StaleReplacementsOfKilledProcessesAreRemoved)
{
    WriteFile(file, "old");
    ASSERT_EQ(RunInChild([&] {
                  ReplacementFile killed(file);
                  killed.write("half");
                  return ::raise(SIGKILL);
              }),
              -1);
    ReplacementFile live(file);
    live.write("writing");
    for (const char* name : {".file.kelvo-partial-notours", ".file.kelvo-partial-0123456789ABCDEF", "file.1"})
        WriteFile(dir / name, "user's");
    const std::size_t before = Entries(dir.path()).size();
    RemoveStaleReplacements(DirectoryHandle(dir / ""));
    const std::size_t partials = GetParam() ? 1 : 0; // only a named file survives a kill
    EXPECT_EQ(before - Entries(dir.path()).size(), partials);
    EXPECT_EQ(Entries(dir.path()).size(), 4u + partials) << "the live replacement keeps its file";
    live.commit();
    EXPECT_EQ(ReadFile(file), "writing");
}

TEST_P(Replacement, SymbolicLinkTakesTheDestinationsPlaceInOneStep)
{
    WriteFile(file, "a file before");
    ReplaceWithSymbolicLink(file, "../elsewhere", [](int, const std::string& name) {
        EXPECT_TRUE(IsPartialFileName(name.substr(name.rfind('/') + 1)));
    });
    EXPECT_EQ(std::filesystem::read_symlink(file), "../elsewhere");
    EXPECT_THROW(ReplaceWithSymbolicLink(
                     file, "other", [](int, const std::string&) { throw Failure(ErrPathFileAccess, "x"); }),
                 Failure);
    EXPECT_EQ(Entries(dir.path()), Names{"file"});
    EXPECT_EQ(std::filesystem::read_symlink(file), "../elsewhere");
}

INSTANTIATE_TEST_SUITE_P(UnnamedAndNamed, Replacement, testing::Bool());

} // namespace
} // namespace kelvo::test
