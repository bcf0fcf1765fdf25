#include "config/SetRules.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace Qt::Literals::StringLiterals;

namespace kelvo {
namespace {

class SetRules : public testing::Test
{
protected:
    SetRules()
    {
        std::filesystem::create_directories(dir / "source/old");
        std::filesystem::create_directories(dir / "backup/kept");
    }
    QString Path(const char* name) const { return QString::fromStdString(dir / name); }
    static BackupSet Set(const QString& name, const QString& source, const QString& destination)
    {
        BackupSet set;
        set.SetName = name;
        set.SourceDirFile = source;
        set.DestDir = destination;
        return set;
    }

    const test::TempDir dir;
};

// Names are letters and digits of any script with their marks, and blanks; paths are absolute, as the
// desktop program, kelvo-cli and cron each start in another working directory.
TEST_F(SetRules, NamesOfAnyScriptAndOnlyAbsolutePaths)
{
    using enum SetProblemKind;
    const QString source = Path("source"), backup = Path("backup");
    const std::tuple<QString, QString, QString, std::optional<SetProblemKind>> cases[] = {
        {u"Docs 2"_s, source, backup, std::nullopt},
        {u"Müller Фото 写真 हिंदी"_s, source, backup, std::nullopt},
        {u"Mu\u0308ller"_s, source, backup, std::nullopt}, // decomposed
        {u"\U0001D49C"_s, source, backup, std::nullopt},   // a letter beyond the first plane
        {u"\u0308u"_s, source, backup, NameCharacters},
        {u"a-b"_s, source, backup, NameCharacters},
        {u"a_b"_s, source, backup, NameCharacters},
        {u"a\tb"_s, source, backup, NameCharacters},
        {u"\U0001F600"_s, source, backup, NameCharacters},
        {u"Docs"_s, u"source"_s, backup, RelativeSource},
        {u"Docs"_s, u"~/source"_s, backup, RelativeSource},
        {u"Docs"_s, source, u"backup"_s, RelativeDestination},
        {u"Docs"_s, source, u"./backup"_s, RelativeDestination},
    };
    for (const auto& [name, from, to, expected] : cases) {
        const std::optional<SetProblem> problem = FindSetProblem({Set(name, from, to)}, 0, true);
        EXPECT_EQ(problem ? std::optional(problem->kind) : std::nullopt, expected)
            << name.toStdString() << " " << from.toStdString() << " " << to.toStdString();
    }
}

// A folder of the copied tree named like the kept-copies folder is backed up into it, where kept
// copies would replace its files.
TEST_F(SetRules, KeptCopiesFolderMustNotBeAFolderOfTheCopiedTree)
{
    const std::tuple<const char*, const char*, bool, const char*> cases[] = {
        // sync, kept-copies folder, whether copies are kept, the folder refused
        {"srcToDest", "old", true, "source/old"},
        {"srcToDest", "other", true, nullptr},
        {"srcToDest", "kept", true, nullptr}, // the destination's kept copies are the folder itself
        {"srcToDest", "old", false, nullptr},
        {"destToSrc", "kept", true, "backup/kept"},
        {"destToSrc", "old", true, nullptr},
        {"srcAndDest", "old", true, nullptr}, // each side's folder of that name holds kept copies
    };
    for (const auto& [sync, subDirectory, keeps, refused] : cases) {
        BackupSet set = Set(u"Docs"_s, Path("source"), Path("backup"));
        set.SyncOptions = QString::fromLatin1(sync);
        set.ArchiveOptions = u"OpKeep"_s;
        set.ArchiveSubDir = QString::fromLatin1(subDirectory);
        set.flSubDirectories = set.flArchiveSubDir = true;
        set.flArchive = keeps;
        const std::optional<SetProblem> problem = FindSetProblem({set}, 0, false);
        EXPECT_EQ(problem ? std::optional(std::pair(problem->kind, problem->subject)) : std::nullopt,
                  refused ? std::optional(std::pair(SetProblemKind::SubDirectoryBackedUp, Path(refused)))
                          : std::nullopt)
            << sync << " " << subDirectory;
    }
}

} // namespace
} // namespace kelvo
