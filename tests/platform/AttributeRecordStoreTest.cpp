#include "platform/AttributeRecordStore.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <fstream>

namespace kelvo {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

constexpr FileKey Report{8, 1001};
constexpr FileKey Photo{8, 1002};

int LineCount(const std::string& path)
{
    return static_cast<int>(ReadFile(path).count('\n'));
}

// Two stores on one file stand for two processes.
TEST(AttributeRecordStore, EachProcessSeesTheOthersChangesAndForgetsAFileThatIsGone)
{
    TempDir dir;
    AttributeRecordStore first(dir / "sub/records");
    AttributeRecordStore second(dir / "sub/records");
    first.Set(Report, "user.kelvo.created", "1600000000.5");
    first.Set(Report, "user.kelvo.archive", "8 1600000000.5");
    first.Set(Photo, "user.kelvo.archive", "3 1700000000.0");
    EXPECT_EQ(second.Get(Report, "user.kelvo.created"), "1600000000.5");

    second.Remove(Report, "user.kelvo.archive");
    EXPECT_EQ(first.Get(Report, "user.kelvo.archive"), std::nullopt);
    second.Set(Photo, "user.kelvo.archive", "value with spaces");
    EXPECT_EQ(first.Get(Photo, "user.kelvo.archive"), "value with spaces");

    first.Forget(Report);
    EXPECT_EQ(second.Get(Report, "user.kelvo.created"), std::nullopt);
    EXPECT_EQ(second.Get(Photo, "user.kelvo.archive"), "value with spaces");
}

TEST(AttributeRecordStore, ALoadCompactsToTheRecordsThatHold)
{
    TempDir dir;
    {
        AttributeRecordStore store(dir / "records");
        for (int i = 0; i < 50; ++i)
            store.Set(Report, "user.kelvo.archive", std::to_string(i));
        store.Set(Photo, "user.kelvo.created", "1");
        store.Remove(Photo, "user.kelvo.created");
    }
    EXPECT_EQ(LineCount(dir / "records"), 52);
    AttributeRecordStore later(dir / "records");
    EXPECT_EQ(later.Get(Report, "user.kelvo.archive"), "49");
    EXPECT_EQ(LineCount(dir / "records"), 1);
    EXPECT_EQ(later.Get(Photo, "user.kelvo.created"), std::nullopt);
}

// A process killed while it wrote a line leaves it unfinished: it counts for nothing, and the lines
// appended after it stay records of their own.
TEST(AttributeRecordStore, AnUnfinishedLastLineSpoilsNothing)
{
    TempDir dir;
    WriteFile(dir / "records", "8 1001 user.kelvo.archive 8 16\n8 1002 user.kelvo.arch");
    AttributeRecordStore store(dir / "records");
    EXPECT_EQ(store.Get(Report, "user.kelvo.archive"), "8 16");
    EXPECT_EQ(store.Get(Photo, "user.kelvo.arch"), std::nullopt);
    store.Set(Photo, "user.kelvo.created", "5");

    AttributeRecordStore later(dir / "records");
    EXPECT_EQ(later.Get(Photo, "user.kelvo.created"), "5");
    EXPECT_EQ(later.Get(Report, "user.kelvo.archive"), "8 16");
}

} // namespace
} // namespace kelvo
