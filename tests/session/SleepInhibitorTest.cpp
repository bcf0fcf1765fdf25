#include "session/SleepInhibitor.h"

#include "session/PrivateBus.h"
#include "session/WakeWatch.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <vector>

namespace kelvo {
namespace {

using namespace Qt::StringLiterals;
using test::SpinUntil;

// logind's manager as far as Inhibit goes: records the arguments and gives the write end of a new pipe
// as the lock, keeping the read end, which hangs up once every copy of the lock is closed.
class LogindStandIn final : public QDBusVirtualObject
{
public:
    ~LogindStandIn() override
    {
        for (const int end : m_readEnds)
            ::close(end);
    }

    QString introspect(const QString&) const override { return {}; }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override
    {
        if (message.interface() != u"org.freedesktop.login1.Manager" || message.member() != u"Inhibit")
            return false;
        calls.push_back(message.arguments());
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0)
            return false;
        m_readEnds.push_back(ends[0]);
        const QDBusUnixFileDescriptor lock(ends[1]);
        ::close(ends[1]);
        return connection.send(message.createReply(QVariant::fromValue(lock)));
    }

    // Whether the lock given by call number `call` has been closed by everyone.
    bool released(size_t call) const
    {
        pollfd end{m_readEnds.at(call), POLLIN, 0};
        return poll(&end, 1, 0) == 1 && (end.revents & POLLHUP);
    }

    std::vector<QVariantList> calls;

private:
    std::vector<int> m_readEnds;
};

class SleepInhibitorTest : public test::PrivateBusTest
{
protected:
    void SetUp() override
    {
        PrivateBusTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        if (!(bus.client().connectionCapabilities() & QDBusConnection::UnixFileDescriptorPassing))
            GTEST_SKIP() << "the private bus passes no file descriptors";
    }

    void StartLogind()
    {
        ASSERT_TRUE(bus.standIn().registerVirtualObject(QStringLiteral("/org/freedesktop/login1"), &logind));
        ASSERT_TRUE(bus.standIn().registerService(QStringLiteral("org.freedesktop.login1")));
    }

    LogindStandIn logind;
};

TEST_F(SleepInhibitorTest, HoldsOneLockUntilReleasedAndClosesALockThatComesTooLate)
{
    StartLogind();
    const QVariantList expected = {QStringLiteral("sleep:idle"), QStringLiteral("Kelvo"),
                                   QStringLiteral("Backing up files"), QStringLiteral("block")};
    {
        SleepInhibitor inhibitor(bus.client());
        inhibitor.hold();
        inhibitor.hold();
        ASSERT_TRUE(SpinUntil([&] { return inhibitor.held(); }));
        inhibitor.hold();
        ASSERT_TRUE(bus.Flush());
        ASSERT_EQ(logind.calls.size(), 1u);
        EXPECT_EQ(logind.calls[0], expected);
        EXPECT_FALSE(logind.released(0));

        inhibitor.release();
        EXPECT_FALSE(inhibitor.held());
        EXPECT_TRUE(SpinUntil([&] { return logind.released(0); }));
        inhibitor.release();

        inhibitor.hold();
        ASSERT_TRUE(SpinUntil([&] { return inhibitor.held(); }));
        ASSERT_EQ(logind.calls.size(), 2u);
        EXPECT_FALSE(logind.released(1));
    }
    EXPECT_TRUE(SpinUntil([&] { return logind.released(1); })) << "the destructor releases";

    // A lock that arrives after the release, or after the inhibitor has gone, is closed at once.
    SleepInhibitor inhibitor(bus.client());
    inhibitor.hold();
    inhibitor.release();
    EXPECT_TRUE(SpinUntil([&] { return logind.calls.size() == 3 && logind.released(2); }));
    ASSERT_TRUE(bus.Flush());
    EXPECT_FALSE(inhibitor.held());
    {
        SleepInhibitor leaving(bus.client());
        leaving.hold();
    }
    EXPECT_TRUE(SpinUntil([&] { return logind.calls.size() == 4 && logind.released(3); }));
}

TEST_F(SleepInhibitorTest, WithoutLogindNothingIsHeldAndNothingWaits)
{
    SleepInhibitor inhibitor(bus.client());
    QElapsedTimer clock;
    clock.start();
    inhibitor.hold();
    ASSERT_TRUE(bus.Flush(QStringLiteral("org.freedesktop.DBus"))) << "the daemon's refusal has come back";
    EXPECT_LT(clock.elapsed(), 2000) << "no wait for a reply timeout";
    EXPECT_FALSE(inhibitor.held());

    StartLogind();
    inhibitor.hold();
    EXPECT_TRUE(SpinUntil([&] { return inhibitor.held(); })) << "a refused ask is no ask still on its way";
    EXPECT_EQ(logind.calls.size(), 1u);

    SleepInhibitor unconnected(test::UnconnectedBus());
    unconnected.hold();
    EXPECT_FALSE(unconnected.held());
    unconnected.release();
    WakeWatch wakes(test::UnconnectedBus()); // nor does a watch of logind's word fail without a bus
}

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

} // namespace
} // namespace kelvo
