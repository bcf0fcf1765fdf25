#include "config/SetRules.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace Qt::Literals::StringLiterals;

namespace kelvo {
namespace {

// A folder of the copied tree named like the kept-copies folder is backed up into it, where kept
// copies would replace its files.
TEST(SetRules, KeptCopiesFolderMustNotBeAFolderOfTheCopiedTree)
{
    const test::TempDir dir;
    std::filesystem::create_directories(dir / "source/old");
    std::filesystem::create_directories(dir / "backup/kept");
    struct Case
    {
        const char* sync;
        const char* subDirectory;
        bool keeps;
        const char* refusedFolder; // relative to dir, or nothing
    };
    const Case cases[] = {
        {"srcToDest", "old", true, "source/old"},
        {"srcToDest", "other", true, nullptr},
        {"srcToDest", "kept", true, nullptr}, // the destination's kept copies are the folder itself
        {"srcToDest", "old", false, nullptr},
        {"destToSrc", "kept", true, "backup/kept"},
        {"destToSrc", "old", true, nullptr},
        {"srcAndDest", "old", true, nullptr}, // each side's folder of that name holds kept copies
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.sync) + " " + c.subDirectory);
        BackupSet set;
        set.SetName = u"Docs"_s;
        set.SourceDirFile = QString::fromStdString(dir / "source");
        set.DestDir = QString::fromStdString(dir / "backup");
        set.SyncOptions = QString::fromLatin1(c.sync);
        set.flSubDirectories = true;
        set.flArchive = c.keeps;
        set.flArchiveSubDir = true;
        set.ArchiveSubDir = QString::fromLatin1(c.subDirectory);
        set.ArchiveOptions = u"OpKeep"_s;
        const std::optional<SetProblem> problem = FindSetProblem({set}, 0, false);
        if (c.refusedFolder) {
            ASSERT_TRUE(problem);
            EXPECT_EQ(problem->kind, SetProblemKind::SubDirectoryBackedUp);
            EXPECT_EQ(problem->subject, QString::fromStdString(dir / c.refusedFolder));
        } else {
            EXPECT_FALSE(problem) << problem->subject.toStdString();
        }
    }
}

} // namespace
} // namespace kelvo
