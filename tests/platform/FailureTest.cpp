#include "platform/Failure.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

namespace kelvo {
namespace {

TEST(Failure, MapsErrnoToTheRuntimeNumbersAndCarriesTheirDescriptions)
{
    const std::pair<int, int> table[] = {
        {ENOENT, 53}, {ENOTDIR, 76}, {EACCES, 70}, {EPERM, 70},  {EROFS, 70}, {ENOSPC, 61},
        {EDQUOT, 61}, {EINVAL, 5},   {EIO, 75},    {EEXIST, 75}, {EXDEV, 75}, {EISDIR, 75},
    };
    for (const auto& [err, number] : table)
        EXPECT_EQ(ErrorNumberFromErrno(err), number) << "errno " << err;
    EXPECT_EQ(ErrorDescription(76), QStringLiteral("Path not found"));

    const Failure failure(ErrDiskFull, "/backup/a.doc");
    EXPECT_EQ(failure.number(), 61);
    EXPECT_EQ(failure.description(), QStringLiteral("Disk full"));
    EXPECT_NE(std::string(failure.what()).find("/backup/a.doc"), std::string::npos);
}

int RaisedNumber(int err, const std::string& path)
{
    try {
        RaiseErrno(err, path);
    } catch (const Failure& failure) {
        return failure.number();
    }
    return 0;
}

TEST(Failure, MissingFileIs53AndMissingDirectoryOnThePathIs76)
{
    const test::TempDir dir;
    std::filesystem::create_directory(dir / "sub");
    EXPECT_EQ(RaisedNumber(ENOENT, dir / "sub/missing.txt"), 53);
    EXPECT_EQ(RaisedNumber(ENOENT, dir / "gone/missing.txt"), 76);
    EXPECT_EQ(RaisedNumber(ENOENT, dir / "gone/"), 53); // the entry itself is the directory
    EXPECT_EQ(RaisedNumber(ENOENT, "relative-name"), 53);
    EXPECT_EQ(RaisedNumber(EACCES, dir / "gone/x"), 70);
}

} // namespace
} // namespace kelvo
