#include "platform/FileSystem.h"

#include "platform/AttributeRecordStore.h"
#include "platform/Failure.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kelvo {
namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

// Writes through the raw byte path: names that are not UTF-8 must reach the kernel unchanged.
void WriteFile(const std::string& path, const std::string& contents)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(write(fd, contents.data(), contents.size()), static_cast<ssize_t>(contents.size()));
    close(fd);
}

void SetTimes(const std::string& path, timespec accessed, timespec modified)
{
    const timespec times[2] = {accessed, modified};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

int FailureNumber(const auto& action)
{
    try {
        action();
    } catch (const Failure& failure) {
        return failure.number();
    }
    return 0;
}

mode_t Mode(const std::string& path)
{
    struct stat st = {};
    EXPECT_EQ(stat(path.c_str(), &st), 0);
    return st.st_mode & 07777;
}

TEST(FileSystem, TellsFilesFromFoldersAndMapsMissingPaths)
{
    const test::TempDir dir;
    fs::create_directory(dir / "sub");
    const std::string path = dir / "sub/\xff-latin1.txt";
    WriteFile(path, "12345");
    ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
    EXPECT_TRUE(FileExists(path) && FolderExists(dir / "sub") && FolderExists(dir.path() + "/"));
    EXPECT_FALSE(FolderExists(path) || FileExists(dir / "sub") || FileExists(dir / "missing"));
    EXPECT_TRUE(FileExists(dir / "pipe")); // it is there, so a run never writes over it
    EXPECT_EQ(FailureNumber([&] { File::GetFile(dir / "sub/missing"); }), 53);
    EXPECT_EQ(FailureNumber([&] { File::GetFile(dir / "gone/missing"); }), 76);
}

TEST(FileSystem, EncodesAttributes)
{
    const test::TempDir dir;
    WriteFile(dir / "plain", "x");
    WriteFile(dir / ".hidden", "x");
    ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
    EXPECT_EQ(GetAttributes(dir / ".hidden"), AttrHidden | AttrArchive);
    EXPECT_EQ(GetAttributes(dir / "pipe") & ~AttrArchive, AttrSystem);

    ASSERT_EQ(chmod((dir / "plain").c_str(), 0664), 0);
    SetAttributes(dir / "plain", AttrReadOnly | AttrArchive | AttrHidden | AttrSystem);
    EXPECT_EQ(Mode(dir / "plain"), 0464u); // only the owner's write bit changes
    EXPECT_EQ(GetAttributes(dir / "plain"), AttrReadOnly | AttrArchive);
    SetAttributes(dir / "plain", AttrArchive);
    EXPECT_EQ(Mode(dir / "plain"), 0664u);
}

// Runs each test with the archive flag and creation time kept on the file and in the per-user store.
class ArchiveFlag : public testing::TestWithParam<bool>
{
protected:
    ArchiveFlag() { ForceAttributeRecordStore(GetParam()); }
    ~ArchiveFlag() override { ForceAttributeRecordStore(false); }

    const test::IsolatedHome home;
};

TEST_P(ArchiveFlag, ClearedUntilTheNextWriteAndKeptAcrossObjects)
{
    const std::string path = home.dir() / "doc.txt";
    WriteFile(path, "first");
    File file = File::GetFile(path);
    file.SetAttributes(file.Attributes() & ~AttrArchive);
    EXPECT_EQ(File::GetFile(path).Attributes(), AttrNormal);

    WriteFile(path, "other"); // same size, so only the time tells
    SetTimes(path, {0, UTIME_OMIT}, {File::GetFile(path).DateLastModified().seconds + 5, 0});
    EXPECT_EQ(File::GetFile(path).Attributes(), AttrArchive);
}

TEST_P(ArchiveFlag, CopyCarriesCreationTimeAndAttributes)
{
    const std::string source = home.dir() / "source.txt";
    const std::string copy = home.dir() / "copy.txt";
    WriteFile(source, "contents");
    WriteFile(copy, "contents");
    SetAttributes(source, AttrReadOnly);
    const int fd = open(copy.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    File::GetFile(source).CarryAttributesTo(fd);
    close(fd);

    const File result = File::GetFile(copy);
    EXPECT_EQ(result.DateCreated(), File::GetFile(source).DateCreated());
    EXPECT_EQ(result.Attributes(), AttrReadOnly);
}

INSTANTIATE_TEST_SUITE_P(OnFileAndInStore, ArchiveFlag, testing::Bool());

TEST(FileSystem, ListsEntriesByMaskInByteOrderAndMatchesWildcards)
{
    const test::TempDir dir;
    for (const char* name : {"b.txt", "B.txt", ".hidden"})
        WriteFile(dir / name, name);
    ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
    fs::create_directory(dir / "folder");
    fs::create_symlink("folder", dir / "link-folder");
    EXPECT_EQ(ListDirectory(dir.path() + "/", MaskFiles), (Names{".hidden", "B.txt", "b.txt", "link-folder"}));
    EXPECT_EQ(ListDirectory(dir.path(), MaskAll),
              (Names{".hidden", "B.txt", "b.txt", "folder", "link-folder", "pipe"}));
    EXPECT_EQ(ListSubdirectories(dir.path()), (Names{"folder"}));

    const struct
    {
        const char* name;
        const char* pattern;
        bool matches;
    } table[] = {
        {"README", "*.*", true},  {"Report.DOC", "*.doc", true}, {"a.docx", "*.doc", false},
        {"a.txt", "?.txt", true}, {"ab.txt", "?.txt", false},    {"\xe9.txt", "?.TXT", true},
        {"\xc9", "\xe9", false},
    };
    for (const auto& row : table)
        EXPECT_EQ(MatchesPattern(row.name, row.pattern), row.matches) << row.name << " ~ " << row.pattern;
}

TEST(FileSystem, MoveNeverReplacesAnExistingFile)
{
    const test::TempDir dir;
    WriteFile(dir / "report.doc", "new");
    WriteFile(dir / "report.doc.1", "kept");
    File file = File::GetFile(dir / "report.doc");
    EXPECT_EQ(FailureNumber([&] { file.Move(dir / "report.doc.1"); }), 75);
    EXPECT_EQ(test::ReadFile(dir / "report.doc.1"), "kept");
}

// As a user without privileges the kernel refuses what root may do; CI runs as root, so the checks run
// in a child process under another user.
TEST(FileSystemAsUser, RefusesUnreadableDirectoriesAndKeepsReadOnlyFilesManageable)
{
    const char* root = std::getenv("KELVO_UNPRIVILEGED_ROOT");
    if (!root)
        GTEST_SKIP() << "runs in the child process of FileSystemPermissions";
    const std::string dir = root;
    EXPECT_EQ(FailureNumber([&] { ListDirectory(dir + "/closed", MaskFiles); }), 70);
    WriteFile(dir + "/own/file", "x");
    SetAttributes(dir + "/own/file", AttrReadOnly);
    EXPECT_EQ(GetAttributes(dir + "/own/file"), AttrReadOnly); // the record was written although read-only
}

TEST(FileSystemPermissions, HoldForAnUnprivilegedUser)
{
    if (!test::RunningAsRoot() || std::system("command -v setpriv >/dev/null") != 0)
        GTEST_SKIP() << "needs root and setpriv to act as another user";
    const test::TempDir dir;
    fs::permissions(dir.path(), fs::perms::all);
    fs::create_directory(dir / "closed");
    WriteFile(dir / "closed/file", "x");
    fs::permissions(dir / "closed", fs::perms::none);
    fs::create_directory(dir / "own");
    ASSERT_EQ(chown((dir / "own").c_str(), 65534, 65534), 0);

    const std::string self = fs::read_symlink("/proc/self/exe");
    const std::string command = "KELVO_UNPRIVILEGED_ROOT='" + dir.path() +
                                "' setpriv --reuid=65534 --regid=65534 --clear-groups '" + self +
                                "' --gtest_filter=FileSystemAsUser.* >/dev/null 2>&1";
    const int status = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child checks failed: " << command;
}

} // namespace
} // namespace kelvo
