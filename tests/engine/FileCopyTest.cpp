#include "EngineFixture.h"

#include "engine/FileCopy.h"
#include "engine/RunStopped.h"
#include "platform/Failure.h"
#include "platform/FileSystem.h"

#include <algorithm>
#include <filesystem>
#include <sys/stat.h>

namespace kelvo::test {
namespace {

class FileCopy : public EngineTest
{
protected:
    qint64 copy(const std::string& from, const std::string& to) { return CopyFileWithProgress(context, from, to); }
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
    for (const qint64 size : {qint64(0), qint64(1), qint64(2048), qint64(2049), qint64(600000)}) {
        SCOPED_TRACE(size);
        const std::string name = "f" + std::to_string(size);
        MakeFile(src(name), Pattern(size));
        MakeFile(dst(name), QByteArray(700000, 'x'));
        observer.fileProgress.clear();
        EXPECT_EQ(copy(src(name), dst(name)), std::max<qint64>(size, 1));
        EXPECT_EQ(ReadFile(dst(name)), Pattern(size));
        EXPECT_TRUE(std::is_sorted(observer.fileProgress.begin(), observer.fileProgress.end()));
        EXPECT_EQ(observer.fileProgress.back(), 100);
    }
    EXPECT_EQ(statistics.errors, 0);
}

TEST_F(FileCopy, CarriesTimesAndAttributesAndLeavesTheSourceAlone)
{
    MakeFile(src("report.doc"), "contents", 1600000000);
    chmod(src("report.doc").c_str(), 0444);
    const File before = File::GetFile(src("report.doc"));

    ASSERT_EQ(copy(src("report.doc"), dst("report.doc")), 8);

    const File source = File::GetFile(src("report.doc"));
    const File copied = File::GetFile(dst("report.doc"));
    EXPECT_EQ(copied.DateLastModified(), source.DateLastModified());
    EXPECT_EQ(copied.DateLastAccessed(), before.DateLastAccessed());
    EXPECT_EQ(copied.DateCreated(), source.DateCreated());
    EXPECT_EQ(copied.Attributes(), source.Attributes());
    EXPECT_TRUE(copied.Attributes() & AttrReadOnly);
    EXPECT_EQ(source.Attributes(), before.Attributes());
    EXPECT_EQ(observer.copyActiveStates, (std::vector<bool>{true, false}));
}

TEST_F(FileCopy, FailureKeepsTheOldDestinationAndCountsOneError)
{
    MakeFile(dst("a"), "old backup");
    // A directory opens but cannot be read: the copy fails after it has started.
    std::filesystem::create_directories(src("a"));
    EXPECT_EQ(copy(src("a"), dst("a")), 0);
    EXPECT_EQ(ReadFile(dst("a")), "old backup");
    EXPECT_EQ(statistics.errors, 1);
    EXPECT_EQ(observer.copyActiveStates.back(), false);

    // A source that vanished before the copy.
    EXPECT_EQ(copy(src("missing"), dst("a")), 0);
    EXPECT_EQ(statistics.errors, 2);
    EXPECT_EQ(FilesBelow(dst()), std::vector<std::string>{"a"});
}

TEST_F(FileCopy, StopBetweenChunksLeavesNoTemporaryFile)
{
    MakeFile(src("big"), Pattern(1 << 20));
    MakeFile(dst("big"), "old");
    observer.onYield = [this] { observer.stop = observer.yields > 3; };
    EXPECT_THROW(copy(src("big"), dst("big")), RunStopped);
    EXPECT_EQ(ReadFile(dst("big")), "old");
    EXPECT_EQ(FilesBelow(dst()), std::vector<std::string>{"big"});
    EXPECT_EQ(statistics.errors, 0);
}

// The run's handler counts a full disk; the copy only passes it on.
TEST_F(FileCopy, FullDiskIsPassedOnAndKeepsTheOldDestination)
{
    MakeFile(src("big"), Pattern(200000));
    const std::optional<int> status = InPrivateTmpfs(dst(), 64 * 1024, [this] {
        MakeFile(dst("big"), "old backup");
        try {
            copy(src("big"), dst("big"));
            return 1;
        } catch (const Failure& failure) {
            if (failure.number() != ErrDiskFull)
                return 2;
        }
        if (ReadFile(dst("big")) != "old backup" || FilesBelow(dst()).size() != 1)
            return 3;
        return statistics.errors == 0 ? 0 : 4;
    });
    if (!status)
        GTEST_SKIP() << "user namespaces are not available";
    EXPECT_EQ(*status, 0);
}

} // namespace
} // namespace kelvo::test
