#include "app/Configuration.h"

#include "platform/SettingsStore.h"
#include "support/TestSupport.h"

#include <QDir>

#include <gtest/gtest.h>

#include <array>
#include <csignal>
#include <random>
#include <sys/wait.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace kelvo {
namespace {

const QString App = u"Kelvo"_s;
const QString Legacy = u"Saver"_s;

BackupSet NamedSet(const QString& name)
{
    BackupSet set;
    set.SetName = name;
    set.SourceDirFile = u"/src/"_s + name;
    set.DestDir = u"/dest/"_s + name;
    set.flEnabled = true;
    return set;
}

QStringList KeysOf(const SettingPairs& pairs)
{
    QStringList keys;
    for (const auto& pair : pairs)
        keys << pair.first;
    return keys;
}

QStringList StoredSetNames(const SettingsStore& store)
{
    return KeysOf(store.GetAllSettings(App, u"Sets"_s));
}

// The configuration's own store in the test's home, with what Save writes for the defaults.
class ConfigurationTest : public testing::Test
{
protected:
    test::IsolatedHome home;
    SettingsStore store;
    Configuration config;
};

TEST_F(ConfigurationTest, EmptyStoreGivesDefaultsAndOneEmptySet)
{
    LoadConfiguration(store, config);
    GeneralSettings expected;
    expected.StrLogFileDir = QDir::homePath() + u'/';
    expected.flLogFileOn = expected.flLogFileErrors = expected.flLogDeletes = expected.flSysTray = true;
    expected.IntReRunTime = 60;
    expected.StrStatusBarPos = u"BR"_s;
    expected.StrRealTime = u"None"_s;
    EXPECT_EQ(config.settings, expected);
    EXPECT_EQ(config.sets, BackupSets(1));

    SaveConfiguration(store, config);
    const QStringList order{u"StrLogFileDir"_s,    u"IntLogFileSize"_s,    u"flLogFileOn"_s,
                            u"flLogFileSuccess"_s, u"flLogFileErrors"_s,   u"flLogDeletes"_s,
                            u"flScreenSaver"_s,    u"StrAltScreenSaver"_s, u"flReRun"_s,
                            u"IntReRunTime"_s,     u"flSysTray"_s,         u"flWindowsStart"_s,
                            u"flDelay"_s,          u"flShowStatusBar"_s,   u"flStatusBarAOT"_s,
                            u"StrStatusBarPos"_s,  u"StrRealTime"_s};
    EXPECT_EQ(KeysOf(store.GetAllSettings(App, u"Settings"_s)), order);
    EXPECT_TRUE(StoredSetNames(store).isEmpty());
}

TEST_F(ConfigurationTest, CommitWritesSetsInMemoryOrderAndSkipsRemovedAndEmptyRecords)
{
    store.SaveSetting(App, u"Settings"_s, u"StrLastRunDate"_s, u"01/01/2024 10:00:00"_s);
    LoadConfiguration(store, config);
    config.sets = {NamedSet(u"Photos"_s), NamedSet(u"Docs"_s), NamedSet(u"Mail"_s)};
    CommitConfiguration(store, config);
    EXPECT_EQ(StoredSetNames(store), (QStringList{u"Photos"_s, u"Docs"_s, u"Mail"_s}));
    EXPECT_EQ(store.GetSetting(App, u"Settings"_s, u"StrLastRunDate"_s), u"01/01/2024 10:00:00"_s)
        << "what other writers stored is kept";

    std::swap(config.sets[0], config.sets[1]);
    config.sets[2].flRemoved = true;
    CommitConfiguration(store, config);
    EXPECT_EQ(StoredSetNames(store), (QStringList{u"Docs"_s, u"Photos"_s}));
    ASSERT_EQ(config.sets.size(), 2u);
    EXPECT_EQ(config.sets[0].SetName, u"Docs"_s);

    for (BackupSet& set : config.sets)
        set.flRemoved = true;
    config.sets.emplace_back();
    CommitConfiguration(store, config);
    EXPECT_TRUE(StoredSetNames(store).isEmpty());
    EXPECT_EQ(config.sets, BackupSets(1));
}

TEST_F(ConfigurationTest, ReadsStoredTextsAndFallsBackWithOneWarningEach)
{
    SaveConfiguration(store, config);
    const QList<std::array<QString, 3>> stored{{u"Settings"_s, u"flReRun"_s, u"true"_s},
                                               {u"Settings"_s, u"flSysTray"_s, u"0"_s},
                                               {u"Settings"_s, u"flDelay"_s, u" -1 "_s},
                                               {u"Settings"_s, u"StrStatusBarPos"_s, u""_s},
                                               {u"Settings"_s, u"flLogFileOn"_s, u"maybe"_s},
                                               {u"Settings"_s, u"IntReRunTime"_s, u"40000"_s},
                                               {u"Settings"_s, u"IntLogFileSize"_s, u"-32768"_s},
                                               {u"Sets"_s, u"Docs"_s, u"Docs"_s},
                                               {u"Sets"_s, u"Lost"_s, u"Lost"_s}, // no section
                                               {u"Sets\\Docs"_s, u"flEnabled"_s, u"maybe"_s},
                                               {u"Sets\\Docs"_s, u"flOverwrite"_s, u"TRUE"_s},
                                               {u"Sets\\Docs"_s, u"flSubDirectories"_s, u"1"_s},
                                               {u"Sets\\Docs"_s, u"flArchive"_s, u"fAlSe"_s},
                                               {u"Sets\\Docs"_s, u"flArchiveSubDir"_s, u"False"_s},
                                               {u"Sets\\Docs"_s, u"flRemovedDeletedFiles"_s, u"yes"_s}};
    store.Update(App, [&](SettingsDocument& document) {
        for (const auto& [section, key, value] : stored)
            document.SaveSetting(section, key, value);
    });
    testing::internal::CaptureStderr();
    LoadConfiguration(store, config);
    const std::string warnings = testing::internal::GetCapturedStderr();

    EXPECT_TRUE(config.settings.flReRun && config.settings.flDelay && config.settings.flLogFileOn);
    EXPECT_FALSE(config.settings.flSysTray);
    EXPECT_EQ(config.settings.StrStatusBarPos, QString());
    EXPECT_EQ(config.settings.IntReRunTime, 60);
    EXPECT_EQ(config.settings.IntLogFileSize, -32768);
    ASSERT_EQ(config.sets.size(), 2u);
    EXPECT_FALSE(config.sets[0].flEnabled || config.sets[0].flRemovedDeletedFiles ||
                 config.sets[0].flArchive);
    EXPECT_TRUE(config.sets[0].flOverwrite && config.sets[0].flSubDirectories);
    EXPECT_EQ(config.sets[0].LastDate, u"Never Run"_s);
    EXPECT_EQ(config.sets[0].CopyOptions, QString());
    EXPECT_EQ(config.sets[1].SetName, u"Lost"_s);
    EXPECT_EQ(config.sets[1].Filters, u"*.*"_s);

    for (const char* line :
         {"kelvo: set \"Docs\": flEnabled has \"maybe\", which is not a boolean; using False\n",
          "kelvo: set \"Lost\": flEnabled is missing; using False\n",
          "kelvo: Settings: IntReRunTime has \"40000\", which is not a 16-bit integer; using 60\n"})
        EXPECT_NE(warnings.find(line), std::string::npos) << warnings;
    // Settings: 2; Docs: flEnabled, flRemovedDeletedFiles; Lost: its five booleans without a default.
    EXPECT_EQ(std::count(warnings.begin(), warnings.end(), '\n'), 2 + 2 + 5) << warnings;

    SaveConfiguration(store, config);
    EXPECT_EQ(store.GetSetting(App, u"Settings"_s, u"flReRun"_s), u"True"_s);
    EXPECT_EQ(store.GetSetting(App, u"Settings"_s, u"StrStatusBarPos"_s, u"missing"_s), QString());
}

TEST_F(ConfigurationTest, ASetRecreatedUnderARemovedNameRewritesEveryKey)
{
    BackupSet old = NamedSet(u"Docs"_s);
    old.ArchiveOptions = u"OpSeq"_s;
    old.ArchiveSubDir = u"old"_s;
    old.flArchive = old.flRemovedDeletedFiles = true;
    old.LastDate = u"01/02/2003 04:05:06"_s;
    config.sets = {old};
    CommitConfiguration(store, config);
    config.sets[0].flRemoved = true;
    CommitConfiguration(store, config);
    EXPECT_EQ(store.GetSetting(App, u"Sets\\Docs"_s, u"ArchiveSubDir"_s), u"old"_s);

    BackupSet fresh;
    fresh.SetName = u"Docs"_s;
    config.sets = {fresh};
    CommitConfiguration(store, config);
    fresh.CopyOptions = u"OpDate"_s;
    fresh.SyncOptions = u"srcToDest"_s;
    fresh.Filters = u"*.*"_s;
    EXPECT_EQ(config.sets, BackupSets{fresh});
    EXPECT_EQ(store.GetAllSettings(App, u"Sets\\Docs"_s).size(), 14);
}

void WriteLegacyStore(SettingsStore& store, const QStringList& setValues)
{
    store.Update(Legacy, [&](SettingsDocument& document) {
        document.SaveSetting(u"Settings"_s, u"StrLogFileDir"_s, u"/var/log/"_s);
        document.SaveSetting(u"Settings"_s, u"IntReRunTime"_s, u"15"_s);
        for (qsizetype n = 0; n < setValues.size(); ++n)
            document.SaveSetting(u"Sets"_s, u"Value"_s + QString::number(n), setValues[n]);
    });
}

QStringList LegacySet(const QString& name, const QString& source)
{
    return {name,       source,    u"/backup/"_s + name, u"OpArchive"_s, u"OpKeep"_s, u"kept"_s, u"True"_s,
            u"False"_s, u"True"_s, u"False"_s,           u"False"_s};
}

TEST_F(ConfigurationTest, LegacyImportCommitsThroughDoneAndThenLoadsNormally)
{
    const std::string file = home.dir() / "home/report.txt";
    test::WriteFile(file, "x");
    // Two whole sets and the start of a third, which a damaged list may hold.
    WriteLegacyStore(store, LegacySet(u"Docs"_s, u"/home/me/docs"_s) +
                                LegacySet(u"Report"_s, QString::fromStdString(file)) +
                                QStringList{u"Half"_s, u"/x"_s});
    config.settings.StrStatusBarPos = u"TL"_s;
    int windowSteps = 0;
    LoadConfiguration(store, config, [&] { ++windowSteps; });
    EXPECT_EQ(windowSteps, 1);

    EXPECT_EQ(config.settings.StrLogFileDir, u"/var/log/"_s);
    EXPECT_EQ(config.settings.IntReRunTime, 15);
    EXPECT_TRUE(config.settings.flLogFileOn);
    EXPECT_EQ(config.settings.StrStatusBarPos, u"TL"_s); // not a legacy setting: kept from memory
    ASSERT_EQ(config.sets.size(), 2u);
    const BackupSet& docs = config.sets[0];
    EXPECT_EQ(QStringList({docs.SourceDirFile, docs.DestDir, docs.CopyOptions, docs.SyncOptions,
                           docs.ArchiveOptions, docs.ArchiveSubDir, docs.Filters}),
              QStringList({u"/home/me/docs"_s, u"/backup/Docs"_s, u"OpArchive"_s, u"srcToDest"_s, u"OpKeep"_s,
                           u"kept"_s, u"*.*"_s}));
    EXPECT_TRUE(docs.flEnabled && docs.flSubDirectories && !docs.flOverwrite && !docs.flArchive);
    EXPECT_EQ(config.sets[1].SourceDirFile, QString::fromStdString(home.dir() / "home"));
    EXPECT_EQ(config.sets[1].Filters, u"report.txt"_s);

    Configuration again;
    LoadConfiguration(store, again, [&] { ++windowSteps; });
    EXPECT_EQ(windowSteps, 1);
    EXPECT_EQ(again.sets, config.sets);
}

TEST(ConfigurationLegacyImport, RunsOnlyUntilTheStoreCarriesTheSavedMarkAndNeedsWholeGroups)
{
    const struct
    {
        const char* key; // written to the new store before the first load
        QStringList legacySets;
        bool imports;
    } cases[] = {{nullptr, LegacySet(u"Old"_s, u"/old"_s), true},
                 {"StrLastRunDate", LegacySet(u"Old"_s, u"/old"_s), true},
                 {"StrLogFileDir", LegacySet(u"Old"_s, u"/old"_s), false},
                 {nullptr, {u"too"_s, u"short"_s}, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key ? c.key : "legacy store only");
        test::IsolatedHome home;
        SettingsStore store;
        WriteLegacyStore(store, c.legacySets);
        if (c.key)
            store.SaveSetting(App, u"Settings"_s, QString::fromLatin1(c.key), u"/"_s);
        Configuration config;
        bool ended = false;
        LoadConfiguration(store, config, [&] { ended = true; });
        EXPECT_EQ(ended, c.imports);
        EXPECT_EQ(config.settings.IntReRunTime, c.imports ? 15 : 60);
        EXPECT_EQ(config.sets[0].SetName, c.imports && c.legacySets.size() == 11 ? u"Old"_s : QString());
    }
}

Configuration SampleConfiguration(int sets, const QString& tag)
{
    Configuration config;
    config.settings.StrLogFileDir = u"/logs/"_s + tag;
    config.settings.StrRealTime = tag;
    for (int n = 0; n < sets; ++n) {
        BackupSet set = NamedSet(tag + QString::number(n));
        set.Filters = QString(2000, u'f');
        set.CopyOptions = u"OpDate"_s;
        set.SyncOptions = u"srcToDest"_s;
        config.sets.push_back(set);
    }
    return config;
}

TEST_F(ConfigurationTest, AKilledSaveLeavesTheOldOrTheNewConfiguration)
{
    Configuration first = SampleConfiguration(20, u"A"_s);
    Configuration second = SampleConfiguration(35, u"B"_s);
    SaveConfiguration(store, first);
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> delay(0, 30000);

    for (int round = 0; round < 25; ++round) {
        const pid_t pid = fork();
        if (pid == 0) {
            for (;;) {
                SaveConfiguration(store, first);
                SaveConfiguration(store, second);
            }
        }
        usleep(useconds_t(delay(random)));
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);

        testing::internal::CaptureStderr();
        Configuration loaded;
        LoadConfiguration(store, loaded);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_TRUE(loaded.settings == first.settings || loaded.settings == second.settings);
        EXPECT_EQ(loaded.sets, loaded.settings.StrRealTime == u"A"_s ? first.sets : second.sets);
    }
    // The temporary files of killed saves go with the next save.
    SaveConfiguration(store, first);
    EXPECT_EQ(QDir(store.directory()).entryList({u"*.kelvo-*"_s}, QDir::Files | QDir::Hidden), QStringList());
}

} // namespace
} // namespace kelvo
