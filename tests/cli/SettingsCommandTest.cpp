#include "cli/CliProcess.h"
#include "config/GeneralSettingKeys.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace kelvo::test {
namespace {

using namespace Qt::StringLiterals;

void Change(const QString& key, const QString& value)
{
    const CliResult result = RunCli({u"settings"_s, key, value});
    EXPECT_EQ(result.status, 0) << key.toStdString() << ": " << result.err.toStdString();
}

// A fresh store shows every setting of the table with its default; each number refuses the values
// just outside its range and leaves the store as it was.
TEST(SettingsCommand, ShowsTheTablesDefaultsAndRefusesNumbersOutsideTheirRange)
{
    IsolatedHome home;
    QStringList defaults;
    for (const GeneralSettingKey& key : GeneralSettingKeys())
        defaults << QLatin1StringView(key.name) + u'=' + DefaultText(key);
    EXPECT_EQ(RunCli({u"settings"_s}).out.toLower(), defaults.join(u'\n').toLower() + u'\n');

    Change(u"flReRun"_s, u"false"_s);
    const auto before = Snapshot(home.configDir());
    for (const GeneralSettingKey& key : GeneralSettingKeys()) {
        if (!std::holds_alternative<GeneralSettingKey::NumberField>(key.field))
            continue;
        for (const int outside : {key.minimum - 1, key.maximum + 1})
            EXPECT_EQ(RunCli({u"settings"_s, QLatin1StringView(key.name), QString::number(outside)}).status,
                      2)
                << key.name << " " << outside;
    }
    EXPECT_EQ(Snapshot(home.configDir()), before);
}

// Keys and values in any letter case are stored in the table's spelling; the set watched in real time
// is one that exists, and goes with its removal.
TEST(SettingsCommand, ChangesAreTypedAndStoredInTheirOwnSpelling)
{
    IsolatedHome home;
    const auto changed = [](const QString& key, const QString& value) {
        Change(key, value);
        return RunCli({u"settings"_s, key}).out.trimmed();
    };
    EXPECT_EQ(changed(u"flrerun"_s, u"TRUE"_s), u"True"_s);
    EXPECT_EQ(changed(u"IntReRunTime"_s, u"9999"_s), u"9999"_s);
    EXPECT_EQ(changed(u"StrStatusBarPos"_s, u"tl"_s), u"TL"_s);
    std::filesystem::create_directories(home.dir() / "logs");
    EXPECT_EQ(changed(u"StrLogFileDir"_s, QString::fromStdString(home.dir() / "logs/./")),
              QString::fromStdString(home.dir() / "logs/"));

    std::filesystem::create_directories(home.dir() / "src");
    ASSERT_EQ(RunCli({u"add"_s, u"Work Files"_s, u"--source"_s, QString::fromStdString(home.dir() / "src"),
                      u"--dest"_s, QString::fromStdString(home.dir() / "dst")})
                  .status,
              0);
    EXPECT_EQ(changed(u"StrRealTime"_s, u"work files"_s), u"Work Files"_s);
    ASSERT_EQ(RunCli({u"remove"_s, u"Work Files"_s}).status, 0);
    EXPECT_EQ(RunCli({u"settings"_s, u"StrRealTime"_s}).out.trimmed(), u"None"_s);
}

} // namespace
} // namespace kelvo::test
