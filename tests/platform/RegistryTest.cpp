#include "platform/Registry.h"

#include "platform/AutostartEntry.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

namespace kelvo {
namespace {

const QString Key = QStringLiteral("Software\\Kelvo Test");
const QString RunKey = QStringLiteral("Software\\Microsoft\\Windows\\CurrentVersion\\Run");

TEST(Registry, ReadsTextsAndNumbersAsText)
{
    test::IsolatedHome home;
    Registry registry;
    ASSERT_TRUE(registry.SetRegistryValue(Key, HKEY_CURRENT_USER, QStringLiteral("Text"), QStringLiteral("1"),
                                          REG_SZ));
    ASSERT_TRUE(registry.SetRegistryValue(Key, HKEY_CURRENT_USER, QStringLiteral("One"), 1, REG_DWORD));
    ASSERT_TRUE(registry.SetRegistryValue(Key, HKEY_CURRENT_USER, QStringLiteral("Zero"), 0, REG_DWORD));
    ASSERT_TRUE(registry.SetRegistryValue(Key, HKEY_CURRENT_USER, QStringLiteral("Big"), 1234, REG_DWORD));
    ASSERT_TRUE(registry.SetRegistryValue(Key, HKEY_CURRENT_USER, QStringLiteral("Minus"), -1, REG_DWORD));

    EXPECT_EQ(registry.ReadRegistryValue(HKEY_CURRENT_USER, Key, QStringLiteral("Text")),
              QStringLiteral("1"));
    EXPECT_EQ(registry.ReadRegistryValue(HKEY_CURRENT_USER, Key, QStringLiteral("One")),
              QStringLiteral("001"));
    EXPECT_EQ(registry.ReadRegistryValue(HKEY_CURRENT_USER, Key, QStringLiteral("zero")),
              QStringLiteral("000"));
    EXPECT_EQ(registry.ReadRegistryValue(HKEY_CURRENT_USER, Key, QStringLiteral("Big")),
              QStringLiteral("1234"));
    EXPECT_EQ(registry.ReadRegistryValue(HKEY_CURRENT_USER, Key, QStringLiteral("Minus")),
              QStringLiteral("-001"));
    EXPECT_EQ(registry.ReadRegistryValue(HKEY_CURRENT_USER, QStringLiteral("\\software\\KELVO TEST\\"),
                                         QStringLiteral("Text")),
              QStringLiteral("1"))
        << "paths and names match without regard to case";

    EXPECT_EQ(registry.ReadRegistryValue(HKEY_CURRENT_USER, Key, QStringLiteral("Missing")), QString());
    EXPECT_EQ(registry.ReadRegistryValue(HKEY_CURRENT_USER, QStringLiteral("Software\\None"),
                                         QStringLiteral("Text")),
              QString());
    EXPECT_EQ(registry.ReadRegistryValue(HKEY_LOCAL_MACHINE, Key, QStringLiteral("Text")), QString());
    EXPECT_EQ(registry.ReadRegistryValue(0x7FFFFFFF, Key, QStringLiteral("Text")), QString());
    EXPECT_EQ(registry.ReadRegistryValue(0x80000007, Key, QStringLiteral("Text")), QString());
}

TEST(Registry, WritesEachValueTypeAsItsBytes)
{
    test::IsolatedHome home;
    Registry registry;
    RegistryStore store;
    const auto stored = [&](const QString& name) { return store.value(HKEY_CURRENT_USER, Key, name); };

    ASSERT_TRUE(registry.SetRegistryValue(Key, HKEY_CURRENT_USER, QStringLiteral("Sz"), QStringLiteral("abc"),
                                          REG_SZ));
    EXPECT_EQ(stored(QStringLiteral("Sz"))->data, QByteArray("abc", 4));
    EXPECT_EQ(stored(QStringLiteral("Sz"))->type, REG_SZ);

    ASSERT_TRUE(registry.SetRegistryValue(Key, HKEY_CURRENT_USER, QStringLiteral("Dword"), 258, REG_DWORD));
    EXPECT_EQ(stored(QStringLiteral("Dword"))->data, QByteArray("\x02\x01\x00\x00", 4));

    ASSERT_TRUE(registry.SetRegistryValue(Key, HKEY_CURRENT_USER, QStringLiteral("Multi"),
                                          QStringList{QStringLiteral("a"), QStringLiteral("bc")},
                                          REG_MULTI_SZ));
    EXPECT_EQ(stored(QStringLiteral("Multi"))->data, QByteArray("a\0bc\0\0", 6));

    ASSERT_TRUE(registry.SetRegistryValue(Key, HKEY_CURRENT_USER, QStringLiteral("Binary"),
                                          QByteArray("\x00\xff\n\t", 4), REG_BINARY));
    EXPECT_EQ(stored(QStringLiteral("Binary"))->data, QByteArray("\x00\xff\n\t", 4));
    EXPECT_EQ(registry.LastRegistryError(), 0);

    for (const int type : {0, 5, 6, 8}) {
        EXPECT_FALSE(registry.SetRegistryValue(Key, HKEY_CURRENT_USER, QStringLiteral("Bad"), 1, type));
        EXPECT_EQ(registry.LastRegistryError(), -2) << type;
    }
    EXPECT_FALSE(stored(QStringLiteral("Bad")));

    EXPECT_FALSE(registry.SetRegistryValue(Key, HKEY_CURRENT_USER, QStringLiteral("Dword"),
                                           QStringLiteral("x"), REG_DWORD));
    EXPECT_EQ(registry.LastRegistryError(), EINVAL);
    EXPECT_EQ(stored(QStringLiteral("Dword"))->data, QByteArray("\x02\x01\x00\x00", 4)) << "left as it was";

    ASSERT_TRUE(registry.SetRegistryValue(Key, HKEY_CURRENT_USER, QStringLiteral("sz"), QStringLiteral("new"),
                                          REG_SZ));
    EXPECT_EQ(registry.ReadRegistryValue(HKEY_CURRENT_USER, Key, QStringLiteral("Sz")), QStringLiteral("new"))
        << "a value of another case is the same value";
}

TEST(Registry, OpenKeysServeAsRoots)
{
    test::IsolatedHome home;
    Registry registry;
    ASSERT_TRUE(registry.OpenRegistryKey(QStringLiteral("Software"), HKEY_CURRENT_USER));
    const RegistryKey software = registry.RegistryKeyHandle();
    EXPECT_FALSE(IsPredefinedRegistryRoot(software));

    ASSERT_TRUE(registry.SetRegistryValue(QStringLiteral("Kelvo Test"), software, QStringLiteral("A"),
                                          QStringLiteral("under"), REG_SZ));
    ASSERT_TRUE(registry.SetRegistryValue(QString(), software, QStringLiteral("B"), QStringLiteral("itself"),
                                          REG_SZ));
    EXPECT_EQ(registry.ReadRegistryValue(HKEY_CURRENT_USER, Key, QStringLiteral("A")),
              QStringLiteral("under"));
    EXPECT_EQ(registry.ReadRegistryValue(HKEY_CURRENT_USER, QStringLiteral("Software"), QStringLiteral("B")),
              QStringLiteral("itself"));
    EXPECT_EQ(registry.ReadRegistryValue(software, QString(), QStringLiteral("B")), QString())
        << "reads take predefined roots only";

    registry.CloseRegistryKey(software);
    EXPECT_FALSE(
        registry.SetRegistryValue(QString(), software, QStringLiteral("B"), QStringLiteral("x"), REG_SZ));
    EXPECT_EQ(registry.LastRegistryError(), EBADF);
    EXPECT_FALSE(registry.OpenRegistryKey(Key, 0x1234));
}

TEST(Registry, LeavesAFileItCannotReadAlone)
{
    test::IsolatedHome home;
    RegistryStore store;
    std::filesystem::create_directories(home.configDir() + "/kelvo");
    test::WriteFile(store.filePath().toStdString(), "not a registry\n");
    Registry registry;
    EXPECT_FALSE(
        registry.SetRegistryValue(Key, HKEY_CURRENT_USER, QStringLiteral("A"), QStringLiteral("1"), REG_SZ));
    EXPECT_EQ(registry.LastRegistryError(), EBADMSG);
    EXPECT_EQ(test::ReadFile(store.filePath().toStdString()), QByteArray("not a registry\n"));
    EXPECT_EQ(registry.ReadRegistryValue(HKEY_CURRENT_USER, Key, QStringLiteral("A")), QString());
}

TEST(Registry, ScreenSavePasswordFlagReadsEmpty)
{
    test::IsolatedHome home;
    Registry registry;
    const QString desktop = QStringLiteral("Control Panel\\Desktop");
    ASSERT_TRUE(registry.SetRegistryValue(desktop, HKEY_CURRENT_USER, QStringLiteral("ScreenSaveUsePassword"),
                                          QStringLiteral("1"), REG_SZ));
    EXPECT_EQ(registry.ReadRegistryValue(HKEY_CURRENT_USER, desktop, QStringLiteral("ScreenSaveUsePassword")),
              QString());
}

TEST(Registry, RunValueIsTheAutostartEntry)
{
    test::IsolatedHome home;
    Registry registry;
    AutostartEntry entry;
    const QString command = QStringLiteral("\"/opt/My Apps/kelvo\" /W");
    EXPECT_EQ(entry.filePath(), QString::fromStdString(home.configDir() + "/autostart/kelvo.desktop"));

    ASSERT_TRUE(registry.OpenRegistryKey(RunKey, HKEY_LOCAL_MACHINE));
    registry.CloseRegistryKey(registry.RegistryKeyHandle());
    ASSERT_TRUE(
        registry.SetRegistryValue(RunKey, HKEY_LOCAL_MACHINE, QStringLiteral("Kelvo"), command, REG_SZ));
    const QByteArray desktopFile = test::ReadFile(entry.filePath().toStdString());
    EXPECT_TRUE(desktopFile.startsWith("[Desktop Entry]\n"));
    EXPECT_TRUE(desktopFile.contains("\nType=Application\n"));
    EXPECT_TRUE(desktopFile.contains("\nName=Kelvo\n"));
    EXPECT_TRUE(desktopFile.contains("\nExec=\"/opt/My Apps/kelvo\" /W\n"));
    EXPECT_EQ(registry.ReadRegistryValue(HKEY_LOCAL_MACHINE, RunKey, QStringLiteral("Kelvo")), command);
    EXPECT_EQ(registry.ReadRegistryValue(HKEY_CURRENT_USER, RunKey, QStringLiteral("kelvo")), command);
    EXPECT_FALSE(RegistryStore().value(HKEY_LOCAL_MACHINE, RunKey, QStringLiteral("Kelvo")));

    ASSERT_TRUE(
        registry.SetRegistryValue(RunKey, HKEY_LOCAL_MACHINE, QStringLiteral("Kelvo"), QString(), REG_SZ));
    EXPECT_TRUE(test::ReadFile(entry.filePath().toStdString()).contains("\nHidden=true\n"));
    EXPECT_EQ(registry.ReadRegistryValue(HKEY_LOCAL_MACHINE, RunKey, QStringLiteral("Kelvo")), QString());
}

TEST(AutostartEntry, ExecKeepsAwkwardPathsIntact)
{
    test::IsolatedHome home;
    AutostartEntry entry;
    for (const QString& program :
         {QStringLiteral("/home/a b/kelvo"), QStringLiteral("/opt/$HOME/100%/k\\v`x y")}) {
        const QString command = u'"' + program + QStringLiteral("\" /W");
        ASSERT_EQ(entry.setCommand(command), 0);
        EXPECT_EQ(entry.command(), command);
        EXPECT_EQ(SplitCommandLine(entry.command()), (QStringList{program, QStringLiteral("/W")}));
    }
    EXPECT_EQ(ExecValue({QStringLiteral("/a$b/k%")}), QStringLiteral("\"/a\\\\$b/k%%\""))
        << "$ escaped inside quotes, the backslash doubled for the file, % doubled";
    EXPECT_EQ(ExecArguments(QStringLiteral("\"/a\\\\$b/k%%\" /W")),
              (QStringList{QStringLiteral("/a$b/k%"), QStringLiteral("/W")}));
}

} // namespace
} // namespace kelvo
