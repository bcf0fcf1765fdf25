#include "session/SleepInhibitor.h"

#include "platform/SettingsStore.h"
#include "schedule/RunController.h"
#include "session/PrivateBus.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QTimer>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <unistd.h>
#include <vector>

namespace kelvo {
namespace {

using test::PrivateBus;
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

TEST_F(SleepInhibitorTest, HoldsOneLockUntilReleased)
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
}

TEST_F(SleepInhibitorTest, ALockArrivingAfterTheReleaseIsClosedAtOnce)
{
    StartLogind();
    SleepInhibitor inhibitor(bus.client());
    inhibitor.hold();
    inhibitor.release();
    EXPECT_TRUE(SpinUntil([&] { return logind.calls.size() == 1 && logind.released(0); }));
    ASSERT_TRUE(bus.Flush());
    EXPECT_FALSE(inhibitor.held());

    {
        SleepInhibitor leaving(bus.client());
        leaving.hold();
    }
    EXPECT_TRUE(SpinUntil([&] { return logind.calls.size() == 2 && logind.released(1); }));
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
}

// The program holds the lock through its run controller's word that a run starts and ends.
class InhibitingView final : public RunView
{
public:
    explicit InhibitingView(SleepInhibitor& inhibitor) : m_inhibitor(inhibitor) {}
    void statisticsChanged(const RunStatistics&) override {}
    void currentFileChanged(const QString&) override {}
    void fileProgressChanged(int) override {}
    void overallProgressChanged(int) override {}
    void copyActive(bool) override {}
    void errorReported(const QString&) override {}
    void applyScreenSaverLayout() override {}
    void setLastRun(const QString&) override {}
    void setLastRunPanel(const QString&) override {}
    void setMinutesToNext(const QString&, const QString&) override {}
    void statusBarVisible() override {}
    void runBusyChanged(bool busy) override { busy ? m_inhibitor.hold() : m_inhibitor.release(); }
    void watchProblem(const QString&) override {}
    QRect mainWindowFrame() const override { return {}; }
    QSize screenSaverArea() const override { return {}; }
    void moveMainWindow(const QPoint&) override {}

private:
    SleepInhibitor& m_inhibitor;
};

class ManualTimer final : public RepeatingTimer
{
public:
    void setInterval(int) override {}
    int interval() const override { return 0; }
    void setEnabled(bool) override {}
    bool isEnabled() const override { return false; }
};

TEST_F(SleepInhibitorTest, IsHeldWhileARunIsBusyAndReleasedAtItsEnd)
{
    StartLogind();
    test::IsolatedHome home;
    std::filesystem::create_directories(home.dir() / "src");
    test::WriteFile(home.dir() / "src/a", "a");
    SettingsStore store(QString::fromStdString(home.configDir()));
    test::StoreSet(store, QStringLiteral("Docs"), home.dir() / "src", home.dir() / "dst");
    Configuration configuration;
    AppState app{RunModeApplication, {}, {}, 0, 0, false};
    SystemClock clock;
    ManualTimer timer1, tmrDialog;
    SleepInhibitor inhibitor(bus.client());
    InhibitingView view(inhibitor);
    RunController controller({configuration, store, app, clock, timer1, tmrDialog, {}, {}}, view);
    controller.Load();

    bool heldDuringTheRun = false;
    QTimer::singleShot(0, [&] { heldDuringTheRun = SpinUntil([&] { return inhibitor.held(); }); });
    controller.PollTick();
    EXPECT_TRUE(heldDuringTheRun);
    EXPECT_EQ(controller.statistics().filesCopied, 1);
    ASSERT_EQ(logind.calls.size(), 1u);
    EXPECT_FALSE(inhibitor.held());
    EXPECT_TRUE(SpinUntil([&] { return logind.released(0); })) << "released at the run's end";
}

} // namespace
} // namespace kelvo
