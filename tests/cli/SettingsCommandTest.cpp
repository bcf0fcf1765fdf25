#include "cli/CliProcess.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace kelvo::test {
namespace {

using namespace Qt::StringLiterals;

QString Setting(const QString& key)
{
    return RunCli({u"settings"_s, key}).out.trimmed();
}

void Change(const QString& key, const QString& value)
{
    const CliResult result = RunCli({u"settings"_s, key, value});
    EXPECT_EQ(result.status, 0) << key.toStdString() << ": " << result.err.toStdString();
}

TEST(SettingsCommand, ShowsEverySettingWithItsDefaultInStoreOrder)
{
    IsolatedHome home;
    const CliResult result = RunCli({u"settings"_s});
    ASSERT_EQ(result.status, 0);
    const QStringList lines = Lines(result.out);
    ASSERT_EQ(lines.size(), 17);
    EXPECT_EQ((QStringList{lines[1], lines[2], lines[9], lines[15], lines[16]}),
              (QStringList{u"IntLogFileSize=0"_s, u"flLogFileOn=True"_s, u"IntReRunTime=60"_s,
                           u"StrStatusBarPos=BR"_s, u"StrRealTime=None"_s}));
    EXPECT_TRUE(Snapshot(home.configDir()).empty()) << "showing writes nothing";
}

TEST(SettingsCommand, ChangesAreTypedAndStoredInTheirOwnSpelling)
{
    IsolatedHome home;
    Change(u"flrerun"_s, u"TRUE"_s);
    EXPECT_EQ(Setting(u"flReRun"_s), u"True"_s);
    Change(u"flLogFileOn"_s, u"false"_s);
    EXPECT_EQ(Setting(u"FLLOGFILEON"_s), u"False"_s);

    Change(u"IntReRunTime"_s, u"9999"_s);
    EXPECT_EQ(Setting(u"IntReRunTime"_s), u"9999"_s);
    for (const QString& bad : {u"0"_s, u"10000"_s, u"-5"_s, u"12x"_s, u""_s})
        EXPECT_EQ(RunCli({u"settings"_s, u"IntReRunTime"_s, bad}).status, 2) << bad.toStdString();
    Change(u"IntLogFileSize"_s, u"0"_s);
    EXPECT_EQ(RunCli({u"settings"_s, u"IntLogFileSize"_s, u"1000"_s}).status, 2);

    Change(u"StrStatusBarPos"_s, u"tl"_s);
    EXPECT_EQ(Setting(u"StrStatusBarPos"_s), u"TL"_s);
    EXPECT_EQ(RunCli({u"settings"_s, u"StrStatusBarPos"_s, u"middle"_s}).status, 2);

    // The log directory is kept absolute so that a run from cron writes the same log.
    std::filesystem::create_directories(home.dir() / "logs");
    RunCli({u"settings"_s, u"StrLogFileDir"_s, u"logs"_s}, QString::fromStdString(home.dir().path()));
    EXPECT_EQ(Setting(u"StrLogFileDir"_s), QString::fromStdString(home.dir() / "logs/"));

    // Starting with the desktop goes with the autostart entry of the windowed program.
    const std::string autostart = home.configDir() + "/autostart/kelvo.desktop";
    Change(u"flWindowsStart"_s, u"true"_s);
    const QString entry = QString::fromUtf8(ReadFile(autostart));
    EXPECT_TRUE(entry.contains(QStringLiteral(KELVO_BIN_DIR "/kelvo")) && entry.contains(u"/W"_s))
        << entry.toStdString();
    Change(u"flWindowsStart"_s, u"false"_s);
    EXPECT_TRUE(ReadFile(autostart).contains("Hidden=true"));
    EXPECT_EQ(Setting(u"flWindowsStart"_s), u"False"_s);
}

TEST(SettingsCommand, RealTimeNamesAnExistingSetAndFollowsItsRemoval)
{
    IsolatedHome home;
    std::filesystem::create_directories(home.dir() / "src");
    const QString source = QString::fromStdString(home.dir() / "src");
    const QString dest = QString::fromStdString(home.dir() / "dst");
    ASSERT_EQ(RunCli({u"add"_s, u"Work Files"_s, u"--source"_s, source, u"--dest"_s, dest}).status, 0);

    EXPECT_EQ(RunCli({u"settings"_s, u"StrRealTime"_s, u"Other"_s}).status, 2);
    Change(u"StrRealTime"_s, u"work files"_s);
    EXPECT_EQ(Setting(u"StrRealTime"_s), u"Work Files"_s);

    ASSERT_EQ(RunCli({u"remove"_s, u"Work Files"_s}).status, 0);
    EXPECT_EQ(Setting(u"StrRealTime"_s), u"None"_s);
}

} // namespace
} // namespace kelvo::test
