#include "EngineFixture.h"
#include "engine/FileContents.h"
#include "engine/RunStopped.h"
#include "platform/DirectoryListing.h"
#include "platform/ReplacementFile.h"

namespace kelvo::test {
namespace {

QByteArray Pattern(qint64 size)
{
    QByteArray bytes(size, '\0');
    for (qint64 i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 131 + 7) % 251);
    return bytes;
}

// A file of 64 MiB with three pieces of data and holes between them; false where holes are not kept.
bool MakeSparseFile(const std::string& path)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
    bool written = ftruncate(fd, 64 * MiB) == 0;
    for (const auto& [offset, bytes] : {std::pair{qint64(0), Pattern(4096)},
                                        {20 * MiB, Pattern(MiB)},
                                        {40 * MiB + 17, QByteArray("the end, then a hole")}})
        written = written && pwrite(fd, bytes.constData(), bytes.size(), offset) == bytes.size();
    struct stat st = {};
    close(fd);
    return written && stat(path.c_str(), &st) == 0 && st.st_blocks * 512 < 8 * MiB;
}

qint64 BlocksOf(const std::string& path)
{
    struct stat st = {};
    return stat(path.c_str(), &st) == 0 ? st.st_blocks : -1;
}

class FileCopy : public EngineTest
{
protected:
    qint64 copy(const std::string& name, const std::string& to = {}) // src(name) over dst(to or name)
    {
        return CopyFileWithProgress(context, refusals, src(name), dst(to.empty() ? name : to));
    }
    CopyRefusals refusals;
};

// The program keeps its own records in user.kelvo.*: one found on a source is not carried. Links to a
// file, a directory, nothing and themselves arrive as links with their text and own times.
TEST_F(FileCopy, CarriesTimesAttributesAndLinksAndLeavesTheSourceAlone)
{
    const std::string path = src("report.doc");
    MakeFile(path, "contents");
    ASSERT_EQ(setxattr(path.c_str(), "user.xdg.origin.url", "https://example.org/", 20, 0), 0);
    ASSERT_EQ(setxattr(path.c_str(), "user.kelvo.foreign", "from elsewhere", 14, 0), 0);
    const timespec times[2] = {{1500000000, 250}, {1600000000, 500}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
    chmod(path.c_str(), 0444);
    const int attributes = File::GetFile(path).Attributes();
    ASSERT_EQ(copy("report.doc"), 8);
    const File source = File::GetFile(path), copied = File::GetFile(dst("report.doc"));
    EXPECT_EQ(std::tuple(copied.DateLastModified(), copied.DateLastAccessed(), copied.DateCreated()),
              std::tuple(FileTime{1600000000, 500}, FileTime{1500000000, 250}, source.DateCreated()));
    EXPECT_EQ(std::tuple(copied.Attributes(), source.Attributes()), std::tuple(attributes, attributes));
    EXPECT_TRUE(attributes & AttrReadOnly);
    char value[64] = {};
    EXPECT_EQ(getxattr(dst("report.doc").c_str(), "user.xdg.origin.url", value, sizeof value), 20);
    EXPECT_STREQ(value, "https://example.org/");
    EXPECT_LT(getxattr(dst("report.doc").c_str(), "user.kelvo.foreign", value, sizeof value), 0);
    fs::create_directories(src("folder"));
    const std::pair<const char*, const char*> links[] = {{"to-file", "report.doc"},
                                                         {"to-folder", "folder"},
                                                         {"dangling", "nowhere/at/all"},
                                                         {"loop", "loop"},
                                                         {"absolute", "/etc/hostname"}};
    for (const auto& [name, text] : links) {
        ASSERT_EQ(symlink(text, src(name).c_str()), 0);
        ASSERT_EQ(utimensat(AT_FDCWD, src(name).c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
        MakeFile(dst(name), "an older regular file");
        EXPECT_EQ(copy(name), qint64(std::strlen(text)));
        struct stat link = {}; // before the text is read, which moves the atime
        ASSERT_EQ(lstat(dst(name).c_str(), &link), 0);
        EXPECT_EQ(fs::read_symlink(dst(name)).string(), text);
        EXPECT_EQ(std::tuple(link.st_mtim.tv_sec, link.st_mtim.tv_nsec, link.st_atim.tv_nsec),
                  std::tuple(1600000000L, 500L, 250L))
            << name;
    }
    EXPECT_EQ(std::pair(ReadFile(path), statistics.errors), std::pair(QByteArray("contents"), qint64(0)));
    EXPECT_EQ(ListDirectory(DirectoryHandle(dst()), MaskAll).size(), 1 + std::size(links));
}

// The run's handler counts a full disk; the copy only passes it on.
TEST_F(FileCopy, FailuresKeepTheOldDestinationAndCountOneErrorEach)
{
    MakeFile(dst("a"), "old backup");
    fs::create_directories(src("a")); // opens but cannot be read: fails once started
    EXPECT_EQ(copy("a") + copy("missing", "a"), 0);
    EXPECT_EQ(std::tuple(statistics.errors, observer.copyActiveStates.back(), ReadFile(dst("a")),
                         FilesBelow(dst())),
              std::tuple(2, false, QByteArray("old backup"), Files{"a"}));
    MakeFile(src("big"), Pattern(200000));
    const std::optional<int> status = InPrivateTmpfs(dst(), 64 * 1024, [this] {
        MakeFile(dst("big"), "old backup");
        const bool passedOn = FailureNumber([this] { copy("big"); }) == ErrDiskFull;
        return passedOn && ReadFile(dst("big")) == "old backup" && FilesBelow(dst()).size() == 1 &&
                       statistics.errors == 2
                   ? 0
                   : 1;
    });
    EXPECT_EQ(status.value_or(0), 0);
}

// How a file system answers the kernel's copy calls, played over the real calls: the errno of a refused
// clone (0 clones the whole file in one call) and of a refused in-kernel copy (-1: some FUSE copy nothing).
std::pair<int, int> g_refusals;

int PlayedClone(int destinationFd, int sourceFd)
{
    errno = g_refusals.first;
    if (errno != 0)
        return -1;
    struct stat source = {};
    fstat(sourceFd, &source);
    off_t in = 0, out = 0;
    while (in < source.st_size)
        if (copy_file_range(sourceFd, &in, destinationFd, &out, source.st_size - in, 0) <= 0)
            return -1;
    return 0;
}

ssize_t PlayedCopyRange(int sourceFd, off_t* sourceOffset, int destinationFd, off_t* destinationOffset,
                        std::size_t length)
{
    errno = std::max(g_refusals.second, 0);
    if (g_refusals.second != 0)
        return g_refusals.second < 0 ? 0 : -1;
    return SystemKernelCopyCalls().copyRange(sourceFd, sourceOffset, destinationFd, destinationOffset,
                                             length);
}

// Each way replaces a longer old copy by exactly the source's bytes (an empty source gives 1) and keeps
// holes (a played clone fills them); a stop leaves the old copy and no partial file, also where the new
// file needs a name while written (no O_TMPFILE, as on FUSE); a source changed during its copy keeps the
// time from before, so the next run copies it again.
TEST_F(FileCopy, EachWayCopiesExactlyAndAStopLeavesTheOldCopy)
{
    UseKernelCopyCalls({PlayedClone, PlayedCopyRange});
    for (const std::pair<int, int>& refusals :
         {std::pair{0, 0}, {EOPNOTSUPP, 0}, {EXDEV, EXDEV}, {ENOTTY, -1}, {EINVAL, EINVAL}}) {
        SCOPED_TRACE(::testing::Message() << refusals.first << " " << refusals.second);
        g_refusals = refusals;
        freshSet();
        for (const qint64 size : {0LL, 1LL, 256LL * 1024 + 1, 4 * MiB + 1, 9 * MiB}) {
            const std::string name = "f" + std::to_string(size);
            MakeFile(src(name), Pattern(size));
            MakeFile(dst(name), QByteArray(700000, 'x'));
            EXPECT_EQ(copy(name), std::max<qint64>(size, 1));
            EXPECT_TRUE(ReadFile(dst(name)) == Pattern(size)) << size;
        }
        if (refusals.first != 0 && MakeSparseFile(src("disk.img"))) {
            EXPECT_EQ(copy("disk.img"), 64 * MiB);
            EXPECT_LE(BlocksOf(dst("disk.img")), BlocksOf(src("disk.img")) + 64);
            EXPECT_TRUE(ReadFile(src("disk.img")) == ReadFile(dst("disk.img")));
        }
        MakeFile(src("big"), Pattern(12 * MiB), 1000);
        MakeFile(dst("big"), "old");
        const Files before = FilesBelow(dst());
        for (const bool named : {false, true}) {
            ForceNamedReplacements(named);
            observer.yields = 0;
            observer.onYield = [&] {
                observer.stop = observer.yields >= 1;
                EXPECT_EQ(ListDirectory(DirectoryHandle(dst()), MaskAll).size(), before.size());
            };
            EXPECT_THROW(copy("big"), RunStopped);
            ForceNamedReplacements(false);
            EXPECT_EQ(ReadFile(dst("big")), "old");
            EXPECT_EQ(FilesBelow(dst()), before);
        }
        observer.stop = false;
        observer.yields = 0;
        observer.onYield = [this] {
            if (observer.yields == 1)
                MakeFile(src("big"), "rewritten", 2000);
        };
        EXPECT_GT(copy("big"), 0);
        EXPECT_EQ(
            std::tuple(File::GetFile(dst("big")).DateLastModified().seconds, statistics.errors,
                       NeedsCopy(clock, configuration.sets[0], src("big"), dst("big"), CopyCheck::AfterCopy)),
            std::tuple(1000, 0, true));
        observer.onYield = {};
    }
    UseKernelCopyCalls(SystemKernelCopyCalls());
}

// Where the machine has them: btrfs and XFS clone, FUSE has no unnamed files, and a copy into a tmpfs goes
// by reads and writes; each copies exactly and keeps the holes.
TEST_F(FileCopy, RealFileSystemsCloneOrCopyExactly)
{
    int tried = 0;
    for (const std::string kind : {"btrfs", "xfs", "fuse", "tmpfs"}) {
        const std::string root = dst(kind);
        fs::create_directories(root);
        const std::string from = kind == "tmpfs" ? src() : root + "/"; // a tmpfs is the destination only
        const auto body = [&] {
            MakeFile(from + "data", Pattern(9 * MiB));
            if (!MakeSparseFile(from + "sparse"))
                return 1;
            for (const std::string name : {"data", "sparse"}) {
                const std::string copied = root + "/" + name + ".copy";
                if (CopyFileWithProgress(context, refusals, from + name, copied) <= 0 ||
                    ReadFile(from + name) != ReadFile(copied))
                    return 2;
            }
            if (BlocksOf(root + "/sparse.copy") * 512 > 8 * MiB)
                return 4;
            return FilesBelow(root).size() == (kind == "tmpfs" ? 2u : 4u) ? 0 : 5;
        };
        const std::optional<int> status =
            kind == "tmpfs" ? InPrivateTmpfs(root, 128 * MiB, body) : OnFileSystemOfItsOwn(root, kind, body);
        tried += status.has_value();
        EXPECT_EQ(status.value_or(0), 0) << kind;
    }
    if (tried == 0)
        GTEST_SKIP() << "this machine mounts none of them";
}

// 120 levels and more than 6,000 bytes, longer than one system call takes, with files on every tenth.
TEST_F(FileCopy, TreeOfAnyDepthIsBackedUpInFull)
{
    addSet();
    std::string relative;
    Files files;
    for (int level = 0; level < 120; ++level) {
        relative += std::string(50, char('a' + level % 26)) + "/";
        bool created = false;
        ASSERT_TRUE(OpenOrCreateDirectory(src(relative), created));
        if (level % 10 == 9) {
            ReplacementFile file(src(relative + "file"));
            file.write(std::to_string(level));
            file.commit();
            files.push_back(relative + "file");
        }
    }
    runBackup();
    EXPECT_EQ(std::tuple(statistics.errors, statistics.filesCopied), std::tuple(0, qint64(files.size())));
    for (const std::string& file : files)
        EXPECT_EQ(File::GetFile(dst(file)).Size(), File::GetFile(src(file)).Size()) << file.size();
    runBackup();
    EXPECT_EQ(std::tuple(statistics.filesCopied, statistics.directoriesSearched), std::tuple(12, 242));
    // std::filesystem cannot remove a tree this deep; rm works relative to open directories.
    EXPECT_EQ(std::system(("rm -rf '" + src() + "' '" + dst() + "'").c_str()), 0);
}

} // namespace
} // namespace kelvo::test
