#include "platform/Registry.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

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

TEST_F(RegistryTest, StoresTextsAndNumbersAndReadsNothingForWhatWasNeverStored)
{
    ASSERT_TRUE(registry.SetRegistryValue(Key, HKEY_CURRENT_USER, u"Sz"_s, u"abc"_s, REG_SZ));
    ASSERT_TRUE(registry.SetRegistryValue(Key, HKEY_CURRENT_USER, u"Zero"_s, 0, REG_DWORD));
    EXPECT_EQ(Registry().ReadRegistryValue(HKEY_CURRENT_USER, Key, u"Sz"_s), u"abc"_s) << "kept on disk";
    EXPECT_EQ(read(u"Zero"_s), u"000"_s);

    EXPECT_FALSE(registry.SetRegistryValue(Key, HKEY_CURRENT_USER, u"Bad"_s, 1, 5));
    EXPECT_EQ(registry.LastRegistryError(), -2);
    EXPECT_EQ(read(u"Bad"_s), QString());
    EXPECT_EQ(read(u"Sz"_s, u"Software\\None"_s), QString());
    EXPECT_EQ(read(u"Sz"_s, Key, RegistryKey(0x7FFFFFFF)), QString());
}

TEST_F(RegistryTest, RunValueIsTheAutostartEntry)
{
    const QString command = u"\"/opt/My Apps/kelvo\" /W"_s;
    const std::string entry = home.configDir() + "/autostart/kelvo.desktop";
    ASSERT_TRUE(registry.SetRegistryValue(RunKey, HKEY_LOCAL_MACHINE, u"Kelvo"_s, command, REG_SZ));
    EXPECT_TRUE(test::ReadFile(entry).contains("\nExec=\"/opt/My Apps/kelvo\" /W\n"));
    EXPECT_EQ(read(u"Kelvo"_s, RunKey, HKEY_LOCAL_MACHINE), command);

    // Characters that a desktop's launcher would expand are escaped, and the path reads back as written.
    const QString odd = u"\"/opt/$HOME `x` 100%\\kelvo\" /W"_s;
    ASSERT_TRUE(registry.SetRegistryValue(RunKey, HKEY_LOCAL_MACHINE, u"Kelvo"_s, odd, REG_SZ));
    EXPECT_EQ(read(u"Kelvo"_s, RunKey, HKEY_LOCAL_MACHINE), odd);
    EXPECT_TRUE(test::ReadFile(entry).contains("100%%"));
    EXPECT_FALSE(test::ReadFile(entry).contains(" $HOME"));

    ASSERT_TRUE(registry.SetRegistryValue(RunKey, HKEY_LOCAL_MACHINE, u"Kelvo"_s, QString(), REG_SZ));
    EXPECT_TRUE(test::ReadFile(entry).contains("\nHidden=true\n"));
    EXPECT_EQ(read(u"Kelvo"_s, RunKey, HKEY_LOCAL_MACHINE), QString());
}

} // namespace
} // namespace kelvo
