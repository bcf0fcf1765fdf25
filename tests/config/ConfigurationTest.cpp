#include "config/Configuration.h"

#include "config/GeneralSettingKeys.h"
#include "config/RunRecords.h"
#include "platform/Failure.h"
#include "platform/SettingsStore.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <functional>

using namespace Qt::Literals::StringLiterals;

namespace kelvo {
namespace {

const QString App = u"Kelvo"_s;

BackupSet NamedSet(const QString& name)
{
    BackupSet set;
    set.SetName = name;
    set.SourceDirFile = u"/src/"_s + name;
    set.DestDir = u"/dest/"_s + name;
    set.flEnabled = true;
    return set;
}

QStringList StoredSetNames(const SettingsStore& store)
{
    QStringList names;
    for (const auto& pair : store.GetAllSettings(App, u"Sets"_s))
        names << pair.first;
    return names;
}

// The configuration's own store in the test's home, with what Save writes for the defaults.
class ConfigurationTest : public testing::Test
{
protected:
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
    GeneralSettings& s = config.settings;
    s.StrLogFileDir = text();
    s.IntLogFileSize = qint16(100 + round);
    s.IntReRunTime = qint16(200 + round);
    s.StrAltScreenSaver = text();
    s.StrStatusBarPos = round % 2 ? u"TL"_s : u"BL"_s;
    s.StrRealTime = text();
    for (bool* field : {&s.flLogFileOn, &s.flLogFileSuccess, &s.flLogFileErrors, &s.flLogDeletes,
                        &s.flScreenSaver, &s.flReRun, &s.flSysTray, &s.flWindowsStart, &s.flDelay,
                        &s.flShowStatusBar, &s.flStatusBarAOT, &s.flRunWhenIdle, &s.flLowPriority})
        *field = flag();
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

TEST_F(ConfigurationTest, EmptyStoreGivesTheTablesDefaultsAndEveryFieldReadsBackAsSaved)
{
    LoadConfiguration(store, config);
    EXPECT_EQ(config.sets, BackupSets(1));
    for (const GeneralSettingKey& key : GeneralSettingKeys())
        EXPECT_EQ(StoredText(config.settings, key).toLower(), DefaultText(key).toLower()) << key.name;
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        SetEveryField(config, round);
        const Configuration saved = config;
        CommitConfiguration(store, config);
        Configuration again;
        LoadConfiguration(store, again);
        EXPECT_EQ(again.settings, saved.settings);
        EXPECT_EQ(again.sets, saved.sets);
    }
}

// Sets added past what the store may hold are refused as a whole: the file stays as it was, memory
// keeps every set for the editor, and the next save that fits writes them.
TEST_F(ConfigurationTest, ASaveTooLargeForTheStoreFailsAndKeepsTheFile)
{
    config.sets = {NamedSet(u"Docs"_s)};
    CommitConfiguration(store, config);
    const std::string file = store.filePath(App).toStdString();
    const QByteArray before = test::ReadFile(file);
    SettingsStore limited(store.directory(), before.size() + 1000);

    for (int n = 0; n < 20; ++n)
        config.sets.push_back(NamedSet(u"Set"_s + QString::number(n)));
    EXPECT_THROW(CommitConfiguration(limited, config), Failure);
    EXPECT_EQ(test::ReadFile(file), before);
    EXPECT_EQ(config.sets.size(), 21u);

    config.sets.resize(2);
    CommitConfiguration(limited, config);
    EXPECT_EQ(StoredSetNames(store), (QStringList{u"Docs"_s, u"Set0"_s}));
}

TEST_F(ConfigurationTest, ReadsStoredTextsAndFallsBackWithAWarning)
{
    SaveConfiguration(store, config);
    store.Update(App, [](SettingsDocument& document) {
        document.SaveSetting(u"Settings"_s, u"flReRun"_s, u"true"_s);
        document.SaveSetting(u"Settings"_s, u"IntReRunTime"_s, u"10000"_s);
        document.SaveSetting(u"Settings"_s, u"IntLogFileSize"_s, u"-1"_s);
        document.SaveSetting(u"Settings"_s, u"StrStatusBarPos"_s, u"XX"_s);
        document.SaveSetting(u"Sets"_s, u"Docs"_s, u"Docs"_s);
        document.SaveSetting(u"Sets\\Docs"_s, u"flEnabled"_s, u"maybe"_s);
        document.SaveSetting(u"Sets\\Docs"_s, u"KeepDays"_s, u"10000"_s);
    });
    testing::internal::CaptureStderr();
    LoadConfiguration(store, config);
    const std::string warnings = testing::internal::GetCapturedStderr();

    EXPECT_TRUE(config.settings.flReRun);
    EXPECT_EQ(config.settings.IntReRunTime, 60);
    EXPECT_EQ(config.settings.IntLogFileSize, 0);
    EXPECT_EQ(config.settings.StrStatusBarPos, u"BR"_s);
    for (const char* key : {"IntReRunTime", "IntLogFileSize", "StrStatusBarPos"})
        EXPECT_NE(warnings.find(key), std::string::npos) << key << ": " << warnings;
    ASSERT_EQ(config.sets.size(), 1u);
    EXPECT_FALSE(config.sets[0].flEnabled);
    EXPECT_NE(warnings.find("\"Docs\": flEnabled has \"maybe\""), std::string::npos) << warnings;
    EXPECT_EQ(config.sets[0].KeepDays, 0) << "out of range is no limit, never a shorter one";
    EXPECT_NE(warnings.find("KeepDays"), std::string::npos) << warnings;
}

TEST_F(ConfigurationTest, ASetRecreatedUnderARemovedNameRewritesEveryKey)
{
    BackupSet old = NamedSet(u"Docs"_s);
    old.ArchiveSubDir = u"old"_s;
    config.sets = {old};
    CommitConfiguration(store, config);
    config.sets[0].flRemoved = true;
    CommitConfiguration(store, config);

    BackupSet fresh;
    fresh.SetName = u"Docs"_s;
    config.sets = {fresh};
    CommitConfiguration(store, config);
    EXPECT_EQ(store.GetSetting(App, u"Sets\\Docs"_s, u"ArchiveSubDir"_s, u"missing"_s), QString());
    EXPECT_EQ(store.GetAllSettings(App, u"Sets\\Docs"_s).size(), 21);
}

// A hand edit that drops a key must never make the set more destructive than its safest reading:
// every key a save writes is here, with what the set reads without it.
TEST_F(ConfigurationTest, AKeyMissingFromASetNeverMeansAMoreDestructiveSetting)
{
    BackupSet risky = NamedSet(u"Docs"_s);
    risky.CopyOptions = u"OpFileSize"_s;
    risky.SyncOptions = u"destToSrc"_s;
    risky.ArchiveOptions = u"OpDate"_s;
    risky.ArchiveSubDir = u"kept"_s;
    risky.Filters = u"*.doc"_s;
    risky.flOverwrite = risky.flSubDirectories = risky.flArchiveSubDir = risky.flRemovedDeletedFiles = true;
    risky.LastDate = u"01/02/2026 10:00:00"_s;
    risky.KeepMaxCopies = 1;
    risky.KeepDays = 1;
    risky.SourceDrive = risky.DestDrive = u"/mnt/backup ext4"_s;
    struct Case
    {
        const char* key;
        std::function<bool(const BackupSet&)> safe;
    };
    const Case cases[] = {
        {"SourceDirFile", [](const BackupSet& s) { return s.SourceDirFile.isEmpty(); }},
        {"DestDir", [](const BackupSet& s) { return s.DestDir.isEmpty(); }},
        {"CopyOptions", [](const BackupSet& s) { return CopyCriterionOf(s) == CopyCriterion::Date; }},
        {"SyncOptions", [](const BackupSet& s) { return SyncModeOf(s) == SyncMode::OneWay; }},
        {"ArchiveOptions",
         [](const BackupSet& s) { return KeptCopyNamingOf(s) == KeptCopyNaming::Sequence; }},
        {"ArchiveSubDir", [](const BackupSet& s) { return s.ArchiveSubDir.isEmpty(); }},
        {"Filters", [](const BackupSet& s) { return s.Filters == u"*.*"_s; }},
        {"flEnabled", [](const BackupSet& s) { return !s.flEnabled; }},
        {"flOverwrite", [](const BackupSet& s) { return !s.flOverwrite; }},
        {"flSubDirectories", [](const BackupSet& s) { return !s.flSubDirectories; }},
        {"flArchive", [](const BackupSet& s) { return s.flArchive; }},
        {"flArchiveSubDir", [](const BackupSet& s) { return !s.flArchiveSubDir; }},
        {"flRemovedDeletedFiles", [](const BackupSet& s) { return !s.flRemovedDeletedFiles; }},
        {"KeepMaxCopies", [](const BackupSet& s) { return s.KeepMaxCopies == 0; }},
        {"KeepDays", [](const BackupSet& s) { return s.KeepDays == 0; }},
        {"LastDate", [](const BackupSet& s) { return s.LastDate == u"Never Run"_s; }},
        {"LastResult", [](const BackupSet& s) { return RunOutcomeOf(s) == RunOutcome::Unknown; }},
        {"LastCompleted", [](const BackupSet& s) { return !IncompleteSince(s); }},
        {"FirstAttempt", [](const BackupSet& s) { return s.FirstAttempt.isEmpty(); }},
        {"SourceDrive", [](const BackupSet& s) { return s.SourceDrive.isEmpty(); }},
        {"DestDrive", [](const BackupSet& s) { return s.DestDrive.isEmpty(); }},
    };
    config.sets = {risky};
    CommitConfiguration(store, config);
    const QString section = u"Sets\\Docs"_s;
    const SettingPairs saved = store.GetAllSettings(App, section);
    ASSERT_EQ(saved.size(), std::size(cases)) << "a key without a case";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        store.Update(App, [&](SettingsDocument& document) {
            document.DeleteSetting(section);
            for (const auto& [key, value] : saved) {
                if (key != QLatin1StringView(c.key))
                    document.SaveSetting(section, key, value);
            }
        });
        testing::internal::CaptureStderr();
        LoadConfiguration(store, config);
        testing::internal::GetCapturedStderr();
        ASSERT_EQ(config.sets.size(), 1u);
        EXPECT_TRUE(c.safe(config.sets[0]));
    }
}

// Each position holds a value that only it can hold, so a shifted field shows.
QStringList LegacySet(const QString& name, const QString& source)
{
    return {name,       source,    u"/backup/"_s + name, u"OpArchive"_s, u"OpKeep"_s, u"kept"_s, u"True"_s,
            u"False"_s, u"True"_s, u"False"_s,           u"True"_s};
}

void WriteLegacySets(SettingsStore& store, const QStringList& values)
{
    store.Update(u"Saver"_s, [&](SettingsDocument& document) {
        document.SaveSetting(u"Settings"_s, u"IntReRunTime"_s, u"15"_s);
        for (qsizetype n = 0; n < values.size(); ++n)
            document.SaveSetting(u"Sets"_s, u"Value"_s + QString::number(n), values[n]);
    });
}

TEST_F(ConfigurationTest, LegacyImportReadsEveryPositionAndWholeSetsOnly)
{
    BackupSet expected;
    expected.SetName = u"Docs"_s;
    expected.SourceDirFile = u"/home/me/docs"_s;
    expected.DestDir = u"/backup/Docs"_s;
    expected.CopyOptions = u"OpArchive"_s;
    expected.SyncOptions = u"srcToDest"_s; // filled by the import's commit
    expected.ArchiveOptions = u"OpKeep"_s;
    expected.ArchiveSubDir = u"kept"_s;
    expected.Filters = u"*.*"_s;
    expected.flEnabled = expected.flSubDirectories = expected.flArchiveSubDir = true;
    // n = 11k, and n = 11k + r with r below and above half a set.
    for (const int extra : {0, 5, 8}) {
        SCOPED_TRACE(extra);
        test::IsolatedHome fresh;
        SettingsStore own;
        QStringList values = LegacySet(u"Docs"_s, u"/home/me/docs"_s) + LegacySet(u"Mail"_s, u"/m"_s);
        for (int n = 0; n < extra; ++n)
            values << u"Half"_s;
        WriteLegacySets(own, values);
        Configuration imported;
        LoadConfiguration(own, imported);
        ASSERT_EQ(imported.sets.size(), 2u);
        EXPECT_EQ(imported.sets[0], expected);
        EXPECT_EQ(imported.sets[1].SetName, u"Mail"_s);
        EXPECT_EQ(imported.settings.IntReRunTime, 15);
        // What the older version did not know starts from its default, as on a first start.
        EXPECT_TRUE(imported.settings.flLowPriority);
        EXPECT_EQ(imported.settings.IntStaleDays, 7);
    }
}

TEST_F(ConfigurationTest, LegacyImportHappensOnceThroughDoneAndNeverOverAnEditedFile)
{
    const std::string file = home.dir() / "home/report.txt";
    test::WriteFile(file, "x");
    WriteLegacySets(store, LegacySet(u"Report"_s, QString::fromStdString(file)));
    int windowSteps = 0;
    LoadConfiguration(store, config, [&] { ++windowSteps; });
    EXPECT_EQ(windowSteps, 1);
    ASSERT_EQ(config.sets.size(), 1u);
    EXPECT_EQ(config.sets[0].SourceDirFile, QString::fromStdString(home.dir() / "home"));
    EXPECT_EQ(config.sets[0].Filters, u"report.txt"_s);
    EXPECT_FALSE(QFile::exists(store.filePath(u"Saver"_s)));
    EXPECT_TRUE(QFile::exists(store.filePath(u"Saver"_s) + u".imported"_s));

    // A hand edit that drops a key of every save is no reason to import again.
    store.Update(App, [](SettingsDocument& document) {
        document.SaveSetting(u"Settings"_s, u"StrLogFileDir"_s, {});
        document.DeleteSetting(u"Settings"_s);
    });
    QFile::rename(store.filePath(u"Saver"_s) + u".imported"_s, store.filePath(u"Saver"_s));
    Configuration again;
    LoadConfiguration(store, again, [&] { ++windowSteps; });
    EXPECT_EQ(windowSteps, 1);
    EXPECT_EQ(again.sets, config.sets);
}

// Another process's view of the same store: loaded at the same moment, saved at another.
TEST_F(ConfigurationTest, ASaveKeepsWhatAnotherProcessChangedMeanwhile)
{
    config.sets = {NamedSet(u"Docs"_s), NamedSet(u"Mail"_s), NamedSet(u"Old"_s)};
    CommitConfiguration(store, config);
    Configuration other;
    LoadConfiguration(store, other);

    // This process: a run stamps Docs and Old, the user changes one general setting.
    config.sets[0].LastDate = u"01/02/2026 10:00:00"_s;
    config.sets[2].LastDate = u"01/02/2026 10:00:00"_s;
    config.settings.flReRun = true;
    config.sets[1].KeepDays = 7;
    // The other: edits Docs and Mail, removes Old, adds New, changes another setting.
    other.sets[0].Filters = u"*.doc"_s;
    other.sets[1].DestDir = u"/elsewhere"_s;
    other.sets[2].flRemoved = true;
    other.sets.push_back(NamedSet(u"New"_s));
    other.settings.IntReRunTime = 5;
    CommitConfiguration(store, other);

    CommitConfiguration(store, config);
    EXPECT_EQ(StoredSetNames(store), (QStringList{u"Docs"_s, u"Mail"_s, u"New"_s}));
    EXPECT_EQ(config.sets[0].Filters, u"*.doc"_s);
    EXPECT_EQ(config.sets[0].LastDate, u"01/02/2026 10:00:00"_s);
    EXPECT_EQ(config.sets[1].DestDir, u"/elsewhere"_s);
    EXPECT_EQ(config.sets[1].KeepDays, 7);
    EXPECT_TRUE(config.settings.flReRun);
    EXPECT_EQ(config.settings.IntReRunTime, 5);

    // A set that this process edited comes back; one that it removed stays removed.
    other = config;
    config.sets[1].flRemoved = true;
    other.sets[1].Filters = u"*.eml"_s;
    CommitConfiguration(store, other);
    CommitConfiguration(store, config);
    EXPECT_EQ(StoredSetNames(store), (QStringList{u"Docs"_s, u"New"_s}));
}

// An editor's draft outlives the countdown's reload of the configuration in memory, and its commit
// brings only what the editor changed: another process's edit and a run's stamp meanwhile stay.
TEST_F(ConfigurationTest, ADraftCommitsOnlyItsOwnEditsOverAReload)
{
    config.sets = {NamedSet(u"Docs"_s), NamedSet(u"Mail"_s)};
    CommitConfiguration(store, config);
    SetsDraft draft = DraftOf(config);
    draft.sets[0].flEnabled = false;
    draft.sets.push_back(NamedSet(u"New"_s));

    ChangeConfiguration(store, [](Configuration& other) { other.sets[1].Filters = u"*.eml"_s; });
    LoadConfiguration(store, config);
    config.sets[1].LastDate = u"01/02/2026 10:00:00"_s;
    EXPECT_TRUE(config.sets[0].flEnabled) << "the reload runs the stored sets";

    const BackupSets ran = config.sets;
    SettingsStore full(store.directory(), test::ReadFile(store.filePath(App).toStdString()).size() + 10);
    EXPECT_THROW(CommitDraft(full, config, draft), Failure);
    EXPECT_EQ(config.sets, ran) << "a failed save leaves the stored sets in memory";

    CommitDraft(store, config, draft);
    EXPECT_EQ(StoredSetNames(store), (QStringList{u"Docs"_s, u"Mail"_s, u"New"_s}));
    EXPECT_FALSE(config.sets[0].flEnabled);
    EXPECT_EQ(config.sets[1].Filters, u"*.eml"_s);
    EXPECT_EQ(config.sets[1].LastDate, u"01/02/2026 10:00:00"_s);
}

// The drive a run found a root on outlasts every save, by any process, until the root changes.
TEST_F(ConfigurationTest, ARootsDriveOutlastsEverySaveUntilTheRootChanges)
{
    const QString backup = u"/mnt/backup ext4"_s;
    const QString system = u"/ ext4"_s;
    config.sets = {NamedSet(u"Docs"_s), NamedSet(u"Mail"_s)};
    CommitConfiguration(store, config);
    Configuration window;
    LoadConfiguration(store, window);

    // A run of the command line stores what it learnt; a run in the window learnt Docs in memory.
    BackupSets ran = config.sets;
    ran[0].SourceDrive = system;
    ran[0].DestDrive = ran[1].DestDrive = backup;
    StoreRunRecords(store, ran);
    window.sets[0].DestDrive = backup;
    window.settings.flReRun = true;
    CommitConfiguration(store, window);
    EXPECT_EQ(window.sets[0].SourceDrive, system);
    EXPECT_EQ(window.sets[0].DestDrive, backup);
    EXPECT_EQ(window.sets[1].DestDrive, backup);

    // Another process points Docs at a new destination: it starts afresh, and neither a drive the window
    // learnt for the old one nor a run of the old one is laid over it.
    ChangeConfiguration(store, [](Configuration& c) { c.sets[0].DestDir = u"/media/usb"_s; });
    window.sets[0].DestDrive = u"/mnt/other ext4"_s;
    CommitConfiguration(store, window);
    StoreRunRecords(store, ran);
    LoadConfiguration(store, window);
    EXPECT_EQ(window.sets[0].DestDir, u"/media/usb"_s);
    EXPECT_EQ(window.sets[0].DestDrive, QString());
    EXPECT_EQ(window.sets[0].SourceDrive, system);

    // This process changes a source: that root starts afresh, the others keep their drives.
    window.sets[0].SourceDirFile = u"/home/me/new"_s;
    CommitConfiguration(store, window);
    EXPECT_EQ(window.sets[0].SourceDrive, QString());
    EXPECT_EQ(window.sets[1].DestDrive, backup);
}

// Sets are stored in this process's order where it moved them, else in the stored one; a removed set
// leaves the store and memory, and what other writers stored stays.
TEST_F(ConfigurationTest, CommitKeepsThisProcesssOrderElseTheStoredOneAndDropsRemovedSets)
{
    store.SaveSetting(App, u"Settings"_s, u"StrLastRunDate"_s, u"01/01/2024 10:00:00"_s);
    LoadConfiguration(store, config);
    config.sets = {NamedSet(u"C"_s), NamedSet(u"A"_s), NamedSet(u"B"_s)};
    CommitConfiguration(store, config);
    EXPECT_EQ(StoredSetNames(store), (QStringList{u"C"_s, u"A"_s, u"B"_s}));
    EXPECT_EQ(store.GetSetting(App, u"Settings"_s, u"StrLastRunDate"_s), u"01/01/2024 10:00:00"_s);
    Configuration other = config;

    other.sets.push_back(NamedSet(u"D"_s));
    CommitConfiguration(store, other);
    config.sets.push_back(NamedSet(u"E"_s));
    CommitConfiguration(store, config);
    EXPECT_EQ(StoredSetNames(store), (QStringList{u"C"_s, u"A"_s, u"B"_s, u"D"_s, u"E"_s}));

    other.sets.push_back(NamedSet(u"F"_s));
    CommitConfiguration(store, other);
    std::swap(config.sets[0], config.sets[2]);
    CommitConfiguration(store, config);
    EXPECT_EQ(StoredSetNames(store), (QStringList{u"B"_s, u"A"_s, u"C"_s, u"D"_s, u"E"_s, u"F"_s}));

    config.sets[1].flRemoved = true;
    CommitConfiguration(store, config);
    EXPECT_EQ(StoredSetNames(store), (QStringList{u"B"_s, u"C"_s, u"D"_s, u"E"_s, u"F"_s}));
    EXPECT_EQ(config.sets.size(), 5u);
}

} // namespace
} // namespace kelvo
