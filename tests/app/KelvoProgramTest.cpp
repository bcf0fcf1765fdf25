#include "platform/InstanceLock.h"
#include "platform/SettingsStore.h"
#include "support/TestSupport.h"

#include <QProcess>

#include <gtest/gtest.h>

namespace kelvo {
namespace {

// Runs the kelvo program in the test's own home; -1 when it did not end (it should end at once).
int RunKelvo(const QStringList& arguments)
{
    QProcess kelvo;
    kelvo.setProcessChannelMode(QProcess::ForwardedChannels);
    kelvo.start(QStringLiteral(KELVO_BIN_DIR "/kelvo"), arguments);
    if (!kelvo.waitForFinished(60000)) {
        kelvo.kill();
        kelvo.waitForFinished();
        return -1;
    }
    return kelvo.exitStatus() == QProcess::NormalExit ? kelvo.exitCode() : -1;
}

// An older version's settings: a start that loads the configuration imports them into "Kelvo".
void WriteLegacySettings(SettingsStore& store)
{
    store.SaveSetting(QStringLiteral("Saver"), QStringLiteral("Settings"), QStringLiteral("StrLogFileDir"),
                      QStringLiteral("/legacy/"));
}

bool ConfigurationWasLoaded(const SettingsStore& store)
{
    return store.GetSetting(QStringLiteral("Kelvo"), QStringLiteral("Settings"),
                            QStringLiteral("StrLogFileDir")) == QStringLiteral("/legacy/");
}

TEST(KelvoProgram, PreviewUnknownSwitchesAndPasswordChangeEndAtOnce)
{
    test::IsolatedHome home;
    SettingsStore store;
    WriteLegacySettings(store);
    for (const QStringList& arguments :
         {QStringList{QStringLiteral("/p"), QStringLiteral("123")}, QStringList{QStringLiteral("/x")},
          QStringList{QStringLiteral("word")}, QStringList{QStringLiteral("/a"), QStringLiteral("1234")}}) {
        EXPECT_EQ(RunKelvo(arguments), 0) << arguments.join(u' ').toStdString();
    }
    EXPECT_FALSE(ConfigurationWasLoaded(store));
}

TEST(KelvoProgram, SecondInstanceEndsSilentlyButTheEditorStartsBesideIt)
{
    test::IsolatedHome home;
    SettingsStore store;
    WriteLegacySettings(store);
    InstanceLock running;
    ASSERT_TRUE(running.TryAcquire());

    EXPECT_EQ(RunKelvo({QStringLiteral("/b")}), 0);
    EXPECT_EQ(RunKelvo({QStringLiteral("/S")}), 0);
    EXPECT_FALSE(ConfigurationWasLoaded(store)) << "a second instance must not get as far as loading";

    EXPECT_EQ(RunKelvo({QStringLiteral("/c:1234")}), 0);
    EXPECT_TRUE(ConfigurationWasLoaded(store)) << "the editor does not look for a running instance";
}

TEST(KelvoProgram, FirstInstanceLoadsTheConfigurationAndEnds)
{
    test::IsolatedHome home;
    SettingsStore store;
    WriteLegacySettings(store);
    EXPECT_EQ(RunKelvo({QStringLiteral("/b")}), 0);
    EXPECT_TRUE(ConfigurationWasLoaded(store));
    EXPECT_EQ(RunKelvo({}), 0);

    InstanceLock afterwards;
    EXPECT_TRUE(afterwards.TryAcquire()) << "the ended instance left no mark";
}

} // namespace
} // namespace kelvo
