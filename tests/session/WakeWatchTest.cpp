#include "session/WakeWatch.h"

#include "session/PrivateBus.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>

#include <gtest/gtest.h>

#include <optional>

namespace kelvo {
namespace {

using test::PrivateBus;

const QString logind = QStringLiteral("org.freedesktop.login1");
const QString path = QStringLiteral("/org/freedesktop/login1");
const QString manager = QStringLiteral("org.freedesktop.login1.Manager");

class WakeWatchTest : public test::PrivateBusTest
{
protected:
    void SetUp() override
    {
        PrivateBusTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        watch.emplace(bus.client());
        QObject::connect(&*watch, &WakeWatch::woke, [this] { ++wakes; });
        // The watch's match rule reaches the daemon before anything the stand-ins send from now on.
        ASSERT_TRUE(bus.Flush(QStringLiteral("org.freedesktop.DBus")));
    }

    // Sends a signal of logind's manager and tells how many wakes it added once the watch has had it.
    int EmitFrom(const QDBusConnection& sender, const QString& member, const QVariant& value)
    {
        const int before = wakes;
        QDBusMessage signal = QDBusMessage::createSignal(path, manager, member);
        signal << value;
        EXPECT_TRUE(sender.send(signal));
        EXPECT_TRUE(bus.Flush(sender.baseService()));
        return wakes - before;
    }

    std::optional<WakeWatch> watch;
    int wakes = 0;
};

TEST_F(WakeWatchTest, WokeWhenLogindSaysTheSleepIsOver)
{
    const QString prepare = QStringLiteral("PrepareForSleep");
    EXPECT_EQ(EmitFrom(bus.standIn(), prepare, false), 0) << "nobody owns logind's name";
    ASSERT_TRUE(bus.standIn().interface()->registerService(logind).isValid());
    EXPECT_EQ(EmitFrom(bus.standIn(), prepare, true), 0) << "going to sleep";
    EXPECT_EQ(EmitFrom(bus.standIn(), prepare, false), 1);
    EXPECT_EQ(EmitFrom(bus.other(), prepare, false), 0) << "not logind";
    EXPECT_EQ(EmitFrom(bus.standIn(), QStringLiteral("PrepareForShutdown"), false), 0);
    EXPECT_EQ(EmitFrom(bus.standIn(), prepare, QStringLiteral("false")), 0);
}

TEST(WakeWatch, WithoutABusNothingFails)
{
    test::EnsureApplication();
    WakeWatch watch(test::UnconnectedBus());
}

} // namespace
} // namespace kelvo
