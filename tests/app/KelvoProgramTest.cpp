#include "platform/InstanceLock.h"
#include "platform/SettingsStore.h"
#include "support/TestSupport.h"

#include <QProcess>

#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;

namespace kelvo {
namespace {

// Runs the kelvo program in the test's own home; -1 when it did not end (it should end at once).
int RunKelvo(const QString& commandLine)
{
    QProcess kelvo;
    kelvo.setProcessChannelMode(QProcess::ForwardedChannels);
    kelvo.start(QStringLiteral(KELVO_BIN_DIR "/kelvo"), commandLine.split(u' ', Qt::SkipEmptyParts));
    if (!kelvo.waitForFinished(60000)) {
        kelvo.kill();
        kelvo.waitForFinished();
        return -1;
    }
    return kelvo.exitStatus() == QProcess::NormalExit ? kelvo.exitCode() : -1;
}

// An older version's settings: a start that loads the configuration imports them into "Kelvo".
class KelvoProgram : public testing::Test
{
protected:
    KelvoProgram() { store.SaveSetting(u"Saver"_s, u"Settings"_s, u"StrLogFileDir"_s, u"/legacy/"_s); }

    bool configurationWasLoaded() const
    {
        return store.GetSetting(u"Kelvo"_s, u"Settings"_s, u"StrLogFileDir"_s) == u"/legacy/"_s;
    }

    test::IsolatedHome home;
    SettingsStore store;
};

TEST_F(KelvoProgram, EndsAtOnceWithoutAWindowOrBesideARunningInstanceButTheEditorStarts)
{
    InstanceLock running;
    ASSERT_TRUE(running.TryAcquire());
    for (const QString& commandLine : {u"/p 123"_s, u"/x"_s, u"word"_s, u"/a 1234"_s, u"/b"_s, u"/S"_s})
        EXPECT_EQ(RunKelvo(commandLine), 0) << commandLine.toStdString();
    EXPECT_FALSE(configurationWasLoaded()) << "a second instance must not get as far as loading";

    EXPECT_EQ(RunKelvo(u"/c:1234"_s), 0);
    EXPECT_TRUE(configurationWasLoaded()) << "the editor does not look for a running instance";
}

TEST_F(KelvoProgram, FirstInstanceLoadsTheConfigurationAndEnds)
{
    EXPECT_EQ(RunKelvo(u"/b"_s), 0);
    EXPECT_TRUE(configurationWasLoaded());
    EXPECT_EQ(RunKelvo({}), 0);
    InstanceLock afterwards;
    EXPECT_TRUE(afterwards.TryAcquire()) << "the ended instance left no mark";
}

} // namespace
} // namespace kelvo
