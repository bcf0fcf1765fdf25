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

TEST(SettingsCommand, ChangesAreTypedAndStoredInTheirOwnSpelling)
{
    IsolatedHome home;
    Change(u"flrerun"_s, u"TRUE"_s);
    EXPECT_EQ(Setting(u"FLRERUN"_s), u"True"_s);
    Change(u"IntReRunTime"_s, u"9999"_s);
    EXPECT_EQ(Setting(u"IntReRunTime"_s), u"9999"_s);
    Change(u"StrStatusBarPos"_s, u"tl"_s);
    EXPECT_EQ(Setting(u"StrStatusBarPos"_s), u"TL"_s);

    EXPECT_EQ(Setting(u"IntStaleDays"_s), u"7"_s);
    Change(u"intstaledays"_s, u"0"_s);
    EXPECT_EQ(Setting(u"IntStaleDays"_s), u"0"_s);
    EXPECT_EQ(Setting(u"flLowPriority"_s), u"True"_s);
    Change(u"fllowpriority"_s, u"false"_s);
    EXPECT_EQ(Setting(u"flLowPriority"_s), u"False"_s);

    const auto before = Snapshot(home.configDir());
    EXPECT_EQ(RunCli({u"settings"_s, u"IntReRunTime"_s, u"10000"_s}).status, 2);
    EXPECT_EQ(RunCli({u"settings"_s, u"IntStaleDays"_s, u"366"_s}).status, 2);
    EXPECT_EQ(Snapshot(home.configDir()), before);

    std::filesystem::create_directories(home.dir() / "logs");
    Change(u"StrLogFileDir"_s, QString::fromStdString(home.dir() / "logs/./"));
    EXPECT_EQ(Setting(u"StrLogFileDir"_s), QString::fromStdString(home.dir() / "logs/"));
}

TEST(SettingsCommand, RealTimeNamesAnExistingSetAndFollowsItsRemoval)
{
    IsolatedHome home;
    std::filesystem::create_directories(home.dir() / "src");
    const QString source = QString::fromStdString(home.dir() / "src");
    const QString dest = QString::fromStdString(home.dir() / "dst");
    ASSERT_EQ(RunCli({u"add"_s, u"Work Files"_s, u"--source"_s, source, u"--dest"_s, dest}).status, 0);
    Change(u"StrRealTime"_s, u"work files"_s);
    EXPECT_EQ(Setting(u"StrRealTime"_s), u"Work Files"_s);
    ASSERT_EQ(RunCli({u"remove"_s, u"Work Files"_s}).status, 0);
    EXPECT_EQ(Setting(u"StrRealTime"_s), u"None"_s);
}

} // namespace
} // namespace kelvo::test
