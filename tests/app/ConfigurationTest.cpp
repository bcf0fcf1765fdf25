#include "app/Configuration.h"

#include "platform/SettingsStore.h"
#include "support/TestSupport.h"

#include <QDir>

#include <gtest/gtest.h>

#include <csignal>
#include <random>
#include <sys/wait.h>
#include <unistd.h>

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

TEST_F(ConfigurationTest, CommitWritesSetsInMemoryOrderAndDropsRemovedOnes)
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
    EXPECT_EQ(config.sets.size(), 2u);
}

TEST_F(ConfigurationTest, ReadsStoredTextsAndFallsBackWithAWarning)
{
    SaveConfiguration(store, config);
    store.Update(App, [](SettingsDocument& document) {
        document.SaveSetting(u"Settings"_s, u"flReRun"_s, u"true"_s);
        document.SaveSetting(u"Settings"_s, u"IntReRunTime"_s, u"40000"_s);
        document.SaveSetting(u"Sets"_s, u"Docs"_s, u"Docs"_s);
        document.SaveSetting(u"Sets\\Docs"_s, u"flEnabled"_s, u"maybe"_s);
    });
    testing::internal::CaptureStderr();
    LoadConfiguration(store, config);
    const std::string warnings = testing::internal::GetCapturedStderr();

    EXPECT_TRUE(config.settings.flReRun);
    EXPECT_EQ(config.settings.IntReRunTime, 60);
    ASSERT_EQ(config.sets.size(), 1u);
    EXPECT_FALSE(config.sets[0].flEnabled);
    EXPECT_NE(
        warnings.find("kelvo: set \"Docs\": flEnabled has \"maybe\", which is not a boolean; using False\n"),
        std::string::npos)
        << warnings;
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
    EXPECT_EQ(store.GetAllSettings(App, u"Sets\\Docs"_s).size(), 14);
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
    const QStringList legacySets = LegacySet(u"Docs"_s, u"/home/me/docs"_s) +
                                   LegacySet(u"Report"_s, QString::fromStdString(file)) +
                                   QStringList{u"Half"_s};
    store.Update(u"Saver"_s, [&](SettingsDocument& document) {
        document.SaveSetting(u"Settings"_s, u"IntReRunTime"_s, u"15"_s);
        for (qsizetype n = 0; n < legacySets.size(); ++n)
            document.SaveSetting(u"Sets"_s, u"Value"_s + QString::number(n), legacySets[n]);
    });
    store.SaveSetting(App, u"Settings"_s, u"StrLastRunDate"_s, u"x"_s); // a run's date is no saved mark
    int windowSteps = 0;
    LoadConfiguration(store, config, [&] { ++windowSteps; });
    EXPECT_EQ(windowSteps, 1);

    EXPECT_EQ(config.settings.IntReRunTime, 15);
    ASSERT_EQ(config.sets.size(), 2u);
    EXPECT_EQ(config.sets[0].SourceDirFile, u"/home/me/docs"_s);
    EXPECT_EQ(config.sets[1].SourceDirFile, QString::fromStdString(home.dir() / "home"));
    EXPECT_EQ(config.sets[1].Filters, u"report.txt"_s);

    Configuration again;
    LoadConfiguration(store, again, [&] { ++windowSteps; });
    EXPECT_EQ(windowSteps, 1);
    EXPECT_EQ(again.sets, config.sets);
}

Configuration SampleConfiguration(int sets, const QString& tag)
{
    Configuration config;
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
