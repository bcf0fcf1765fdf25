#include "session/IdleBackup.h"

#include "session/PrivateBus.h"
#include "session/ScreenSaverWatch.h"

#include <gtest/gtest.h>

namespace kelvo {
namespace {

TEST(IdleBackup, RunsAllSetsOncePerActivationWhileTheSettingIsOn)
{
    test::EnsureApplication();
    ScreenSaverWatch watch(test::UnconnectedBus());
    GeneralSettings settings;
    bool busy = false;
    int runs = 0;
    std::vector<QString> notes;
    IdleBackup idle(watch, {settings, [&] { return busy; }, [&] { ++runs; },
                            [&](const QString& line) { notes.push_back(line); }});

    emit watch.activated();
    EXPECT_EQ(runs, 0) << "the setting is off";
    idle.CheckAvailable();
    EXPECT_TRUE(notes.empty()) << "nothing to say while it is off";

    settings.flRunWhenIdle = true;
    emit watch.activated();
    EXPECT_EQ(runs, 1);
    busy = true;
    emit watch.activated();
    EXPECT_EQ(runs, 1) << "a second activation during the run adds nothing";

    // No bus at all: harmless, and said once.
    idle.CheckAvailable();
    idle.CheckAvailable();
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_TRUE(notes[0].startsWith(QStringLiteral("Idle backups are not available on this desktop")));
}
} // namespace
} // namespace kelvo
