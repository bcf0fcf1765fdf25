#include "config/SetRules.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace Qt::Literals::StringLiterals;

namespace kelvo {
namespace {

// Names are letters and digits of any script with their marks, and blanks; paths are absolute, as the
// desktop program, kelvo-cli and cron each start in another working directory.
TEST(SetRules, NamesOfAnyScriptAndOnlyAbsolutePaths)
{
    const test::TempDir dir;
    std::filesystem::create_directories(dir / "source");
    const QString source = QString::fromStdString(dir / "source");
    const QString destination = QString::fromStdString(dir / "backup");
    struct Case
    {
        QString name;
        QString source;
        QString destination;
        std::optional<SetProblemKind> problem;
    };
    const Case cases[] = {
        {u"Docs 2"_s, source, destination, std::nullopt},
        {u"Müller Фото 写真 हिंदी"_s, source, destination, std::nullopt},
        {u"Mu\u0308ller"_s, source, destination, std::nullopt}, // decomposed
        {u"\U0001D49C"_s, source, destination, std::nullopt},   // a letter beyond the first plane
        {u"\u0308u"_s, source, destination, SetProblemKind::NameCharacters},
        {u"a-b"_s, source, destination, SetProblemKind::NameCharacters},
        {u"a_b"_s, source, destination, SetProblemKind::NameCharacters},
        {u"a\tb"_s, source, destination, SetProblemKind::NameCharacters},
        {u"\U0001F600"_s, source, destination, SetProblemKind::NameCharacters},
        {u"Docs"_s, u"source"_s, destination, SetProblemKind::RelativeSource},
        {u"Docs"_s, u"~/source"_s, destination, SetProblemKind::RelativeSource},
        {u"Docs"_s, source, u"backup"_s, SetProblemKind::RelativeDestination},
        {u"Docs"_s, source, u"./backup"_s, SetProblemKind::RelativeDestination},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name.toStdString() + " " + c.source.toStdString() + " " + c.destination.toStdString());
        BackupSet set;
        set.SetName = c.name;
        set.SourceDirFile = c.source;
        set.DestDir = c.destination;
        const std::optional<SetProblem> problem = FindSetProblem({set}, 0, true);
        EXPECT_EQ(problem ? std::optional(problem->kind) : std::nullopt, c.problem);
    }
}

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
