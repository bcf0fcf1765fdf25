#include "session/IdleBackup.h"

#include "session/PrivateBus.h"
#include "session/ScreenSaverWatch.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>

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

TEST(IdleBackup, RunsNothingForAClientThatDoesNotOwnTheSaversName)
{
    test::EnsureApplication();
    if (!test::DbusDaemonInstalled())
        GTEST_SKIP() << "dbus-daemon is not installed (Debian package dbus)";
    test::PrivateBus bus;
    ASSERT_EQ(bus.error(), QString());
    ScreenSaverWatch watch(bus.client());
    GeneralSettings settings;
    settings.flRunWhenIdle = true;
    int runs = 0;
    IdleBackup idle(watch, {settings, [] { return false; }, [&] { ++runs; }, [](const QString&) {}});
    ASSERT_TRUE(bus.Flush(QStringLiteral("org.freedesktop.DBus")));
    ASSERT_TRUE(
        bus.standIn().interface()->registerService(QStringLiteral("org.gnome.ScreenSaver")).isValid());

    const auto activate = [&](const QDBusConnection& sender) {
        QDBusMessage signal = QDBusMessage::createSignal(QStringLiteral("/org/gnome/ScreenSaver"),
                                                         QStringLiteral("org.gnome.ScreenSaver"),
                                                         QStringLiteral("ActiveChanged"));
        signal << true;
        EXPECT_TRUE(sender.send(signal));
        EXPECT_TRUE(bus.Flush(sender.baseService()));
    };
    activate(bus.other());
    EXPECT_EQ(runs, 0) << "a forged activation";
    activate(bus.standIn());
    EXPECT_EQ(runs, 1) << "the saver's own";
}

} // namespace
} // namespace kelvo
