#include "platform/ReplacementFile.h"

#include "support/TestSupport.h"

#include <QDir>

#include <gtest/gtest.h>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace kelvo {
namespace {

mode_t PermissionsOf(const std::string& path)
{
    struct stat info = {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

QString Q(const std::string& path)
{
    return QString::fromStdString(path);
}

TEST(ReplacementFile, LeavesNothingUntilCommittedAndKeepsPermissionsWhenAsked)
{
    test::TempDir dir;
    const std::string file = dir / "file";
    test::WriteFile(file, "old");
    ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
    {
        ReplacementFile abandoned(file);
        abandoned.write("never");
    }
    EXPECT_EQ(test::ReadFile(file), "old");
    EXPECT_EQ(QDir(Q(dir.path())).entryList(QDir::Files | QDir::Hidden), QStringList{u"file"_s});

    ReplacementFile kept(file);
    kept.write("new");
    kept.keepDestinationPermissions();
    kept.commitDurably();
    EXPECT_EQ(test::ReadFile(file), "new");
    EXPECT_EQ(PermissionsOf(file), 0640u);

    ReplacementFile fresh(dir / "fresh");
    fresh.keepDestinationPermissions(); // nothing to keep
    fresh.commitDurably();
    EXPECT_EQ(PermissionsOf(dir / "fresh"), 0600u);
}

TEST(ReplaceUserFile, WritesThroughLinksKeepsPermissionsAndMakesItsDirectory)
{
    test::TempDir dir;
    const std::string target = dir / "target.conf";
    test::WriteFile(target, "old");
    ASSERT_EQ(::chmod(target.c_str(), 0604), 0);
    ASSERT_EQ(::symlink(target.c_str(), (dir / "link.conf").c_str()), 0);
    EXPECT_EQ(ReplaceUserFile(Q(dir / "link.conf"), "new"), 0);
    EXPECT_EQ(test::ReadFile(target), "new");
    EXPECT_EQ(PermissionsOf(target), 0604u);
    struct stat info = {};
    ASSERT_EQ(::lstat((dir / "link.conf").c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode)) << "the link stays a link";
    EXPECT_EQ(ReplaceUserFile(Q(dir / "new/deeper/file"), "made"), 0);
    EXPECT_EQ(test::ReadFile(dir / "new/deeper/file"), "made");
    if (!test::RunningAsRoot()) {
        const std::string locked = dir / "locked.conf";
        test::WriteFile(locked, "kept");
        ASSERT_EQ(::chmod(locked.c_str(), 0444), 0);
        EXPECT_EQ(ReplaceUserFile(Q(locked), "lost"), EACCES);
        EXPECT_EQ(test::ReadFile(locked), "kept");
    }
    test::WriteFile(dir / "plain", "x");
    EXPECT_NE(ReplaceUserFile(Q(dir / "plain/x"), "x"), 0) << "a file where the directory should be";
}

} // namespace
} // namespace kelvo
