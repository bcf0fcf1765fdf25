#include "platform/Registry.h"

#include "platform/AutostartEntry.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

using namespace Qt::Literals::StringLiterals;

namespace kelvo {
namespace {

const QString Key = u"Software\\Kelvo Test"_s;
const QString RunKey = u"Software\\Microsoft\\Windows\\CurrentVersion\\Run"_s;

class RegistryTest : public testing::Test
{
protected:
    QString read(const QString& name, const QString& key = Key, RegistryKey root = HKEY_CURRENT_USER) const
    {
        return registry.ReadRegistryValue(root, key, name);
    }

    test::IsolatedHome home;
    Registry registry;
};

TEST_F(RegistryTest, WritesEachValueTypeAsItsBytesAndReadsTextsAndNumbersAsText)
{
    const struct
    {
        const char* name;
        QVariant value;
        int type;
        QByteArray bytes;
        QString text;
    } cases[] = {
        {"Sz", u"abc"_s, REG_SZ, QByteArray("abc", 4), u"abc"_s},
        {"One", 1, REG_DWORD, QByteArray("\x01\0\0\0", 4), u"001"_s},
        {"Zero", 0, REG_DWORD, QByteArray("\0\0\0\0", 4), u"000"_s},
        {"Big", 258, REG_DWORD, QByteArray("\x02\x01\0\0", 4), u"258"_s},
        {"Minus", -1, REG_DWORD, QByteArray("\xff\xff\xff\xff", 4), u"-001"_s},
        {"Multi", QStringList{u"a"_s, u"bc"_s}, REG_MULTI_SZ, QByteArray("a\0bc\0\0", 6), {}},
        {"Binary", QByteArray("\x00\xff\n\t", 4), REG_BINARY, QByteArray("\x00\xff\n\t", 4), {}},
    };
    RegistryStore store;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QString name = QString::fromLatin1(c.name);
        ASSERT_TRUE(registry.SetRegistryValue(Key, HKEY_CURRENT_USER, name, c.value, c.type));
        EXPECT_EQ(store.value(HKEY_CURRENT_USER, Key, name)->data, c.bytes);
        if (!c.text.isNull()) {
            EXPECT_EQ(read(name.toLower()), c.text);
        }
    }
    EXPECT_EQ(read(u"Sz"_s, u"\\software\\KELVO TEST\\"_s), u"abc"_s) << "paths match without regard to case";
    for (const RegistryKey root : {HKEY_LOCAL_MACHINE, RegistryKey(0x7FFFFFFF), RegistryKey(0x80000007)})
        EXPECT_EQ(read(u"Sz"_s, Key, root), QString());
    EXPECT_EQ(read(u"Sz"_s, u"Software\\None"_s), QString());

    for (const int type : {0, 5, 6, 8}) {
        EXPECT_FALSE(registry.SetRegistryValue(Key, HKEY_CURRENT_USER, u"Bad"_s, 1, type));
        EXPECT_EQ(registry.LastRegistryError(), -2) << type;
    }
    EXPECT_FALSE(registry.SetRegistryValue(Key, HKEY_CURRENT_USER, u"Big"_s, u"x"_s, REG_DWORD));
    EXPECT_EQ(registry.LastRegistryError(), EINVAL);
    EXPECT_EQ(read(u"Big"_s), u"258"_s) << "left as it was";
    EXPECT_EQ(read(u"Bad"_s), QString());

    const QString desktop = u"Control Panel\\Desktop"_s;
    ASSERT_TRUE(
        registry.SetRegistryValue(desktop, HKEY_CURRENT_USER, u"ScreenSaveUsePassword"_s, u"1"_s, REG_SZ));
    EXPECT_EQ(read(u"ScreenSaveUsePassword"_s, desktop), QString());
}

TEST_F(RegistryTest, OpenKeysServeAsRootsOfWrites)
{
    ASSERT_TRUE(registry.OpenRegistryKey(u"Software"_s, HKEY_CURRENT_USER));
    const RegistryKey software = registry.RegistryKeyHandle();
    ASSERT_TRUE(registry.SetRegistryValue(u"Kelvo Test"_s, software, u"A"_s, u"under"_s, REG_SZ));
    EXPECT_EQ(read(u"A"_s), u"under"_s);
    registry.CloseRegistryKey(software);
    EXPECT_FALSE(registry.SetRegistryValue(QString(), software, u"B"_s, u"x"_s, REG_SZ));
    EXPECT_EQ(registry.LastRegistryError(), EBADF);
}

TEST_F(RegistryTest, LeavesAFileItCannotReadAlone)
{
    const std::string file = RegistryStore().filePath().toStdString();
    std::filesystem::create_directories(home.configDir() + "/kelvo");
    test::WriteFile(file, "not a registry\n");
    EXPECT_FALSE(registry.SetRegistryValue(Key, HKEY_CURRENT_USER, u"A"_s, u"1"_s, REG_SZ));
    EXPECT_EQ(registry.LastRegistryError(), EBADMSG);
    EXPECT_EQ(test::ReadFile(file), QByteArray("not a registry\n"));
}

TEST_F(RegistryTest, RunValueIsTheAutostartEntry)
{
    const QString command = u"\"/opt/My Apps/kelvo\" /W"_s;
    const std::string entry = home.configDir() + "/autostart/kelvo.desktop";
    ASSERT_TRUE(registry.SetRegistryValue(RunKey, HKEY_LOCAL_MACHINE, u"Kelvo"_s, command, REG_SZ));
    const QByteArray desktopFile = test::ReadFile(entry);
    EXPECT_TRUE(desktopFile.contains("\nExec=\"/opt/My Apps/kelvo\" /W\n"));
    EXPECT_EQ(read(u"Kelvo"_s, RunKey, HKEY_LOCAL_MACHINE), command);
    EXPECT_EQ(read(u"kelvo"_s, RunKey), command);
    EXPECT_FALSE(RegistryStore().value(HKEY_LOCAL_MACHINE, RunKey, u"Kelvo"_s));

    ASSERT_TRUE(registry.SetRegistryValue(RunKey, HKEY_LOCAL_MACHINE, u"Kelvo"_s, QString(), REG_SZ));
    EXPECT_TRUE(test::ReadFile(entry).contains("\nHidden=true\n"));
    EXPECT_EQ(read(u"Kelvo"_s, RunKey, HKEY_LOCAL_MACHINE), QString());
}

TEST(AutostartEntry, ExecKeepsAwkwardPathsIntact)
{
    test::IsolatedHome home;
    AutostartEntry entry;
    for (const QString& program : {u"/home/a b/kelvo"_s, u"/opt/$HOME/100%/k\\v`x y"_s}) {
        const QString command = u'"' + program + u"\" /W"_s;
        ASSERT_EQ(entry.setCommand(command), 0);
        EXPECT_EQ(entry.command(), command);
        EXPECT_EQ(SplitCommandLine(entry.command()), (QStringList{program, u"/W"_s}));
    }
    // $ escaped inside quotes, the backslash doubled for the file, % doubled.
    EXPECT_EQ(ExecValue({u"/a$b/k%"_s}), u"\"/a\\\\$b/k%%\""_s);
    EXPECT_EQ(ExecArguments(u"\"/a\\\\$b/k%%\" /W"_s), (QStringList{u"/a$b/k%"_s, u"/W"_s}));
}

} // namespace
} // namespace kelvo
