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
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <memory>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <tuple>
#include <unistd.h>

namespace kelvo::test {
namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

void SetTimes(const std::string& path, timespec accessed, timespec modified, int flags = 0)
{
    const timespec times[2] = {accessed, modified};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, flags), 0);
}

Names List(const std::string& directory, int mask = MaskAll, int* special = nullptr)
{
    return ListDirectory(DirectoryHandle(directory), mask, special);
}

// Runs each test with the archive flag and creation time kept on the file and in the per-user store.
class ArchiveFlag : public testing::TestWithParam<bool>
{
protected:
    ArchiveFlag() { ForceAttributeRecordStore(GetParam()); }
    ~ArchiveFlag() override { ForceAttributeRecordStore(false); }

    const IsolatedHome home;
    const std::string a = home.dir() / "a.txt", b = home.dir() / "b.txt";
};

// A write sets the flag again; what the last two-way run left is recorded apart, also on a read-only file.
// A copy carries creation time and attributes; a record that `cp -a` carried to another file, or one of an
// older version (size and time alone), costs one more copy, never a missed one. A link keeps its own flag.
TEST_P(ArchiveFlag, ClearedUntilTheNextWriteCarriedByACopyAndHeldOnlyForItsFile)
{
    WriteFile(a, "first");
    EXPECT_FALSE(File::GetFile(a).SyncedRecord());
    SetAttributesOf(a, AttributesOf(a) & ~AttrArchive);
    EXPECT_EQ(AttributesOf(a), AttrNormal);
    ASSERT_EQ(chmod(a.c_str(), 0444), 0);
    const File left = File::GetFile(a);
    left.RecordSynced();
    EXPECT_TRUE(ModeOf(a) == 0444u && File::GetFile(a).SyncedRecord() == left.State());
    ASSERT_EQ(chmod(a.c_str(), 0644), 0);
    WriteFile(a, "other"); // same size, so only the time tells
    const timespec modified = {left.DateLastModified().seconds + 5, 0};
    SetTimes(a, modified, modified);
    EXPECT_EQ(AttributesOf(a), AttrArchive);
    EXPECT_EQ(File::GetFile(a).SyncedRecord(), left.State());
    WriteFile(b, "other");
    SetTimes(b, modified, modified);
    SetAttributesOf(a, AttrReadOnly);
    const int fd = open(b.c_str(), O_RDWR);
    File::GetFile(a).CarryAttributesTo(fd);
    close(fd);
    EXPECT_EQ(File::GetFile(b).DateCreated(), File::GetFile(a).DateCreated());
    EXPECT_EQ(AttributesOf(b), AttrReadOnly);
    SetAttributesOf(a, AttrNormal);
    SetAttributesOf(b, AttrArchive);
    if (!GetParam()) {
        char record[256];
        const ssize_t size = getxattr(a.c_str(), "user.kelvo.archive", record, sizeof record);
        ASSERT_EQ(setxattr(b.c_str(), "user.kelvo.archive", record, std::size_t(size), 0), 0);
        const std::string withoutIdentity = "5 " + std::to_string(modified.tv_sec) + ".0";
        ASSERT_EQ(
            setxattr(a.c_str(), "user.kelvo.archive", withoutIdentity.data(), withoutIdentity.size(), 0), 0);
        EXPECT_EQ(AttributesOf(a), AttrArchive);
    }
    EXPECT_EQ(AttributesOf(b), AttrArchive);

    ASSERT_EQ(symlink("a.txt", (home.dir() / "link").c_str()), 0);
    for (const int linkFlag : {AttrNormal, AttrArchive}) {
        SetAttributesOf(a, AttrArchive - linkFlag);
        SetAttributesOf(home.dir() / "link", linkFlag);
        EXPECT_TRUE(AttributesOf(home.dir() / "link") == linkFlag &&
                    AttributesOf(a) == AttrArchive - linkFlag);
    }
}

INSTANTIATE_TEST_SUITE_P(OnFileAndInStore, ArchiveFlag, testing::Bool());

// Two stores on one file stand for two processes. A load compacts to the records that hold; a process
// killed while it wrote a line leaves it unfinished: it counts for nothing, and later lines stay records.
TEST(AttributeRecordStore, SharesChangesCompactsAndSurvivesAnUnfinishedLine)
{
    constexpr FileKey Report{8, 1001}, Photo{8, 1002};
    const TempDir dir;
    AttributeRecordStore first(dir / "sub/records"), second(dir / "sub/records");
    for (int i = 0; i < 50; ++i)
        first.Set(Report, "user.kelvo.archive", std::to_string(i));
    first.Set(Report, "user.kelvo.created", "1600000000.5");
    EXPECT_EQ(ReadFile(dir / "sub/records").count('\n'), 51);
    EXPECT_EQ(second.Get(Report, "user.kelvo.created"), "1600000000.5");
    EXPECT_EQ(ReadFile(dir / "sub/records").count('\n'), 2) << "the load compacted";
    second.Remove(Report, "user.kelvo.archive");
    second.Set(Photo, "user.kelvo.archive", "value with spaces");
    EXPECT_TRUE(!first.Get(Report, "user.kelvo.archive") &&
                first.Get(Photo, "user.kelvo.archive") == "value with spaces");
    first.Forget(Report);
    EXPECT_TRUE(!second.Get(Report, "user.kelvo.created") && second.Get(Photo, "user.kelvo.archive"));
    std::ofstream(dir / "sub/records", std::ios::app) << "8 1001 user.kelvo.arch";
    first.Set(Report, "user.kelvo.created", "5");
    AttributeRecordStore later(dir / "sub/records");
    EXPECT_TRUE(later.Get(Report, "user.kelvo.created") == "5" && !later.Get(Report, "user.kelvo.arch") &&
                later.Get(Photo, "user.kelvo.archive") == "value with spaces");
}

// Links are files of their own; special files are left out but counted; partial files are never listed,
// though names much like them are. A missing entry is 53 and a missing directory on the way 76, whoever
// raises it; a pipe is a file that is there (a run never writes over it), of the system attribute.
TEST(FileSystem, ListsEntriesByMaskTellsWhatIsMissingAndEncodesAttributes)
{
    const TempDir dir;
    const std::string partial = PartialFileName("b.txt", 0x0123456789abcdefULL);
    Names files{"b.txt", "B.txt", ".hidden", ".b.txt.kelvo-partial-mine",
                "b.txt.kelvo-partial-0123456789abcdef"};
    for (const std::string& name : files)
        WriteFile(dir / name, QByteArray::fromStdString(name));
    WriteFile(dir / partial, "partial");
    ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600) | mkfifo((dir / ".pipe").c_str(), 0600), 0);
    fs::create_directory(dir / "folder");
    for (const auto& [link, target] :
         {std::pair("link-folder", "folder"), {"link-dangling", "nowhere"}, {"link-loop", "link-loop"}}) {
        fs::create_symlink(target, dir / link);
        files.push_back(link);
    }
    Names all = files;
    all.insert(all.end(), {"folder", "pipe", ".pipe"});
    std::sort(files.begin(), files.end());
    std::sort(all.begin(), all.end());
    int special = -1, specialForAll = -1, specialForNormal = -1;
    EXPECT_EQ(List(dir.path() + "/", MaskFiles, &special), files);
    EXPECT_EQ(List(dir.path(), MaskAll, &specialForAll), all);
    EXPECT_EQ(List(dir.path(), AttrNormal, &specialForNormal).size(), 6u);
    EXPECT_EQ(std::tuple(special, specialForAll, specialForNormal), std::tuple(2, 0, 2));
    EXPECT_EQ(ListSubdirectories(DirectoryHandle(dir.path())), (Names{"folder"}));
    EXPECT_EQ(PartialFileName(std::string(300, 'n'), 7).size(), std::size_t(NAME_MAX));

    const std::string path = dir / "folder/\xff-latin1.txt";
    // Through the raw bytes: a name that is not UTF-8 reaches the kernel as it is.
    std::ofstream(path) << "12345";
    EXPECT_TRUE(FileExists(path) && FolderExists(dir / "folder") && FolderExists(dir.path() + "/") &&
                FileExists(dir / "pipe"));
    EXPECT_FALSE(FolderExists(path) || FileExists(dir / "folder") || FileExists(dir / "missing"));
    EXPECT_EQ(FailureNumber([&] { File::GetFile(dir / "folder/missing"); }), 53);
    EXPECT_EQ(FailureNumber([&] { File::GetFile(dir / "gone/missing"); }), 76);
    for (const std::string& raisedFor : {dir / "gone/", std::string("relative-name"), dir / "folder/missing"})
        EXPECT_EQ(FailureNumber([&] { RaiseErrno(ENOENT, raisedFor); }), 53) << raisedFor;
    EXPECT_EQ(AttributesOf(dir / ".hidden"), AttrHidden | AttrArchive);
    EXPECT_EQ(AttributesOf(dir / "pipe") & ~AttrArchive, AttrSystem);
    ASSERT_EQ(chmod(path.c_str(), 0664), 0);
    SetAttributesOf(path, AttrReadOnly | AttrArchive | AttrHidden | AttrSystem);
    EXPECT_EQ(ModeOf(path), 0464u) << "only the owner's write bit changes";
    EXPECT_EQ(AttributesOf(path), AttrReadOnly | AttrArchive);
    SetAttributesOf(path, AttrArchive);
    EXPECT_EQ(ModeOf(path), 0664u);

    const char* patterns[] = {"README", "*.*", "Report.DOC", "*.doc", "a.txt", "?.txt", "\xe9.txt", "?.TXT"};
    for (std::size_t n = 0; n < std::size(patterns); n += 2)
        EXPECT_TRUE(MatchesPattern(patterns[n], patterns[n + 1])) << patterns[n];
    for (const auto& [name, pattern] : {std::pair("a.docx", "*.doc"), {"ab.txt", "?.txt"}, {"\xc9", "\xe9"}})
        EXPECT_FALSE(MatchesPattern(name, pattern)) << name;
}

// A link is never followed: its own size and times, never read-only. A move never replaces what is there:
// it might be a kept copy. No new path goes through a link or a file. Paths of 120 levels and more than
// 6,000 bytes, longer than one system call takes, work as well.
TEST(FileSystem, SymbolicLinksAreNeverGoneThroughAndPathsOfAnyLengthWork)
{
    const TempDir dir;
    WriteFile(dir / "target", "twelve bytes");
    ASSERT_EQ(chmod((dir / "target").c_str(), 0444), 0);
    fs::create_symlink("target", dir / "link");
    fs::create_symlink("nowhere", dir / "dangling");
    SetTimes(dir / "link", {1500000000, 5}, {1500000001, 7}, AT_SYMLINK_NOFOLLOW);
    const File link = File::GetFile(dir / "link");
    EXPECT_TRUE(link.IsSymbolicLink() && link.Size() == 6 && link.Attributes() == AttrArchive);
    EXPECT_EQ(link.DateLastModified(), (FileTime{1500000001, 7}));
    EXPECT_EQ(link.DateLastAccessed(), (FileTime{1500000000, 5}));
    File moved = File::GetFile(dir / "dangling");
    EXPECT_TRUE(FileExists(dir / "dangling") && moved.Size() == 7);
    moved.Move(dir / "renamed");
    EXPECT_EQ(FailureNumber([&] { moved.Move(dir / "target"); }), 75) << "never replaces a file";
    DeleteFile(dir / "link", false);
    EXPECT_EQ(List(dir.path()), (Names{"renamed", "target"}));
    EXPECT_TRUE(fs::read_symlink(dir / "renamed") == "nowhere" && ModeOf(dir / "target") == 0444u);

    EXPECT_EQ(OpenOrCreateDirectoryPath(dir / "a/b/c/").path(), dir / "a/b/c/");
    EXPECT_EQ(ModeOf(dir / "a") | ModeOf(dir / "a/b/c"), 0700u);
    EXPECT_EQ(OpenOrCreateDirectoryPath(dir / "a/b/").path(), dir / "a/b/");
    fs::create_symlink(dir / "elsewhere", dir / "away");
    for (const char* blocked : {"away/x/", "target/x/"})
        EXPECT_EQ(FailureNumber([&] { OpenOrCreateDirectoryPath(dir / blocked); }), ErrPathFileAccess)
            << blocked;
    EXPECT_FALSE(fs::exists(dir / "elsewhere"));

    // Too deep for std::filesystem to remove; rm works relative to open directories.
    const std::shared_ptr<void> removeTree(
        nullptr, [&](void*) { (void)!std::system(("rm -rf " + dir / "long").c_str()); });
    std::string deep = dir / "long";
    bool created = false;
    for (int level = 0; level <= 120; ++level) {
        ASSERT_TRUE(OpenOrCreateDirectory(deep, created));
        deep += "/" + std::string(50, char('a' + level % 26));
    }
    deep.resize(deep.size() - 51);
    ASSERT_GT(deep.size(), 6000u);
    EXPECT_TRUE(FolderExists(deep) && FolderExists(deep + "/") && !FileExists(deep));
    ReplacementFile replacement(deep + "/file");
    replacement.write("deep");
    replacement.commit();
    EXPECT_TRUE(FileExists(deep + "/file") && !FolderExists(deep + "/file") &&
                List(deep + "/") == Names{"file"});
    const DirectoryHandle handle(deep + "/");
    File file = File::GetFile(FileLocation(handle, "file"));
    EXPECT_EQ(file.Size(), 4);
    file.Move(deep + "/moved");
    SetAttributesOf(deep + "/moved", AttrReadOnly);
    EXPECT_EQ(AttributesOf(deep + "/moved"), AttrReadOnly);
    DeleteFile(deep + "/moved", true);
    EXPECT_TRUE(List(deep).empty() && !File::TryGetFile(deep + "/missing/file"));
    EXPECT_EQ(FailureNumber([&] { List(deep + "/missing/", MaskFiles); }) |
                  FailureNumber([&] { OpenOrCreateDirectory(deep + "/missing/sub", created); }),
              76);
    ASSERT_EQ(symlinkat(dir.path().c_str(), handle.fd(), "link"), 0);
    const std::string below = deep.substr(dir.path().size() + 1) + "/link";
    EXPECT_NE(FailureNumber([&] { DirectoryHandle::OpenBelow(DirectoryHandle(dir / ""), below); }), 0)
        << "a link on the way is never followed";
}

// A directory keeps its source's mode, user attributes and times, and its owner can still write into the
// backup. Root may do what the kernel refuses a user; CI runs as root, so the last checks run as "nobody".
TEST(FileSystem, DirectoryPermissionsAreCarriedAndUnreadableDirectoriesRefused)
{
    const TempDir dir;
    const std::string source = dir / "source", target = dir / "target";
    fs::create_directories(source) && fs::create_directories(target);
    ASSERT_EQ(setxattr(source.c_str(), "user.note", "kept", 4, 0) |
                  setxattr(source.c_str(), "user.kelvo.own", "mine", 4, 0),
              0);
    ASSERT_EQ(chmod(source.c_str(), 02750), 0);
    SetTimes(source, {1400000000, 123456789}, {1400000001, 987654321});
    const DirectoryHandle from(source + "/"), to(target + "/");
    CarryDirectoryMode(from, to, OwnerAccess::AsSource);
    CarryDirectoryTimes(from, to);
    EXPECT_EQ(ModeOf(target), 02750u);
    char value[5] = {};
    EXPECT_TRUE(getxattr(target.c_str(), "user.note", value, 4) == 4 && value == std::string("kept"));
    EXPECT_LT(getxattr(target.c_str(), "user.kelvo.own", value, sizeof value), 0);
    const File carried = File::GetFile(target);
    EXPECT_EQ(std::pair(carried.DateLastAccessed(), carried.DateLastModified()),
              std::pair(FileTime{1400000000, 123456789}, FileTime{1400000001, 987654321}));
    ASSERT_EQ(chmod(source.c_str(), 0555), 0);
    CarryDirectoryMode(from, to, OwnerAccess::Full);
    EXPECT_EQ(ModeOf(target), 0755u) << "the owner can still write into the backup";
    CarryDirectoryMode(from, to, OwnerAccess::AsSource);
    EXPECT_EQ(GiveOwnerFullAccess(to), std::optional<mode_t>(0555)) << "as the source gave it";
    EXPECT_EQ(ModeOf(target), 0755u);

    if (!RunningAsRoot())
        GTEST_SKIP() << "needs root to act as another user";
    fs::permissions(dir.path(), fs::perms::all);
    fs::create_directory(dir / "closed") && fs::create_directory(dir / "own");
    fs::permissions(dir / "closed", fs::perms::none);
    ASSERT_EQ(chown((dir / "own").c_str(), 65534, 65534), 0);
    const int code = RunInChild([&] {
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
            return 1;
        if (FailureNumber([&] { List(dir / "closed", MaskFiles); }) != 70)
            return 2;
        WriteFile(dir / "own/file", "x");
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
    for (const auto& [path, drive] : {std::pair("/home/me", "/ ext4"),
                                      {"/mnt/backup", "/mnt/backup tmpfs"},
                                      {"/mnt/backup/kelvo", "/mnt/backup tmpfs"},
                                      {"/mnt/backupx", "/ ext4"},
                                      {"/mnt/backup disk/kelvo", "/mnt/backup\\040disk vfat"}})
        EXPECT_EQ(DriveIn(mountInfo, path), std::string(drive)) << path;
    EXPECT_EQ(DriveOf("/no/such/directory"), std::nullopt);
    EXPECT_EQ(DriveOf("/").value_or("").rfind("/ ", 0), 0u);
}

// Every entry, the partial files too, which listings leave out.
std::size_t Entries(const std::string& directory)
{
    return std::size_t(std::distance(fs::directory_iterator(directory), fs::directory_iterator()));
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

// A replacement keeps the permissions it replaces, less write for others; a link takes the destination's
// place in one step. The partial file of a killed writer goes, never a live one's nor a name like it.
TEST_P(Replacement, LeavesNothingUntilCommittedKeepsPermissionsAndCleansUpAfterAKill)
{
    WriteFile(file, "old");
    ASSERT_EQ(::chmod(file.c_str(), 0664), 0);
    {
        ReplacementFile abandoned(file);
        abandoned.write("never");
        EXPECT_EQ(ListDirectory(DirectoryHandle(dir.path()), MaskAll), Names{"file"}) << "never listed";
        EXPECT_EQ(Entries(dir.path()), GetParam() ? 2u : 1u);
    }
    EXPECT_TRUE(ReadFile(file) == "old" && Entries(dir.path()) == 1u);
    ReplacementFile kept(file);
    kept.write("new");
    kept.keepDestinationPermissions();
    kept.commitDurably();
    EXPECT_TRUE(ReadFile(file) == "new" && ModeOf(file) == 0644u);
    ReplacementFile fresh(dir / "fresh");
    fresh.keepDestinationPermissions(); // nothing to keep
    fresh.commitDurably();
    EXPECT_TRUE(ModeOf(dir / "fresh") == 0600u && Entries(dir.path()) == 2u);
    WriteFile(file, "a file before");
    ReplaceWithSymbolicLink(file, "../elsewhere", [](int, const std::string& name) {
        EXPECT_TRUE(IsPartialFileName(name.substr(name.rfind('/') + 1)));
    });
    EXPECT_EQ(fs::read_symlink(file), "../elsewhere");
    EXPECT_THROW(ReplaceWithSymbolicLink(
                     file, "other", [](int, const std::string&) { throw Failure(ErrPathFileAccess, "x"); }),
                 Failure);
    EXPECT_TRUE(Entries(dir.path()) == 2u && fs::read_symlink(file) == "../elsewhere");

    fs::remove(file);
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
    const std::size_t before = Entries(dir.path());
    RemoveStaleReplacements(DirectoryHandle(dir / ""));
    const std::size_t partials = GetParam() ? 1 : 0; // only a named file survives a kill
    EXPECT_EQ(before - Entries(dir.path()), partials);
    EXPECT_EQ(Entries(dir.path()), 5u + partials) << "the live replacement keeps its file";
    live.commit();
    EXPECT_EQ(ReadFile(file), "writing");
}

INSTANTIATE_TEST_SUITE_P(UnnamedAndNamed, Replacement, testing::Bool());

} // namespace
} // namespace kelvo::test
