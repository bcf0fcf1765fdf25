#include "session/WakeWatch.h"

#include "session/PrivateBus.h"

#include <QDBusConnectionInterface>

#include <gtest/gtest.h>

namespace kelvo {
namespace {

using namespace Qt::StringLiterals;

class WakeWatchTest : public test::BusWatchTest<WakeWatch, &WakeWatch::woke>
{
protected:
    // How many wakes a signal of logind's manager added.
    int Emit(const QDBusConnection& sender, const QString& member, const QVariant& value)
    {
        return HeardFrom(sender, u"/org/freedesktop/login1"_s, u"org.freedesktop.login1.Manager"_s, member,
                         value);
    }
};

TEST_F(WakeWatchTest, WokeWhenLogindSaysTheSleepIsOver)
{
    const QString prepare = u"PrepareForSleep"_s;
    EXPECT_EQ(Emit(bus.standIn(), prepare, false), 0) << "nobody owns logind's name";
    ASSERT_TRUE(bus.standIn().interface()->registerService(u"org.freedesktop.login1"_s).isValid());
    EXPECT_EQ(Emit(bus.standIn(), prepare, true), 0) << "going to sleep";
    EXPECT_EQ(Emit(bus.standIn(), prepare, false), 1);
    EXPECT_EQ(Emit(bus.other(), prepare, false), 0) << "not logind";
    EXPECT_EQ(Emit(bus.standIn(), u"PrepareForShutdown"_s, false), 0);
    EXPECT_EQ(Emit(bus.standIn(), prepare, u"false"_s), 0);
}

TEST(WakeWatch, WithoutABusNothingFails)
{
    test::EnsureApplication();
    WakeWatch watch(test::UnconnectedBus());
}

} // namespace
} // namespace kelvo
