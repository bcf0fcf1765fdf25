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

class ScreenSaverWatchTest : public test::PrivateBusTest
{
protected:
    void SetUp() override
    {
        PrivateBusTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        watch.emplace(bus.client());
        QObject::connect(&*watch, &ScreenSaverWatch::activated, [this] { ++activations; });
        // The watch's match rules reach the daemon before anything the stand-ins send from now on.
        ASSERT_TRUE(bus.Flush(QStringLiteral("org.freedesktop.DBus")));
    }

    // Sends ActiveChanged(value) from sender and tells how many activations that added once the watch
    // has had it.
    int EmitFrom(const QDBusConnection& sender, const QString& path, const QString& interface,
                 const QVariant& value)
    {
        const int before = activations;
        QDBusMessage signal = QDBusMessage::createSignal(path, interface, QStringLiteral("ActiveChanged"));
        signal << value;
        EXPECT_TRUE(sender.send(signal));
        EXPECT_TRUE(bus.Flush(sender.baseService()));
        return activations - before;
    }

    int Emit(const QString& path, const QString& interface, const QVariant& value)
    {
        return EmitFrom(bus.standIn(), path, interface, value);
    }

    // Both savers' names, owned by the stand-ins after the watch has started, as a saver that starts
    // after Kelvo.
    void ownNames()
    {
        for (const QString& service : {freedesktop, gnome})
            ASSERT_TRUE(bus.standIn().interface()->registerService(service).isValid());
    }

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
    ownNames();
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
    ownNames();
    EXPECT_EQ(Emit(QStringLiteral("/ScreenSaver"), freedesktop, true), 1);
    EXPECT_EQ(Emit(QStringLiteral("/org/freedesktop/ScreenSaver"), freedesktop, true), 0);
    EXPECT_EQ(Emit(QStringLiteral("/org/freedesktop/ScreenSaver"), freedesktop, false), 0);
    EXPECT_EQ(Emit(QStringLiteral("/ScreenSaver"), freedesktop, false), 0);
    EXPECT_EQ(Emit(QStringLiteral("/ScreenSaver"), freedesktop, true), 1);
}

TEST_F(ScreenSaverWatchTest, OtherSignalsAreNoActivation)
{
    ownNames();
    EXPECT_EQ(Emit(QStringLiteral("/org/gnome/ScreenSaver"), gnome, QStringLiteral("true")), 0);
    EXPECT_EQ(Emit(QStringLiteral("/elsewhere"), freedesktop, true), 0);
    EXPECT_EQ(Emit(QStringLiteral("/org/gnome/ScreenSaver"), freedesktop, true), 0);
    EXPECT_EQ(Emit(QStringLiteral("/ScreenSaver"), gnome, true), 0);
}

TEST_F(ScreenSaverWatchTest, HearsOnlyTheCurrentOwnerOfTheName)
{
    const QDBusConnection other = bus.other();
    const QString path = QStringLiteral("/org/freedesktop/ScreenSaver");
    EXPECT_EQ(EmitFrom(other, path, freedesktop, true), 0) << "nobody owns the name";
    ownNames();
    EXPECT_EQ(EmitFrom(other, path, freedesktop, true), 0) << "the name is another's";
    EXPECT_EQ(Emit(path, freedesktop, true), 1);

    // The saver is replaced: its successor is heard, the one that left is not.
    ASSERT_TRUE(bus.standIn().interface()->unregisterService(freedesktop).value());
    ASSERT_TRUE(other.interface()->registerService(freedesktop).isValid());
    EXPECT_EQ(EmitFrom(other, path, freedesktop, true), 1);
    EXPECT_EQ(Emit(path, freedesktop, false), 0);
    EXPECT_EQ(Emit(path, freedesktop, true), 0);
    EXPECT_EQ(EmitFrom(other, QStringLiteral("/org/gnome/ScreenSaver"), gnome, true), 0)
        << "each name has its own owner";
}

} // namespace
} // namespace kelvo
