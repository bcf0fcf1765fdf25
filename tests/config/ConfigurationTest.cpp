#include "config/Configuration.h"

#include "config/GeneralSettingKeys.h"
#include "config/RunRecords.h"
#include "config/SetRules.h"
#include "platform/Failure.h"
#include "platform/SettingsStore.h"
#include "support/StoredSets.h"
#include "support/TestSupport.h"

#include <QFile>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <tuple>
#include <type_traits>
#include <variant>

using namespace Qt::Literals::StringLiterals;

namespace kelvo {
namespace {

const QString App = u"Kelvo"_s, Stamp = u"01/02/2026 10:00:00"_s;

BackupSets NamedSets(const QString& words)
{
    BackupSets sets;
    for (const QString& name : words.split(u' ')) {
        BackupSet& set = sets.emplace_back();
        std::tie(set.SetName, set.SourceDirFile, set.DestDir) =
            std::tuple(name, u"/src/"_s + name, u"/dest/"_s + name);
        set.flEnabled = true;
    }
    return sets;
}

class ConfigurationTest : public testing::Test
{
protected:
    QString Stored() { return test::StoredSetNames(store).join(u' '); }

    test::IsolatedHome home;
    SettingsStore store;
    Configuration config;
};

// Every field away from its default; in round r each flag holds bit r of its position, so a field that
// is read under another field's key differs from it in one round at least.
void SetEveryField(Configuration& config, int round)
{
    int position = 0;
    const auto flag = [&] { return bool((++position >> round) & 1); };
    const auto text = [&] { return u"text %1.%2"_s.arg(++position).arg(round); };
    for (const GeneralSettingKey& key : GeneralSettingKeys()) {
        std::visit(
            [&](auto field) {
                using Value = std::decay_t<decltype(config.settings.*field)>;
                if constexpr (std::is_same_v<Value, bool>)
                    config.settings.*field = flag();
                else if constexpr (std::is_same_v<Value, qint16>)
                    config.settings.*field = qint16(key.minimum + ++position + round);
                else
                    config.settings.*field = key.choices.isEmpty() ? text() : key.choices.at(round % 2);
            },
            key.field);
    }
    BackupSet& set = config.sets.at(0);
    set.SetName = u"Docs"_s;
    for (QString* field : {&set.SourceDirFile, &set.DestDir, &set.CopyOptions, &set.SyncOptions,
                           &set.ArchiveOptions, &set.ArchiveSubDir, &set.Filters, &set.LastDate})
        *field = text();
    for (bool* field : {&set.flEnabled, &set.flOverwrite, &set.flSubDirectories, &set.flArchive,
                        &set.flArchiveSubDir, &set.flRemovedDeletedFiles})
        *field = flag();
    set.KeepMaxCopies = qint16(10 + round);
    set.KeepDays = qint16(9996 + round);
}

// An empty store gives the table's defaults and every field reads back as saved. Bad texts fall back with
// a warning, missing keys to their safest reading; a set recreated under a removed name keeps none of the
// old keys.
TEST_F(ConfigurationTest, ReadsBackWhatItSavedAndFallsBackSafelyFromWhatItCannot)
{
    LoadConfiguration(store, config);
    EXPECT_EQ(config.sets, BackupSets(1));
    for (const GeneralSettingKey& key : GeneralSettingKeys())
        EXPECT_EQ(StoredText(config.settings, key).toLower(), DefaultText(key).toLower()) << key.name;
    for (int round = 0; round < 4; ++round) {
        SetEveryField(config, round);
        const Configuration saved = config;
        CommitConfiguration(store, config);
        Configuration again;
        LoadConfiguration(store, again);
        EXPECT_EQ(again.settings, saved.settings) << round;
        EXPECT_EQ(again.sets, saved.sets) << round;
    }

    store.Update(App, [](SettingsDocument& document) {
        document.DeleteSetting(u"Sets\\Docs"_s);
        for (const QString& pair :
             u"flReRun=true IntReRunTime=10000 IntLogFileSize=-1 StrStatusBarPos=XX"_s.split(u' '))
            document.SaveSetting(u"Settings"_s, pair.section(u'=', 0, 0), pair.section(u'=', 1));
        document.SaveSetting(u"Sets\\Docs"_s, u"flEnabled"_s, u"maybe"_s);
        document.SaveSetting(u"Sets\\Docs"_s, u"KeepDays"_s, u"10000"_s);
    });
    testing::internal::CaptureStderr();
    LoadConfiguration(store, config);
    const std::string warnings = testing::internal::GetCapturedStderr();
    const GeneralSettings& s = config.settings;
    EXPECT_TRUE(s.flReRun && s.IntReRunTime == 60 && s.IntLogFileSize == 0 && s.StrStatusBarPos == u"BR"_s);
    for (const char* key : {"IntReRunTime", "IntLogFileSize", "StrStatusBarPos", "KeepDays",
                            "\"Docs\": flEnabled has \"maybe\""})
        EXPECT_NE(warnings.find(key), std::string::npos) << key << ": " << warnings;
    // A hand edit that drops or spoils a key never makes the set more destructive than its safest reading.
    BackupSet safest;
    std::tie(safest.SetName, safest.SyncOptions, safest.Filters, safest.LastDate) =
        std::tuple(u"Docs"_s, u"srcToDest"_s, u"*.*"_s, u"Never Run"_s);
    safest.flArchive = true; // replaced versions are kept rather than lost
    EXPECT_EQ(config.sets, BackupSets{safest});
    config.sets[0].ArchiveSubDir = u"old"_s;
    CommitConfiguration(store, config);
    config.sets[0].flRemoved = true;
    CommitConfiguration(store, config);
    config.sets = NamedSets(u"Docs"_s);
    CommitConfiguration(store, config);
    EXPECT_EQ(store.GetSetting(App, u"Sets\\Docs"_s, u"ArchiveSubDir"_s, u"missing"_s), QString());
    EXPECT_EQ(store.GetAllSettings(App, u"Sets\\Docs"_s).size(), 21);
}

// Whole sets only (11k values, and 11k + r with r below and above half a set), once, through the editor's
// Done, and never again over a file that a hand edit left without a key of every save. Each position of
// a set holds a value that only it can hold, so a shifted field shows.
TEST_F(ConfigurationTest, LegacyImportReadsWholeSetsOnceThroughDone)
{
    const auto legacySet = [](const QString& name, const QString& source) {
        return QStringList{name, source, u"/backup/"_s + name} +
               u"OpArchive OpKeep kept True False True False True"_s.split(u' ');
    };
    for (const int extra : {0, 5, 8}) {
        test::IsolatedHome fresh;
        SettingsStore own;
        const std::string file = fresh.dir() / "home/report.txt";
        test::WriteFile(file, "x");
        const QStringList values = legacySet(u"Docs"_s, u"/home/me/docs"_s) +
                                   legacySet(u"Report"_s, QString::fromStdString(file)) +
                                   QStringList(extra, u"Half"_s);
        own.Update(u"Saver"_s, [&](SettingsDocument& document) {
            document.SaveSetting(u"Settings"_s, u"IntReRunTime"_s, u"15"_s);
            for (qsizetype n = 0; n < values.size(); ++n)
                document.SaveSetting(u"Sets"_s, u"Value"_s + QString::number(n), values[n]);
        });
        int windowSteps = 0;
        LoadConfiguration(own, config, [&] { ++windowSteps; });
        EXPECT_EQ(windowSteps, 1);
        ASSERT_EQ(config.sets.size(), 2u) << extra;
        BackupSet docs = NamedSets(u"Docs"_s)[0];
        // SyncOptions and Filters are filled by the import's commit.
        std::tie(docs.SourceDirFile, docs.DestDir, docs.CopyOptions, docs.SyncOptions, docs.ArchiveOptions,
                 docs.ArchiveSubDir, docs.Filters) =
            std::tuple(u"/home/me/docs"_s, u"/backup/Docs"_s, u"OpArchive"_s, u"srcToDest"_s, u"OpKeep"_s,
                       u"kept"_s, u"*.*"_s);
        docs.flSubDirectories = docs.flArchiveSubDir = true;
        EXPECT_EQ(config.sets[0], docs);
        EXPECT_EQ(config.sets[1].SourceDirFile + u'/' + config.sets[1].Filters, QString::fromStdString(file));
        // What the older version did not know starts from its default, as on a first start.
        EXPECT_TRUE(config.settings.IntReRunTime == 15 && config.settings.flLowPriority &&
                    config.settings.IntStaleDays == 7);
        const QString saver = own.filePath(u"Saver"_s);
        EXPECT_TRUE(QFile::exists(saver + u".imported"_s) && !QFile::exists(saver));

        own.Update(App, [](SettingsDocument& document) { document.DeleteSetting(u"Settings"_s); });
        QFile::rename(saver + u".imported"_s, saver);
        Configuration again;
        LoadConfiguration(own, again, [&] { ++windowSteps; });
        EXPECT_EQ(windowSteps, 1);
        EXPECT_EQ(again.sets, config.sets);
    }
}

// Another process's view of the same store: loaded at the same moment, saved at another. What either
// changed stays; sets keep this process's order where it moved them, else the stored one. The drive a run
// found a root on outlasts every save, by any process, until the root changes.
TEST_F(ConfigurationTest, ASaveOrADraftsCommitKeepsWhatAnotherProcessChangedMeanwhile)
{
    store.SaveSetting(App, u"Settings"_s, u"StrLastRunDate"_s, Stamp);
    config.sets = NamedSets(u"Docs Mail Old"_s);
    CommitConfiguration(store, config);
    Configuration other;
    LoadConfiguration(store, other);
    // This process: a run stamps Docs and Old, the user changes one general setting and adds Own.
    config.sets[0].LastDate = config.sets[2].LastDate = Stamp;
    config.settings.flReRun = true;
    config.sets[1].KeepDays = 7;
    config.sets.push_back(NamedSets(u"Own"_s)[0]);
    // The other: edits Docs and Mail, removes Old, adds New, changes another setting.
    other.sets[0].Filters = u"*.doc"_s;
    other.sets[1].DestDir = u"/elsewhere"_s;
    other.sets[2].flRemoved = true;
    other.sets.push_back(NamedSets(u"New"_s)[0]);
    other.settings.IntReRunTime = 5;
    CommitConfiguration(store, other);
    CommitConfiguration(store, config);
    EXPECT_EQ(Stored(), u"Docs Mail New Own"_s);
    EXPECT_TRUE(config.sets[0].Filters == u"*.doc"_s && config.sets[0].LastDate == Stamp);
    EXPECT_TRUE(config.sets[1].DestDir == u"/elsewhere"_s && config.sets[1].KeepDays == 7);
    EXPECT_TRUE(config.settings.flReRun && config.settings.IntReRunTime == 5);
    EXPECT_EQ(store.GetSetting(App, u"Settings"_s, u"StrLastRunDate"_s), Stamp);

    // A set that this process edited comes back; one that it removed stays removed, in memory too.
    other = config;
    config.sets[1].flRemoved = true;
    other.sets[1].Filters = u"*.eml"_s;
    other.sets.push_back(NamedSets(u"Last"_s)[0]);
    CommitConfiguration(store, other);
    std::swap(config.sets[0], config.sets[3]);
    CommitConfiguration(store, config);
    EXPECT_EQ(Stored(), u"Own New Docs Last"_s);
    EXPECT_EQ(config.sets.size(), 4u);

    // An editor's draft outlives the countdown's reload, and its commit brings only what the editor
    // changed: another process's edit and a run's stamp meanwhile stay. A save too large for the store
    // fails as a whole: the file and memory stay as they were.
    SetsDraft draft = DraftOf(config);
    draft.sets[0].flEnabled = false;
    draft.sets.push_back(NamedSets(u"Draft"_s)[0]);
    ChangeConfiguration(store, [](Configuration& c) { c.sets[1].Filters = u"*.eml"_s; });
    LoadConfiguration(store, config);
    config.sets[1].LastDate = Stamp;
    EXPECT_TRUE(config.sets[0].flEnabled) << "the reload runs the stored sets";
    const BackupSets inMemory = config.sets;
    const QByteArray before = test::ReadFile(store.filePath(App).toStdString());
    SettingsStore full(store.directory(), before.size() + 10);
    EXPECT_THROW(CommitDraft(full, config, draft), Failure);
    EXPECT_TRUE(config.sets == inMemory && test::ReadFile(store.filePath(App).toStdString()) == before);
    CommitDraft(store, config, draft);
    EXPECT_EQ(Stored(), u"Own New Docs Last Draft"_s);
    EXPECT_FALSE(config.sets[0].flEnabled);
    EXPECT_TRUE(config.sets[1].Filters == u"*.eml"_s && config.sets[1].LastDate == Stamp);

    const QString backup = u"/mnt/backup ext4"_s, system = u"/ ext4"_s;
    Configuration window;
    LoadConfiguration(store, window);
    // A run of the command line stores what it learnt; a run in the window learnt Own in memory.
    BackupSets ran = config.sets;
    ran[0].SourceDrive = system;
    ran[0].DestDrive = ran[1].DestDrive = backup;
    StoreRunRecords(store, ran);
    window.sets[0].DestDrive = backup;
    window.settings.flReRun = true;
    CommitConfiguration(store, window);
    EXPECT_TRUE(window.sets[0].SourceDrive == system && window.sets[0].DestDrive == backup &&
                window.sets[1].DestDrive == backup);

    // Another process points Own at a new destination: it starts afresh, and neither a drive the window
    // learnt for the old one nor a run of the old one is laid over it.
    ChangeConfiguration(store, [](Configuration& c) { c.sets[0].DestDir = u"/media/usb"_s; });
    window.sets[0].DestDrive = u"/mnt/other ext4"_s;
    CommitConfiguration(store, window);
    StoreRunRecords(store, ran);
    LoadConfiguration(store, window);
    EXPECT_TRUE(window.sets[0].DestDir == u"/media/usb"_s && window.sets[0].DestDrive.isEmpty() &&
                window.sets[0].SourceDrive == system);
    // This process changes a source: that root starts afresh, the others keep their drives.
    window.sets[0].SourceDirFile = u"/home/me/new"_s;
    CommitConfiguration(store, window);
    EXPECT_TRUE(window.sets[0].SourceDrive.isEmpty() && window.sets[1].DestDrive == backup);
}

class SetRules : public testing::Test
{
protected:
    SetRules()
    {
        std::filesystem::create_directories(dir / "source/old");
        std::filesystem::create_directories(dir / "backup/kept");
    }
    QString Path(const char* name) const { return QString::fromStdString(dir / name); }
    std::optional<SetProblem> Problem(const QString& name, const QString& source, const QString& destination,
                                      const std::function<void(BackupSet&)>& change = {}) const
    {
        BackupSets sets(1);
        std::tie(sets[0].SetName, sets[0].SourceDirFile, sets[0].DestDir) =
            std::tie(name, source, destination);
        if (change)
            change(sets[0]);
        return FindSetProblem(sets, 0, !change);
    }

    const test::TempDir dir;
    const QString source = Path("source"), backup = Path("backup");
};

// Names are letters and digits of any script with their marks, and blanks; paths are absolute, as the
// desktop program, kelvo-cli and cron each start elsewhere. A folder of the copied tree named like the
// kept-copies folder would be backed up into it, where kept copies replace its files.
TEST_F(SetRules, NamesOfAnyScriptAbsolutePathsAndNoKeptCopiesFolderInTheCopiedTree)
{
    const auto kind = [](const std::optional<SetProblem>& problem) {
        return problem ? std::optional(problem->kind) : std::nullopt;
    };
    for (const QString& name : {u"Docs 2"_s, u"Müller Фото 写真 हिंदी"_s, u"Mu\u0308ller"_s, u"\U0001D49C"_s})
        EXPECT_EQ(kind(Problem(name, source, backup)), std::nullopt) << name.toStdString();
    for (const QString& name : {u"\u0308u"_s, u"a-b"_s, u"a_b"_s, u"a\tb"_s, u"\U0001F600"_s})
        EXPECT_EQ(kind(Problem(name, source, backup)), SetProblemKind::NameCharacters) << name.toStdString();
    for (const QString& relative : {u"source"_s, u"~/source"_s, u"./backup"_s}) {
        EXPECT_EQ(kind(Problem(u"Docs"_s, relative, backup)), SetProblemKind::RelativeSource);
        EXPECT_EQ(kind(Problem(u"Docs"_s, source, relative)), SetProblemKind::RelativeDestination);
    }

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
        const std::optional<SetProblem> problem = Problem(u"Docs"_s, source, backup, [&](BackupSet& set) {
            std::tie(set.SyncOptions, set.ArchiveOptions, set.ArchiveSubDir) =
                std::tuple(QString::fromLatin1(sync), u"OpKeep"_s, QString::fromLatin1(subDirectory));
            set.flSubDirectories = set.flArchiveSubDir = true;
            set.flArchive = keeps;
        });
        EXPECT_EQ(problem ? std::optional(std::pair(problem->kind, problem->subject)) : std::nullopt,
                  refused ? std::optional(std::pair(SetProblemKind::SubDirectoryBackedUp, Path(refused)))
                          : std::nullopt)
            << sync << " " << subDirectory;
    }
}

} // namespace
} // namespace kelvo
