#include "platform/FileSystem.h"

#include "platform/AttributeRecordStore.h"
#include "platform/CarriedAttributes.h"
#include "platform/DirectoryListing.h"
#include "platform/Failure.h"
#include "platform/FilePath.h"
#include "platform/MountedDrive.h"
#include "platform/PartialFiles.h"
#include "platform/ReplacementFile.h"
#include "platform/Wildcards.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <grp.h>
#include <memory>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <tuple>
#include <unistd.h>

namespace kelvo {
namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;
using test::AttributesOf;
using test::FailureNumber;
using test::ModeOf;
using test::SetAttributesOf;

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

// A missing entry is 53 and a missing directory on the way is 76, whoever raises it.
TEST(FileSystem, TellsFilesFromFoldersAndMissingFilesFromMissingDirectories)
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
    const std::pair<std::string, int> raised[] = {
        {dir / "gone/", 53}, // the entry itself is the directory
        {"relative-name", 53},
        {dir / "sub/missing", 53},
    };
    for (const auto& [raisedFor, number] : raised)
        EXPECT_EQ(FailureNumber([&] { RaiseErrno(ENOENT, raisedFor); }), number) << raisedFor;
    const Failure failure(ErrDiskFull, "/backup/a.doc");
    EXPECT_EQ(failure.description(), QStringLiteral("Disk full"));
    EXPECT_NE(std::string(failure.what()).find("/backup/a.doc"), std::string::npos);
}

TEST(FileSystem, EncodesAttributes)
{
    const test::TempDir dir;
    WriteFile(dir / "plain", "x");
    WriteFile(dir / ".hidden", "x");
    ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
    EXPECT_EQ(AttributesOf(dir / ".hidden"), AttrHidden | AttrArchive);
    EXPECT_EQ(AttributesOf(dir / "pipe") & ~AttrArchive, AttrSystem);

    ASSERT_EQ(chmod((dir / "plain").c_str(), 0664), 0);
    SetAttributesOf(dir / "plain", AttrReadOnly | AttrArchive | AttrHidden | AttrSystem);
    EXPECT_EQ(ModeOf(dir / "plain"), 0464u); // only the owner's write bit changes
    EXPECT_EQ(AttributesOf(dir / "plain"), AttrReadOnly | AttrArchive);
    SetAttributesOf(dir / "plain", AttrArchive);
    EXPECT_EQ(ModeOf(dir / "plain"), 0664u);
}

// Runs each test with the archive flag and creation time kept on the file and in the per-user store.
class ArchiveFlag : public testing::TestWithParam<bool>
{
protected:
    ArchiveFlag() { ForceAttributeRecordStore(GetParam()); }
    ~ArchiveFlag() override { ForceAttributeRecordStore(false); }

    const test::IsolatedHome home;
};

TEST_P(ArchiveFlag, CopyCarriesCreationTimeAndAttributes)
{
    const std::string source = home.dir() / "source.txt";
    const std::string copy = home.dir() / "copy.txt";
    WriteFile(source, "contents");
    WriteFile(copy, "contents");
    SetAttributesOf(source, AttrReadOnly);
    const int fd = open(copy.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    File::GetFile(source).CarryAttributesTo(fd);
    close(fd);

    const File result = File::GetFile(copy);
    EXPECT_EQ(result.DateCreated(), File::GetFile(source).DateCreated());
    EXPECT_EQ(result.Attributes(), AttrReadOnly);
}

// `cp -a` and a move to another file system carry the record to another file, which has not been backed
// up; a record of an older version (size and time alone) costs one more copy, never a missed one.
TEST_P(ArchiveFlag, RecordHoldsOnlyForTheFileItWasWrittenOn)
{
    const std::string original = home.dir() / "original.txt";
    const std::string copy = home.dir() / "copy.txt";
    WriteFile(original, "contents");
    WriteFile(copy, "contents");
    const timespec modified = {File::GetFile(original).DateLastModified().seconds, 0};
    SetTimes(original, modified, modified);
    SetTimes(copy, modified, modified);
    SetAttributesOf(original, AttrNormal);
    if (!GetParam()) {
        char record[256];
        const ssize_t size = getxattr(original.c_str(), "user.kelvo.archive", record, sizeof record);
        ASSERT_GT(size, 0);
        ASSERT_EQ(setxattr(copy.c_str(), "user.kelvo.archive", record, static_cast<std::size_t>(size), 0), 0);
        const std::string withoutIdentity = "8 " + std::to_string(modified.tv_sec) + ".0";
        ASSERT_EQ(setxattr(original.c_str(), "user.kelvo.archive", withoutIdentity.data(),
                           withoutIdentity.size(), 0),
                  0);
        EXPECT_EQ(AttributesOf(original), AttrArchive);
    }
    EXPECT_EQ(AttributesOf(copy), AttrArchive);
}

// A write sets the flag again; the record of what the last two-way run left stays apart from it, on the
// file itself also when it is read-only.
TEST_P(ArchiveFlag, ClearedUntilTheNextWriteAndTheSyncedRecordKeptApart)
{
    const std::string path = home.dir() / "doc.txt";
    WriteFile(path, "first");
    EXPECT_FALSE(File::GetFile(path).SyncedRecord());
    SetAttributesOf(path, AttributesOf(path) & ~AttrArchive);
    EXPECT_EQ(AttributesOf(path), AttrNormal);
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    const File left = File::GetFile(path);
    left.RecordSynced();
    EXPECT_EQ(ModeOf(path), 0444u);
    EXPECT_EQ(File::GetFile(path).SyncedRecord(), left.State());

    ASSERT_EQ(chmod(path.c_str(), 0644), 0);
    WriteFile(path, "other"); // same size, so only the time tells
    SetTimes(path, {0, UTIME_OMIT}, {left.DateLastModified().seconds + 5, 0});
    EXPECT_EQ(AttributesOf(path), AttrArchive);
    EXPECT_NE(File::GetFile(path).State(), left.State());
    EXPECT_EQ(File::GetFile(path).SyncedRecord(), left.State());
}

// A link cannot hold user attributes: its flag lives in the per-user store, and its target keeps its own.
TEST_P(ArchiveFlag, LinkKeepsItsOwnFlag)
{
    const std::string target = home.dir() / "target";
    const std::string link = home.dir() / "link";
    WriteFile(target, "x");
    ASSERT_EQ(symlink("target", link.c_str()), 0);
    SetAttributesOf(link, AttrNormal);
    EXPECT_EQ(AttributesOf(link), AttrNormal);
    EXPECT_EQ(AttributesOf(target), AttrArchive);
    SetAttributesOf(target, AttrNormal);
    SetAttributesOf(link, AttrArchive);
    EXPECT_EQ(AttributesOf(link), AttrArchive);
    EXPECT_EQ(AttributesOf(target), AttrNormal);
}

INSTANTIATE_TEST_SUITE_P(OnFileAndInStore, ArchiveFlag, testing::Bool());

// Links are files of their own, whatever they point to; special files are left out but counted; the
// partial files of replacements are never listed, though names much like them are.
TEST(FileSystem, ListsEntriesByMaskInByteOrderAndMatchesWildcards)
{
    const test::TempDir dir;
    const std::string partial = PartialFileName("b.txt", 0x0123456789abcdefULL);
    Names files{"b.txt", "B.txt", ".hidden", ".b.txt.kelvo-partial-mine",
                "b.txt.kelvo-partial-0123456789abcdef"};
    for (const std::string& name : files)
        WriteFile(dir / name, name);
    WriteFile(dir / partial, "partial");
    ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo((dir / ".pipe").c_str(), 0600), 0);
    fs::create_directory(dir / "folder");
    fs::create_symlink("folder", dir / "link-folder");
    fs::create_symlink("nowhere", dir / "link-dangling");
    fs::create_symlink("link-loop", dir / "link-loop");
    files.insert(files.end(), {"link-folder", "link-dangling", "link-loop"});
    Names all = files;
    all.insert(all.end(), {"folder", "pipe", ".pipe"});
    std::sort(files.begin(), files.end());
    std::sort(all.begin(), all.end());
    int special = -1;
    EXPECT_EQ(ListDirectory(DirectoryHandle(dir.path() + "/"), MaskFiles, &special), files);
    EXPECT_EQ(special, 2);
    EXPECT_EQ(ListDirectory(DirectoryHandle(dir.path()), MaskAll, &special), all);
    EXPECT_EQ(special, 0);
    EXPECT_EQ(ListDirectory(DirectoryHandle(dir.path()), AttrNormal, &special).size(), 6u);
    EXPECT_EQ(special, 2);
    EXPECT_EQ(ListSubdirectories(DirectoryHandle(dir.path())), (Names{"folder"}));
    EXPECT_TRUE(IsPartialFileName(partial));
    EXPECT_EQ(PartialFileName(std::string(300, 'n'), 7).size(), std::size_t(NAME_MAX));

    const std::tuple<const char*, const char*, bool> patterns[] = {
        {"README", "*.*", true},  {"Report.DOC", "*.doc", true}, {"a.docx", "*.doc", false},
        {"a.txt", "?.txt", true}, {"ab.txt", "?.txt", false},    {"\xe9.txt", "?.TXT", true},
        {"\xc9", "\xe9", false},
    };
    for (const auto& [name, pattern, matches] : patterns)
        EXPECT_EQ(MatchesPattern(name, pattern), matches) << name << " ~ " << pattern;
}

// A symbolic link is never followed: its own size (the length of its text), its own times, never read-only.
// A move never replaces what is there: it might be a kept copy.
TEST(FileSystem, SymbolicLinksAreFilesOfTheirOwn)
{
    const test::TempDir dir;
    WriteFile(dir / "target", "twelve bytes");
    ASSERT_EQ(chmod((dir / "target").c_str(), 0444), 0);
    fs::create_symlink("target", dir / "link");
    fs::create_symlink("nowhere", dir / "dangling");
    const timespec times[2] = {{1500000000, 5}, {1500000001, 7}};
    ASSERT_EQ(utimensat(AT_FDCWD, (dir / "link").c_str(), times, AT_SYMLINK_NOFOLLOW), 0);

    const File link = File::GetFile(dir / "link");
    EXPECT_TRUE(link.IsSymbolicLink());
    EXPECT_EQ(link.Size(), 6);
    EXPECT_EQ(link.DateLastModified(), (FileTime{1500000001, 7}));
    EXPECT_EQ(link.DateLastAccessed(), (FileTime{1500000000, 5}));
    EXPECT_EQ(link.Attributes(), AttrArchive);
    EXPECT_TRUE(FileExists(dir / "dangling")); // it is there, so a run never writes over it
    EXPECT_EQ(File::GetFile(dir / "dangling").Size(), 7);

    File moved = File::GetFile(dir / "dangling");
    moved.Move(dir / "renamed");
    EXPECT_EQ(FailureNumber([&] { moved.Move(dir / "target"); }), 75) << "never replaces a file";
    DeleteFile(dir / "link", false);
    EXPECT_EQ(ListDirectory(DirectoryHandle(dir.path()), MaskAll), (Names{"renamed", "target"}));
    EXPECT_EQ(fs::read_symlink(dir / "renamed"), "nowhere");
    EXPECT_EQ(ModeOf(dir / "target"), 0444u);
}

// A level of a new path that is a link or a file is never gone through: what a link points at stays
// untouched, and nothing is made below a file.
TEST(FileSystem, MakesMissingLevelsOfAPathWithoutGoingThroughALink)
{
    const test::TempDir dir;
    const DirectoryHandle made = OpenOrCreateDirectoryPath(dir / "a/b/c/");
    EXPECT_EQ(made.path(), dir / "a/b/c/");
    EXPECT_EQ(ModeOf(dir / "a"), 0700u);
    EXPECT_EQ(ModeOf(dir / "a/b/c"), 0700u);
    EXPECT_EQ(OpenOrCreateDirectoryPath(dir / "a/b/").path(), dir / "a/b/");

    fs::create_symlink(dir / "elsewhere", dir / "dangling");
    WriteFile(dir / "file", "x");
    for (const char* blocked : {"dangling/x/", "file/x/"}) {
        SCOPED_TRACE(blocked);
        try {
            OpenOrCreateDirectoryPath(dir / blocked);
            ADD_FAILURE() << "made";
        } catch (const Failure& failure) {
            EXPECT_EQ(failure.number(), ErrPathFileAccess);
        }
    }
    EXPECT_FALSE(fs::exists(dir / "elsewhere"));
}

// 120 levels and more than 6,000 bytes: longer than one system call takes.
TEST(FileSystem, PathsOfAnyLengthWork)
{
    const test::TempDir dir;
    // Too deep for std::filesystem to remove; rm works relative to open directories.
    const std::shared_ptr<void> removeTree(
        nullptr, [&](void*) { (void)!std::system(("rm -rf " + dir / "a").c_str()); });
    std::string deep = dir / "a";
    bool created = false;
    for (int level = 0; level <= 120; ++level) {
        ASSERT_TRUE(OpenOrCreateDirectory(deep, created));
        deep += "/" + std::string(50, static_cast<char>('a' + level % 26));
    }
    deep.resize(deep.size() - 51);
    ASSERT_GT(deep.size(), 6000u);
    EXPECT_TRUE(FolderExists(deep) && FolderExists(deep + "/") && !FileExists(deep));
    ReplacementFile replacement(deep + "/file");
    replacement.write("deep");
    replacement.commit();
    EXPECT_TRUE(FileExists(deep + "/file") && !FolderExists(deep + "/file"));
    EXPECT_EQ(File::GetFile(deep + "/file").Size(), 4);
    EXPECT_EQ(ListDirectory(DirectoryHandle(deep + "/"), MaskAll), Names{"file"});
    EXPECT_EQ(ListSubdirectories(DirectoryHandle(deep.substr(0, deep.size() - 51))),
              Names{std::string(50, 'p')});

    const DirectoryHandle handle(deep + "/");
    EXPECT_NE(handle.fd(), AT_FDCWD);
    File file = File::GetFile(FileLocation(handle, "file"));
    file.Move(deep + "/moved");
    SetAttributesOf(deep + "/moved", AttrReadOnly);
    EXPECT_EQ(AttributesOf(deep + "/moved"), AttrReadOnly);
    SetAttributesOf(deep + "/moved", AttrArchive);
    EXPECT_EQ(AttributesOf(deep + "/moved"), AttrArchive);
    DeleteFile(deep + "/moved", false);
    EXPECT_EQ(ListDirectory(DirectoryHandle(deep), MaskAll), Names{});

    EXPECT_FALSE(File::TryGetFile(deep + "/missing/file"));
    EXPECT_EQ(FailureNumber([&] { ListDirectory(DirectoryHandle(deep + "/missing/"), MaskFiles); }), 76);
    EXPECT_EQ(FailureNumber([&] { OpenOrCreateDirectory(deep + "/missing/sub", created); }), 76);
}

TEST(FileSystem, DirectoryKeepsItsSourcesPermissionsUserAttributesAndTimes)
{
    const test::TempDir dir;
    fs::create_directories(dir / "source");
    fs::create_directories(dir / "target");
    ASSERT_EQ(setxattr((dir / "source").c_str(), "user.note", "kept", 4, 0), 0);
    ASSERT_EQ(setxattr((dir / "source").c_str(), "user.kelvo.own", "mine", 4, 0), 0);
    ASSERT_EQ(chmod((dir / "source").c_str(), 02750), 0);
    SetTimes(dir / "source", {1400000000, 123456789}, {1400000001, 987654321});

    const DirectoryHandle source(dir / "source/");
    const DirectoryHandle target(dir / "target/");
    CarryDirectoryMode(source, target, OwnerAccess::AsSource);
    CarryDirectoryTimes(source, target);
    EXPECT_EQ(ModeOf(dir / "target"), 02750u);
    char value[16] = {};
    EXPECT_EQ(getxattr((dir / "target").c_str(), "user.note", value, sizeof value), 4);
    EXPECT_EQ(std::string(value), "kept");
    EXPECT_LT(getxattr((dir / "target").c_str(), "user.kelvo.own", value, sizeof value), 0);
    const File targetFile = File::GetFile(dir / "target");
    EXPECT_EQ(targetFile.DateLastAccessed(), (FileTime{1400000000, 123456789}));
    EXPECT_EQ(targetFile.DateLastModified(), (FileTime{1400000001, 987654321}));

    ASSERT_EQ(chmod((dir / "source").c_str(), 0555), 0);
    CarryDirectoryMode(source, target, OwnerAccess::Full);
    EXPECT_EQ(ModeOf(dir / "target"), 0755u) << "the owner can still write into the backup";
    CarryDirectoryMode(source, target, OwnerAccess::AsSource);
    EXPECT_EQ(ModeOf(dir / "target"), 0555u);
    EXPECT_EQ(GiveOwnerFullAccess(target), std::optional<mode_t>(0555));
    EXPECT_EQ(ModeOf(dir / "target"), 0755u);
}

// Root may do what the kernel refuses a user; CI runs as root, so the checks run as "nobody".
TEST(FileSystem, RefusesUnreadableDirectoriesAndKeepsReadOnlyFilesManageableForAUser)
{
    if (!test::RunningAsRoot())
        GTEST_SKIP() << "needs root to act as another user";
    const test::TempDir dir;
    fs::permissions(dir.path(), fs::perms::all);
    fs::create_directory(dir / "closed");
    WriteFile(dir / "closed/file", "x");
    fs::permissions(dir / "closed", fs::perms::none);
    fs::create_directory(dir / "own");
    ASSERT_EQ(chown((dir / "own").c_str(), 65534, 65534), 0);
    const int code = test::RunInChild([&] {
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
            return 1;
        if (FailureNumber([&] { ListDirectory(DirectoryHandle(dir / "closed"), MaskFiles); }) != 70)
            return 2;
        test::WriteFile(dir / "own/file", "x");
        SetAttributesOf(dir / "own/file", AttrReadOnly);
        return AttributesOf(dir / "own/file") == AttrReadOnly ? 0 : 3;
    });
    EXPECT_EQ(code, 0) << "1 no other user, 2 listed an unreadable directory, 3 the record was lost";
}

// The drive of a path is the mount that the kernel shows there: the deepest, and of two at one point
// the later, which lies on top.
TEST(MountedDrive, NamesTheTopmostDeepestMountHoldingThePath)
{
    const std::string mountInfo = "27 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
                                  "40 27 8:17 / /mnt/backup rw,relatime shared:5 - ext4 /dev/sdb1 rw\n"
                                  "41 27 0:50 / /mnt/backup\\040disk rw - vfat /dev/sdc1 rw\n"
                                  "42 40 0:51 / /mnt/backup rw - tmpfs none rw\n";
    struct Case
    {
        const char* path;
        const char* drive;
    };
    const Case cases[] = {
        {"/", "/ ext4"},
        {"/home/me", "/ ext4"},
        {"/mnt/backup", "/mnt/backup tmpfs"},
        {"/mnt/backup/kelvo", "/mnt/backup tmpfs"},
        {"/mnt/backupx", "/ ext4"},
        {"/mnt/backup disk/kelvo", "/mnt/backup\\040disk vfat"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(DriveIn(mountInfo, c.path), std::string(c.drive)) << c.path;
    EXPECT_EQ(DriveOf("/no/such/directory"), std::nullopt);
    EXPECT_EQ(DriveOf("/").value_or("").rfind("/ ", 0), 0u);
}

} // namespace
} // namespace kelvo
