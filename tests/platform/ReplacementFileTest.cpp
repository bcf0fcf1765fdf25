#include "platform/ReplacementFile.h"

#include "platform/DirectoryListing.h"
#include "platform/Failure.h"
#include "platform/PartialFiles.h"
#include "support/TestSupport.h"

#include <QDir>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace kelvo {
namespace {

QString Q(const std::string& path)
{
    return QString::fromStdString(path);
}

std::vector<std::string> Entries(const std::string& directory)
{
    std::vector<std::string> names;
    for (const QString& name :
         QDir(Q(directory))
             .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name))
        names.push_back(name.toStdString());
    return names;
}

// Runs each test with unnamed new files and with named partial files, as where O_TMPFILE is missing.
class Replacement : public testing::TestWithParam<bool>
{
protected:
    Replacement() { ForceNamedReplacements(GetParam()); }
    ~Replacement() override { ForceNamedReplacements(false); }

    test::TempDir dir;
};

TEST_P(Replacement, LeavesNothingUntilCommittedAndKeepsPermissionsWhenAsked)
{
    const std::string file = dir / "file";
    test::WriteFile(file, "old");
    ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
    {
        ReplacementFile abandoned(file);
        abandoned.write("never");
        EXPECT_EQ(ListDirectory(DirectoryHandle(dir.path()), MaskAll), std::vector<std::string>{"file"})
            << "never listed";
        EXPECT_EQ(Entries(dir.path()).size(), GetParam() ? 2u : 1u);
    }
    EXPECT_EQ(test::ReadFile(file), "old");
    EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"file"});

    ReplacementFile kept(file);
    kept.write("new");
    kept.keepDestinationPermissions();
    kept.commitDurably();
    EXPECT_EQ(test::ReadFile(file), "new");
    EXPECT_EQ(test::ModeOf(file), 0640u);

    ReplacementFile fresh(dir / "fresh");
    fresh.keepDestinationPermissions(); // nothing to keep
    fresh.commitDurably();
    EXPECT_EQ(test::ModeOf(dir / "fresh"), 0600u);
    EXPECT_EQ(Entries(dir.path()), (std::vector<std::string>{"file", "fresh"}));
}

// A process killed while it writes leaves its partial file; the next cleaner removes it, but never one
// that a live replacement still writes, nor a name that merely looks alike.
TEST_P(Replacement, StaleReplacementsOfKilledProcessesAreRemoved)
{
    test::WriteFile(dir / "doc", "old");
    const int status = test::RunInChild([&] {
        ReplacementFile killed(dir / "doc");
        killed.write("half");
        ::raise(SIGKILL);
        return 0;
    });
    ASSERT_EQ(status, -1);
    ReplacementFile live(dir / "doc");
    live.write("writing");
    for (const char* name : {".doc.kelvo-partial-notours", ".doc.kelvo-partial-0123456789ABCDEF", "doc.1"})
        test::WriteFile(dir / name, "user's");
    const std::vector<std::string> before = Entries(dir.path());

    RemoveStaleReplacements(DirectoryHandle(dir / ""));
    const std::vector<std::string> after = Entries(dir.path());
    const std::size_t partials = GetParam() ? 1 : 0; // only a named file survives a kill
    EXPECT_EQ(before.size() - after.size(), partials);
    EXPECT_EQ(after.size(), 4u + partials) << "the live replacement keeps its file";
    live.commit();
    EXPECT_EQ(test::ReadFile(dir / "doc"), "writing");
}

TEST_P(Replacement, SymbolicLinkTakesTheDestinationsPlaceInOneStep)
{
    test::WriteFile(dir / "doc", "a file before");
    ReplaceWithSymbolicLink(dir / "doc", "../elsewhere", [](int, const std::string& name) {
        EXPECT_TRUE(IsPartialFileName(name.substr(name.rfind('/') + 1)));
    });
    char text[32] = {};
    EXPECT_EQ(::readlink((dir / "doc").c_str(), text, sizeof text), 12);
    EXPECT_STREQ(text, "../elsewhere");

    EXPECT_THROW(
        ReplaceWithSymbolicLink(dir / "doc", "other",
                                [](int, const std::string&) { throw Failure(ErrPathFileAccess, "x"); }),
        Failure);
    EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"doc"});
    EXPECT_EQ(::readlink((dir / "doc").c_str(), text, sizeof text), 12);
}

INSTANTIATE_TEST_SUITE_P(UnnamedAndNamed, Replacement, testing::Bool());

TEST(ReplaceUserFile, WritesThroughLinksKeepsPermissionsAndMakesItsDirectory)
{
    test::TempDir dir;
    const std::string target = dir / "target.conf";
    test::WriteFile(target, "old");
    ASSERT_EQ(::chmod(target.c_str(), 0604), 0);
    ASSERT_EQ(::symlink(target.c_str(), (dir / "link.conf").c_str()), 0);
    EXPECT_TRUE(ReplaceUserFile(Q(dir / "link.conf"), "new", 0600).succeeded());
    EXPECT_EQ(test::ReadFile(target), "new");
    EXPECT_EQ(test::ModeOf(target), 0604u);
    struct stat info = {};
    ASSERT_EQ(::lstat((dir / "link.conf").c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode)) << "the link stays a link";
    EXPECT_TRUE(ReplaceUserFile(Q(dir / "new/deeper/file"), "made", 0600).succeeded());
    EXPECT_EQ(test::ReadFile(dir / "new/deeper/file"), "made");
    test::WriteFile(dir / "plain", "x");
    EXPECT_FALSE(ReplaceUserFile(Q(dir / "plain/x"), "x", 0600).succeeded())
        << "a file where the directory should be";
}

} // namespace
} // namespace kelvo
