#include "session/ScreenSaverWatch.h"

#include "session/IdleBackup.h"
#include "session/PrivateBus.h"

#include <QDBusConnectionInterface>

#include <gtest/gtest.h>

namespace kelvo {
namespace {

using namespace Qt::StringLiterals;

const QString freedesktop = u"org.freedesktop.ScreenSaver"_s;
const QString gnome = u"org.gnome.ScreenSaver"_s;
const QString freedesktopPath = u"/org/freedesktop/ScreenSaver"_s;

class ScreenSaverWatchTest : public test::BusWatchTest<ScreenSaverWatch, &ScreenSaverWatch::activated>
{
protected:
    // How many activations ActiveChanged(value) of the stand-ins added.
    int Emit(const QString& path, const QString& interface, const QVariant& value)
    {
        return HeardFrom(bus.standIn(), path, interface, u"ActiveChanged"_s, value);
    }

    // The stand-ins take both savers' names after the watch started, as a saver started after Kelvo.
    void ownNames()
    {
        for (const QString& service : {freedesktop, gnome})
            ASSERT_TRUE(bus.standIn().interface()->registerService(service).isValid());
    }
};

TEST_F(ScreenSaverWatchTest, AvailableWhileEitherServiceIsOnTheBus)
{
    QDBusConnectionInterface* daemon = bus.standIn().interface();
    EXPECT_FALSE(watch->available());
    for (const QString& service : {freedesktop, gnome}) {
        ASSERT_TRUE(daemon->registerService(service).isValid());
        EXPECT_TRUE(watch->available()) << service.toStdString();
        ASSERT_TRUE(daemon->unregisterService(service).value());
        EXPECT_FALSE(watch->available()) << service.toStdString();
    }
    EXPECT_FALSE(ScreenSaverWatch(test::UnconnectedBus()).available());
}

// One activation, even announced on both paths of a name, counts once; other signals count never.
TEST_F(ScreenSaverWatchTest, ActivatedOnceWhenTheSaverTurnsActive)
{
    ownNames();
    for (const auto& [path, interface] :
         {std::pair{u"/ScreenSaver"_s, freedesktop}, std::pair{freedesktopPath, freedesktop},
          std::pair{u"/org/gnome/ScreenSaver"_s, gnome}}) {
        SCOPED_TRACE(path.toStdString());
        EXPECT_EQ(Emit(path, interface, false), 0);
        EXPECT_EQ(Emit(path, interface, true), 1);
        EXPECT_EQ(Emit(path, interface, true), 0) << "still the same activation";
        EXPECT_EQ(Emit(path, interface, false), 0);
    }
    EXPECT_EQ(Emit(u"/ScreenSaver"_s, freedesktop, true), 1);
    EXPECT_EQ(Emit(freedesktopPath, freedesktop, true), 0) << "the same activation on the other path";
    EXPECT_EQ(Emit(freedesktopPath, freedesktop, false), 0);

    EXPECT_EQ(Emit(u"/org/gnome/ScreenSaver"_s, gnome, u"true"_s), 0);
    EXPECT_EQ(Emit(u"/elsewhere"_s, freedesktop, true), 0);
    EXPECT_EQ(Emit(u"/org/gnome/ScreenSaver"_s, freedesktop, true), 0);
    EXPECT_EQ(Emit(u"/ScreenSaver"_s, gnome, true), 0);
}

TEST_F(ScreenSaverWatchTest, HearsOnlyTheCurrentOwnerOfTheName)
{
    const QDBusConnection other = bus.other();
    const auto fromOther = [&](const QString& path, const QString& interface) {
        return HeardFrom(other, path, interface, u"ActiveChanged"_s, true);
    };
    EXPECT_EQ(fromOther(freedesktopPath, freedesktop), 0) << "nobody owns the name";
    ownNames();
    EXPECT_EQ(fromOther(freedesktopPath, freedesktop), 0) << "the name is another's";
    EXPECT_EQ(Emit(freedesktopPath, freedesktop, true), 1);

    // The saver is replaced: its successor is heard, the one that left is not.
    ASSERT_TRUE(bus.standIn().interface()->unregisterService(freedesktop).value());
    ASSERT_TRUE(other.interface()->registerService(freedesktop).isValid());
    EXPECT_EQ(fromOther(freedesktopPath, freedesktop), 1);
    EXPECT_EQ(Emit(freedesktopPath, freedesktop, false), 0);
    EXPECT_EQ(Emit(freedesktopPath, freedesktop, true), 0);
    EXPECT_EQ(fromOther(u"/org/gnome/ScreenSaver"_s, gnome), 0) << "each name has its own owner";
}

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
