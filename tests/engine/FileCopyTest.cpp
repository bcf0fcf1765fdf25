#include "engine/FileCopy.h"

#include "EngineFixture.h"
#include "engine/Comparison.h"
#include "engine/RunStopped.h"
#include "platform/Failure.h"
#include "platform/FileSystem.h"
#include "platform/ReplacementFile.h"

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
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
        return CopyFileWithProgress(context, src(name), dst(to.empty() ? name : to));
    }
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

// An empty source gives 1 and an empty copy; an old destination longer than the source is replaced
// by exactly the source's bytes.
TEST_F(FileCopy, CopiesEveryChunkSizeExactlyWithProgressOnlyForward)
{
    for (const qint64 size : {0, 1, 2048, 2049, 600000}) {
        SCOPED_TRACE(size);
        const std::string name = "f" + std::to_string(size);
        MakeFile(src(name), Pattern(size));
        MakeFile(dst(name), QByteArray(700000, 'x'));
        observer.fileProgress.clear();
        EXPECT_EQ(copy(name), std::max<qint64>(size, 1));
        EXPECT_EQ(ReadFile(dst(name)), Pattern(size));
        EXPECT_TRUE(progressRanForwardToTheEnd());
    }
    EXPECT_EQ(statistics.errors, 0);
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

// The copy holds what the source held when it was read; its time is the one from before the change,
// so the next run copies the file again.
TEST_F(FileCopy, SourceThatShrinksWhileItIsCopiedIsCopiedAgain)
{
    addSet();
    MakeFile(src("growing.log"), Pattern(1 << 20), 1000);
    observer.onYield = [this] {
        if (observer.yields == 3)
            MakeFile(src("growing.log"), "rewritten", 2000);
    };
    EXPECT_GT(copy("growing.log"), 0);
    EXPECT_EQ(File::GetFile(dst("growing.log")).DateLastModified().seconds, 1000);
    EXPECT_TRUE(NeedsCopy(context, 0, src("growing.log"), dst("growing.log"), CopyCheck::AfterCopy));
}

// Also where the new file must have a name while it is written (no O_TMPFILE).
TEST_F(FileCopy, StopBetweenChunksLeavesNoPartialFile)
{
    MakeFile(src("big"), Pattern(1 << 20));
    MakeFile(dst("big"), "old");
    for (const bool named : {false, true}) {
        ForceNamedReplacements(named);
        observer.yields = 0;
        observer.onYield = [this] {
            observer.stop = observer.yields > 3;
            EXPECT_EQ(ListDirectory(DirectoryHandle(dst()), MaskAll), std::vector<std::string>{"big"});
        };
        EXPECT_THROW(copy("big"), RunStopped);
        ForceNamedReplacements(false);
        EXPECT_EQ(ReadFile(dst("big")), "old");
        EXPECT_EQ(FilesBelow(dst()), std::vector<std::string>{"big"});
    }
    EXPECT_EQ(statistics.errors, 0);
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

// Only the data is read and written: the copy takes about the room of the source, not its length.
TEST_F(FileCopy, SparseFileStaysSparse)
{
    constexpr qint64 size = 256LL << 20;
    const int fd = open(src("disk.img").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, size), 0);
    const std::pair<qint64, QByteArray> pieces[] = {
        {0, Pattern(4096)}, {100LL << 20, Pattern(1 << 20)}, {(200LL << 20) + 17, "the end, then a hole"}};
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
    EXPECT_GE(observer.yields, size / (256 * 1024)) << "the holes pace the yields too";
}

// 120 levels and more than 6,000 bytes, longer than one system call takes, with files on every tenth.
TEST_F(FileCopy, TreeOfAnyDepthIsBackedUpInFull)
{
    addSet();
    std::string relative;
    std::vector<std::string> files;
    for (int level = 0; level < 120; ++level) {
        relative += std::string(50, static_cast<char>('a' + level % 26)) + "/";
        CreateDirectory(src(relative));
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
