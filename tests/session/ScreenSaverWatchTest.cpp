#include "session/ScreenSaverWatch.h"

#include "session/PrivateBus.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>

#include <gtest/gtest.h>

namespace kelvo {
namespace {

using test::PrivateBus;

const QString freedesktop = QStringLiteral("org.freedesktop.ScreenSaver");
const QString gnome = QStringLiteral("org.gnome.ScreenSaver");

class ScreenSaverWatchTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { test::EnsureApplication(); }

    void SetUp() override
    {
        if (!test::DbusDaemonInstalled())
            GTEST_SKIP() << "dbus-daemon is not installed (Debian package dbus)";
        ASSERT_EQ(bus.error(), QString());
        watch.emplace(bus.client());
        QObject::connect(&*watch, &ScreenSaverWatch::activated, [this] { ++activations; });
        // The watch's match rules reach the daemon before anything the stand-ins send from now on.
        ASSERT_TRUE(bus.Flush(QStringLiteral("org.freedesktop.DBus")));
    }

    // Sends ActiveChanged(value) from the stand-ins' connection and tells how many activations that
    // added once the watch has had it.
    int Emit(const QString& path, const QString& interface, const QVariant& value)
    {
        const int before = activations;
        QDBusMessage signal = QDBusMessage::createSignal(path, interface, QStringLiteral("ActiveChanged"));
        signal << value;
        EXPECT_TRUE(bus.standIn().send(signal));
        EXPECT_TRUE(bus.Flush());
        return activations - before;
    }

    PrivateBus bus;
    std::optional<ScreenSaverWatch> watch;
    int activations = 0;
};

TEST_F(ScreenSaverWatchTest, AvailableWhileEitherServiceIsOnTheBus)
{
    QDBusConnectionInterface* daemon = bus.standIn().interface();
    EXPECT_FALSE(watch->available());
    for (const QString& service : {freedesktop, gnome}) {
        SCOPED_TRACE(service.toStdString());
        ASSERT_TRUE(daemon->registerService(service).isValid());
        EXPECT_TRUE(watch->available());
        ASSERT_TRUE(daemon->unregisterService(service).value());
        EXPECT_FALSE(watch->available());
    }
    EXPECT_FALSE(ScreenSaverWatch(test::UnconnectedBus()).available());
}

TEST_F(ScreenSaverWatchTest, ActivatedOnceWhenTheSaverTurnsActive)
{
    const std::pair<QString, QString> sources[] = {
        {QStringLiteral("/ScreenSaver"), freedesktop},
        {QStringLiteral("/org/freedesktop/ScreenSaver"), freedesktop},
        {QStringLiteral("/org/gnome/ScreenSaver"), gnome}};
    for (const auto& [path, interface] : sources) {
        SCOPED_TRACE(path.toStdString());
        EXPECT_EQ(Emit(path, interface, false), 0);
        EXPECT_EQ(Emit(path, interface, true), 1);
        EXPECT_EQ(Emit(path, interface, true), 0) << "still the same activation";
        EXPECT_EQ(Emit(path, interface, false), 0);
        EXPECT_EQ(Emit(path, interface, true), 1);
        EXPECT_EQ(Emit(path, interface, false), 0);
    }
}

TEST_F(ScreenSaverWatchTest, OneActivationAnnouncedOnBothPathsCountsOnce)
{
    EXPECT_EQ(Emit(QStringLiteral("/ScreenSaver"), freedesktop, true), 1);
    EXPECT_EQ(Emit(QStringLiteral("/org/freedesktop/ScreenSaver"), freedesktop, true), 0);
    EXPECT_EQ(Emit(QStringLiteral("/org/freedesktop/ScreenSaver"), freedesktop, false), 0);
    EXPECT_EQ(Emit(QStringLiteral("/ScreenSaver"), freedesktop, false), 0);
    EXPECT_EQ(Emit(QStringLiteral("/ScreenSaver"), freedesktop, true), 1);
}

TEST_F(ScreenSaverWatchTest, OtherSignalsAreNoActivation)
{
    EXPECT_EQ(Emit(QStringLiteral("/org/gnome/ScreenSaver"), gnome, QStringLiteral("true")), 0);
    EXPECT_EQ(Emit(QStringLiteral("/elsewhere"), freedesktop, true), 0);
    EXPECT_EQ(Emit(QStringLiteral("/org/gnome/ScreenSaver"), freedesktop, true), 0);
    EXPECT_EQ(Emit(QStringLiteral("/ScreenSaver"), gnome, true), 0);
}

} // namespace
} // namespace kelvo
