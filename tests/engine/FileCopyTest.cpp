#include "engine/FileCopy.h"

#include "EngineFixture.h"
#include "engine/Comparison.h"
#include "engine/FileContents.h"
#include "engine/RunStopped.h"
#include "platform/DirectoryListing.h"
#include "platform/Failure.h"
#include "platform/FileSystem.h"
#include "platform/ReplacementFile.h"

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <tuple>
#include <unistd.h>

namespace kelvo::test {
namespace {

class FileCopy : public EngineTest
{
protected:
    // src(name) over dst(to), by default the same name.
    qint64 copy(const std::string& name, const std::string& to = {})
    {
        return CopyFileWithProgress(context, refusals, src(name), dst(to.empty() ? name : to));
    }
    CopyRefusals refusals;
    bool progressRanForwardToTheEnd() const
    {
        const std::vector<int>& progress = observer.fileProgress;
        return std::is_sorted(progress.begin(), progress.end()) && !progress.empty() &&
               progress.back() == 100;
    }
};

QByteArray Pattern(qint64 size)
{
    QByteArray bytes(size, '\0');
    for (qint64 i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 131 + 7) % 251);
    return bytes;
}

// The program keeps its own records in user.kelvo.*: one found on a source is not carried.
TEST_F(FileCopy, CarriesTimesAttributesAndUserExtendedAttributesAndLeavesTheSourceAlone)
{
    const std::string path = src("report.doc");
    MakeFile(path, "contents");
    ASSERT_EQ(setxattr(path.c_str(), "user.xdg.origin.url", "https://example.org/", 20, 0), 0);
    ASSERT_EQ(setxattr(path.c_str(), "user.kelvo.foreign", "from elsewhere", 14, 0), 0);
    const timespec times[2] = {{1500000000, 250}, {1600000000, 500}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
    chmod(path.c_str(), 0444);
    const File before = File::GetFile(path);

    ASSERT_EQ(copy("report.doc"), 8);
    const File source = File::GetFile(path);
    const File copied = File::GetFile(dst("report.doc"));
    EXPECT_EQ(copied.DateLastModified(), (FileTime{1600000000, 500}));
    EXPECT_EQ(copied.DateLastAccessed(), (FileTime{1500000000, 250}));
    EXPECT_EQ(copied.DateCreated(), source.DateCreated());
    EXPECT_EQ(copied.Attributes(), source.Attributes());
    EXPECT_TRUE(copied.Attributes() & AttrReadOnly);
    EXPECT_EQ(source.Attributes(), before.Attributes());
    EXPECT_EQ(observer.copyActiveStates, (std::vector<bool>{true, false}));
    char value[64] = {};
    EXPECT_EQ(getxattr(dst("report.doc").c_str(), "user.xdg.origin.url", value, sizeof value), 20);
    EXPECT_STREQ(value, "https://example.org/");
    EXPECT_LT(getxattr(dst("report.doc").c_str(), "user.kelvo.foreign", value, sizeof value), 0);
}

TEST_F(FileCopy, FailuresKeepTheOldDestinationAndCountOneErrorEach)
{
    MakeFile(dst("a"), "old backup");
    std::filesystem::create_directories(src("a")); // opens but cannot be read: fails once started
    EXPECT_EQ(copy("a"), 0);
    EXPECT_EQ(statistics.errors, 1);
    EXPECT_EQ(observer.copyActiveStates.back(), false);
    EXPECT_EQ(copy("missing", "a"), 0);
    EXPECT_EQ(statistics.errors, 2);
    EXPECT_EQ(ReadFile(dst("a")), "old backup");
    EXPECT_EQ(FilesBelow(dst()), std::vector<std::string>{"a"});

    // The run's handler counts a full disk; the copy only passes it on.
    MakeFile(src("big"), Pattern(200000));
    const std::optional<int> status = InPrivateTmpfs(dst(), 64 * 1024, [this] {
        MakeFile(dst("big"), "old backup");
        try {
            copy("big");
            return 1;
        } catch (const Failure& failure) {
            if (failure.number() != ErrDiskFull)
                return 2;
        }
        if (ReadFile(dst("big")) != "old backup" || FilesBelow(dst()).size() != 1)
            return 3;
        return statistics.errors == 2 ? 0 : 4;
    });
    EXPECT_EQ(status.value_or(0), 0);
}

// The ways a file system answers the kernel's copy calls, played over the real calls. No file system
// of the test machine need clone: the played clone copies the whole file in one call, as a clone
// takes it whole.
struct KernelCallCounts
{
    int clones = 0;
    int copyRanges = 0;
};
KernelCallCounts g_calls;
int g_cloneRefusal = 0;     // the errno of a refused clone; 0 clones
int g_copyRangeRefusal = 0; // the errno of a refused copy; 0 copies, -1 copies nothing, as some FUSE do

int PlayedClone(int destinationFd, int sourceFd)
{
    ++g_calls.clones;
    if (g_cloneRefusal != 0) {
        errno = g_cloneRefusal;
        return -1;
    }
    struct stat source = {};
    fstat(sourceFd, &source);
    off_t in = 0;
    off_t out = 0;
    while (in < source.st_size)
        if (copy_file_range(sourceFd, &in, destinationFd, &out, source.st_size - in, 0) <= 0)
            return -1;
    return 0;
}

ssize_t PlayedCopyRange(int sourceFd, off_t* sourceOffset, int destinationFd, off_t* destinationOffset,
                        std::size_t length)
{
    ++g_calls.copyRanges;
    if (g_copyRangeRefusal < 0)
        return 0;
    if (g_copyRangeRefusal > 0) {
        errno = g_copyRangeRefusal;
        return -1;
    }
    return SystemKernelCopyCalls().copyRange(sourceFd, sourceOffset, destinationFd, destinationOffset,
                                             length);
}

struct Way
{
    const char* name;
    int cloneRefusal;
    int copyRangeRefusal;
    bool refusalHoldsForTheFileSystem;
};

const Way Ways[] = {
    {"Clone", 0, 0, false},
    {"InKernelWhereClonesAreRefused", EOPNOTSUPP, 0, true},
    {"ReadsAndWritesToAnotherFileSystem", EXDEV, EXDEV, true},
    {"ReadsAndWritesOnAFuseThatCopiesNothing", ENOTTY, -1, true},
    {"ReadsAndWritesForOneRefusedFile", EINVAL, EINVAL, false},
};

class FileCopyWay : public FileCopy, public ::testing::WithParamInterface<Way>
{
protected:
    void SetUp() override
    {
        g_calls = {};
        g_cloneRefusal = GetParam().cloneRefusal;
        g_copyRangeRefusal = GetParam().copyRangeRefusal;
        UseKernelCopyCalls({PlayedClone, PlayedCopyRange});
    }
    void TearDown() override { UseKernelCopyCalls(SystemKernelCopyCalls()); }
    bool clones() const { return GetParam().cloneRefusal == 0; }
};

constexpr qint64 MiB = 1 << 20;

// An empty source gives 1 and an empty copy; an old destination longer than the source is replaced by
// exactly the source's bytes. A file system that refuses a way is asked once per set, not per file.
TEST_P(FileCopyWay, CopiesExactlyWithProgressOnlyForwardAndAsksARefusingFileSystemOnce)
{
    const qint64 sizes[] = {0, 1, 256 * 1024 + 1, 4 * MiB + 1, 9 * MiB};
    for (const qint64 size : sizes) {
        SCOPED_TRACE(size);
        const std::string name = "f" + std::to_string(size);
        MakeFile(src(name), Pattern(size));
        MakeFile(dst(name), QByteArray(700000, 'x'));
        observer.fileProgress.clear();
        EXPECT_EQ(copy(name), std::max<qint64>(size, 1));
        EXPECT_TRUE(ReadFile(dst(name)) == Pattern(size));
        EXPECT_TRUE(progressRanForwardToTheEnd());
    }
    EXPECT_EQ(statistics.errors, 0);
    const int files = static_cast<int>(std::size(sizes));
    EXPECT_EQ(g_calls.clones, GetParam().refusalHoldsForTheFileSystem ? 1 : files);
    if (clones())
        EXPECT_EQ(g_calls.copyRanges, 0);
    else if (GetParam().refusalHoldsForTheFileSystem && GetParam().copyRangeRefusal != 0)
        EXPECT_EQ(g_calls.copyRanges, 1);
    else if (GetParam().copyRangeRefusal != 0)
        EXPECT_EQ(g_calls.copyRanges, files - 1) << "asked for each file with data";
    else
        EXPECT_GE(g_calls.copyRanges, files + 1) << "a copy of 9 MiB goes in slices";
}

// Also where the new file must have a name while it is written (no O_TMPFILE, as on FUSE).
TEST_P(FileCopyWay, StopLeavesTheOldCopyAndNoPartialFile)
{
    MakeFile(src("big"), Pattern(12 * MiB));
    MakeFile(dst("big"), "old");
    for (const bool named : {false, true}) {
        ForceNamedReplacements(named);
        observer.yields = 0;
        observer.onYield = [this] {
            observer.stop = observer.yields >= 1;
            EXPECT_EQ(ListDirectory(DirectoryHandle(dst()), MaskAll), std::vector<std::string>{"big"});
        };
        EXPECT_THROW(copy("big"), RunStopped);
        ForceNamedReplacements(false);
        EXPECT_EQ(ReadFile(dst("big")), "old");
        EXPECT_EQ(FilesBelow(dst()), std::vector<std::string>{"big"});
    }
    EXPECT_EQ(statistics.errors, 0);
}

// The copy keeps the time from before the change, so the next run copies the file again.
TEST_P(FileCopyWay, SourceChangedWhileItIsCopiedIsCopiedAgain)
{
    addSet();
    MakeFile(src("growing.log"), Pattern(12 * MiB), 1000);
    observer.onYield = [this] {
        if (observer.yields == 1)
            MakeFile(src("growing.log"), "rewritten", 2000);
    };
    EXPECT_GT(copy("growing.log"), 0);
    EXPECT_EQ(File::GetFile(dst("growing.log")).DateLastModified().seconds, 1000);
    EXPECT_TRUE(NeedsCopy(clock, configuration.sets[0], src("growing.log"), dst("growing.log"),
                          CopyCheck::AfterCopy));
}

// Only the data is copied: the copy takes about the room of the source, not its length.
TEST_P(FileCopyWay, HolesStayHoles)
{
    if (clones())
        GTEST_SKIP() << "a played clone fills holes; the btrfs and XFS test checks real ones";
    constexpr qint64 size = 64 * MiB;
    const int fd = open(src("disk.img").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, size), 0);
    const std::pair<qint64, QByteArray> pieces[] = {
        {0, Pattern(4096)}, {20 * MiB, Pattern(MiB)}, {40 * MiB + 17, "the end, then a hole"}};
    for (const auto& [offset, bytes] : pieces)
        EXPECT_EQ(pwrite(fd, bytes.constData(), bytes.size(), offset), bytes.size());
    close(fd);
    struct stat source = {}, copied = {};
    ASSERT_EQ(stat(src("disk.img").c_str(), &source), 0);
    if (source.st_blocks * 512 >= size)
        GTEST_SKIP() << "the file system keeps no holes";

    EXPECT_EQ(copy("disk.img"), size);
    ASSERT_EQ(stat(dst("disk.img").c_str(), &copied), 0);
    EXPECT_EQ(copied.st_size, size);
    EXPECT_LE(copied.st_blocks, source.st_blocks + 64);
    EXPECT_EQ(std::system(("cmp -s '" + src("disk.img") + "' '" + dst("disk.img") + "'").c_str()), 0);
    EXPECT_TRUE(progressRanForwardToTheEnd());
    EXPECT_GE(observer.yields, size / (4 * MiB)) << "the holes pace the yields too";
}

INSTANTIATE_TEST_SUITE_P(EachWay, FileCopyWay, ::testing::ValuesIn(Ways),
                         [](const ::testing::TestParamInfo<Way>& info) {
                             return std::string(info.param.name);
                         });

// Whether the file's first extent is shared with another file: the copy is a clone.
bool SharesItsBlocks(const std::string& path)
{
    alignas(fiemap) char request[sizeof(fiemap) + sizeof(fiemap_extent)] = {};
    auto* map = reinterpret_cast<fiemap*>(request);
    map->fm_length = FIEMAP_MAX_OFFSET;
    map->fm_flags = FIEMAP_FLAG_SYNC;
    map->fm_extent_count = 1;
    const int fd = open(path.c_str(), O_RDONLY);
    const bool shared = fd >= 0 && ioctl(fd, FS_IOC_FIEMAP, map) == 0 && map->fm_mapped_extents == 1 &&
                        (map->fm_extents[0].fe_flags & FIEMAP_EXTENT_SHARED) != 0;
    close(fd);
    return shared;
}

// Real file systems, each where the test machine has it: btrfs and XFS clone (the copy shares the
// source's blocks, holes and all), a FUSE file system has no unnamed files, and a copy from here into a
// tmpfs goes by reads and writes. Each copies a file and a sparse file exactly.
TEST_F(FileCopy, RealFileSystemsCloneOrCopyExactly)
{
    int tried = 0;
    for (const std::string kind : {"btrfs", "xfs", "fuse", "tmpfs"}) {
        SCOPED_TRACE(kind);
        const std::string root = dst(kind);
        std::filesystem::create_directories(root);
        // A tmpfs is the destination only: the source stays here.
        const std::string from = kind == "tmpfs" ? src() : root + "/";
        const auto body = [&] {
            MakeFile(from + "data", Pattern(9 * MiB));
            const int fd = open((from + "sparse").c_str(), O_WRONLY | O_CREAT, 0644);
            if (fd < 0 || ftruncate(fd, 64 * MiB) != 0 || pwrite(fd, "x", 1, 40 * MiB) != 1)
                return 1;
            close(fd);
            for (const std::string name : {"data", "sparse"}) {
                const std::string copied = root + "/" + name + ".copy";
                if (CopyFileWithProgress(context, refusals, from + name, copied) <= 0)
                    return 2;
                if (std::system(("cmp -s '" + from + name + "' '" + copied + "'").c_str()) != 0)
                    return 3;
                if ((kind == "btrfs" || kind == "xfs") && !SharesItsBlocks(copied))
                    return 4;
            }
            struct stat sparse = {};
            if (stat((root + "/sparse.copy").c_str(), &sparse) != 0 || sparse.st_blocks * 512 > 8 * MiB)
                return 5;
            return FilesBelow(root).size() == (kind == "tmpfs" ? 2u : 4u) ? 0 : 6;
        };
        const std::optional<int> status =
            kind == "tmpfs" ? InPrivateTmpfs(root, 128 * MiB, body) : OnFileSystemOfItsOwn(root, kind, body);
        tried += status.has_value();
        EXPECT_EQ(status.value_or(0), 0);
    }
    if (tried == 0)
        GTEST_SKIP() << "this machine mounts none of them";
}

// Links to a file, to a directory, to nothing and to themselves all arrive as links with the same text
// and their own times; a file the destination had under that name is replaced.
TEST_F(FileCopy, CopiesSymbolicLinksAsLinks)
{
    MakeFile(src("target"), "the target's contents");
    std::filesystem::create_directories(src("folder"));
    const std::pair<const char*, const char*> links[] = {
        {"to-file", "target"}, {"to-folder", "folder"},       {"dangling", "nowhere/at/all"},
        {"loop", "loop"},      {"absolute", "/etc/hostname"},
    };
    const timespec times[2] = {{1600000000, 111}, {1600000123, 456789}};
    for (const auto& [name, text] : links) {
        SCOPED_TRACE(name);
        ASSERT_EQ(symlink(text, src(name).c_str()), 0);
        ASSERT_EQ(utimensat(AT_FDCWD, src(name).c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
        MakeFile(dst(name), "an older regular file");
        EXPECT_EQ(copy(name), qint64(std::strlen(text)));
        struct stat copied = {}; // before the text is read, which moves the atime
        ASSERT_EQ(lstat(dst(name).c_str(), &copied), 0);
        EXPECT_EQ(std::filesystem::read_symlink(dst(name)).string(), text);
        EXPECT_EQ(std::tuple(copied.st_mtim.tv_sec, copied.st_mtim.tv_nsec, copied.st_atim.tv_nsec),
                  std::tuple(1600000123L, 456789L, 111L));
        EXPECT_EQ(observer.fileProgress.back(), 100);
    }
    EXPECT_EQ(ReadFile(src("target")), "the target's contents");
    EXPECT_EQ(statistics.errors, 0);
    EXPECT_EQ(ListDirectory(DirectoryHandle(dst()), MaskAll).size(), std::size(links));
}

// 120 levels and more than 6,000 bytes, longer than one system call takes, with files on every tenth.
TEST_F(FileCopy, TreeOfAnyDepthIsBackedUpInFull)
{
    addSet();
    std::string relative;
    std::vector<std::string> files;
    for (int level = 0; level < 120; ++level) {
        relative += std::string(50, static_cast<char>('a' + level % 26)) + "/";
        bool created = false;
        ASSERT_TRUE(OpenOrCreateDirectory(src(relative), created));
        if (level % 10 == 9) {
            files.push_back(relative + "file");
            ReplacementFile file(src(files.back()));
            file.write(std::to_string(level));
            file.commit();
        }
    }
    ASSERT_GT(src(relative).size(), 6000u);
    runBackup();
    EXPECT_EQ(statistics.errors, 0);
    EXPECT_EQ(statistics.filesCopied, qint64(files.size()));
    for (const std::string& file : files)
        EXPECT_EQ(File::GetFile(dst(file)).Size(), File::GetFile(src(file)).Size()) << file.size();
    statistics = {};
    runBackup();
    EXPECT_EQ(statistics.filesCopied, 0);
    EXPECT_EQ(statistics.directoriesSearched, 121);
    // std::filesystem cannot remove a tree this deep; rm works relative to open directories.
    EXPECT_EQ(std::system(("rm -rf '" + src() + "' '" + dst() + "'").c_str()), 0);
}

} // namespace
} // namespace kelvo::test
