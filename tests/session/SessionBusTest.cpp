#include "platform/FileDescriptor.h"
#include "session/DesktopNotifications.h"
#include "session/IdleBackup.h"
#include "session/ScreenSaverWatch.h"
#include "session/SleepInhibitor.h"
#include "session/WakeWatch.h"
#include "support/Application.h"
#include "support/TestSupport.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusUnixFileDescriptor>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <unistd.h>

namespace kelvo {
namespace {

using namespace Qt::StringLiterals;
using test::SpinUntil;

// A dbus-daemon of the test's own, without service directories (a name nobody owns stays unowned), and
// connections for the code under test, for the stand-ins of the desktop's services, and for any other client.
class PrivateBusTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { test::EnsureApplication(); }
    void SetUp() override
    {
        if (QStandardPaths::findExecutable(u"dbus-daemon"_s).isEmpty())
            GTEST_SKIP() << "dbus-daemon is not installed (Debian package dbus)";
        test::WriteFile(m_dir / "bus.conf", "<busconfig><type>session</type><listen>unix:dir=" +
                                                QByteArray::fromStdString(m_dir.path()) + R"(</listen>
<auth>EXTERNAL</auth><policy context="default"><allow send_destination="*" eavesdrop="true"/>
<allow eavesdrop="true"/><allow own="*"/></policy></busconfig>)");
        m_daemon.start(u"dbus-daemon"_s, {u"--nofork"_s, u"--print-address"_s,
                                          u"--config-file="_s + QString::fromStdString(m_dir / "bus.conf")});
        m_daemon.waitForReadyRead(DeadlineMs); // the address comes in one write
        const QString address = QString::fromUtf8(m_daemon.readLine().trimmed());
        for (const QString& name : m_names)
            ASSERT_TRUE(QDBusConnection::connectToBus(address, name).isConnected())
                << address.toStdString() << m_daemon.readAllStandardError().toStdString();
    }
    void TearDown() override
    {
        for (const QString& name : m_names)
            QDBusConnection::disconnectFromBus(name);
    }

    QDBusConnection client() const { return QDBusConnection(m_names[0]); }
    QDBusConnection standIn() const { return QDBusConnection(m_names[1]); }
    QDBusConnection other() const { return QDBusConnection(m_names[2]); }
    bool serve(QDBusVirtualObject& object, const QString& service, const QString& path)
    {
        return standIn().registerVirtualObject(path, &object) && standIn().registerService(service);
    }
    // Counts a watch's signal, once its match rules have reached the daemon.
    template <typename Watch, typename Signal> void listen(Watch& watch, Signal signal)
    {
        QObject::connect(&watch, signal, [this] { ++heard; });
        ASSERT_TRUE(Flush(u"org.freedesktop.DBus"_s));
    }
    // How many times the watches' signals came for the signal member(value) of interface at path from sender.
    int HeardFrom(const QDBusConnection& sender, const QString& path, const QString& interface,
                  const QString& member, const QVariant& value)
    {
        const int before = heard;
        QDBusMessage signal = QDBusMessage::createSignal(path, interface, member);
        signal << value;
        EXPECT_TRUE(sender.send(signal) && Flush(sender.baseService()));
        return heard - before;
    }
    // Runs the event loop until the client has handled all it got before a ping to destination (the stand-ins
    // by default) came back: finished() is queued behind those deliveries, isFinished() turns true before.
    bool Flush(const QString& destination = {})
    {
        const QDBusMessage ping =
            QDBusMessage::createMethodCall(destination.isEmpty() ? standIn().baseService() : destination,
                                           u"/"_s, u"org.freedesktop.DBus.Peer"_s, u"Ping"_s);
        QDBusPendingCallWatcher watcher(client().asyncCall(ping, DeadlineMs));
        std::optional<bool> answered;
        QObject::connect(&watcher, &QDBusPendingCallWatcher::finished,
                         [&] { answered = !watcher.isError(); });
        return SpinUntil([&] { return answered.has_value(); }, DeadlineMs) && *answered;
    }

    int heard = 0;

private:
    static constexpr int DeadlineMs = 5000;
    static inline int s_buses = 0;
    const QString m_names[3] = {u"kelvo-test-client-%1"_s.arg(++s_buses),
                                u"kelvo-test-stand-in-%1"_s.arg(s_buses),
                                u"kelvo-test-other-%1"_s.arg(s_buses)};
    test::TempDir m_dir;
    QProcess m_daemon; // killed when it goes
};

QDBusConnection UnconnectedBus()
{
    static int serial = 0;
    return QDBusConnection::connectToBus(u"unix:path=/nonexistent/kelvo-test-bus"_s,
                                         u"kelvo-test-unconnected-%1"_s.arg(++serial));
}

// A service of the desktop as far as one method ("interface.member") goes: records each call's arguments.
struct MethodStandIn final : QDBusVirtualObject
{
    MethodStandIn(QString m, std::function<QVariant()> a) : method(std::move(m)), answer(std::move(a)) {}
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override
    {
        if (message.interface() + u'.' + message.member() != method)
            return false;
        calls.push_back(message.arguments());
        return connection.send(message.createReply(answer()));
    }

    QString method;
    std::function<QVariant()> answer;
    std::vector<QVariantList> calls;
};

const QString freedesktop = u"org.freedesktop.ScreenSaver"_s, gnome = u"org.gnome.ScreenSaver"_s;
const QString freedesktopPath = u"/org/freedesktop/ScreenSaver"_s, gnomePath = u"/org/gnome/ScreenSaver"_s;
const QString login1 = u"org.freedesktop.login1"_s;

using SessionSignalsTest = PrivateBusTest;

// The saver's activation and logind's wake count only from the owner of the name of the moment: any client
// of the bus could send either. One activation, even announced on two paths of a name, runs the sets once,
// while the setting is on and no run is busy.
TEST_F(SessionSignalsTest, IdleBackupsAndWakesComeOnlyFromTheNamesOwnerOnceEach)
{
    ScreenSaverWatch watch(client());
    GeneralSettings settings;
    settings.flRunWhenIdle = true;
    bool busy = false;
    int notes = 0;
    IdleBackup idle(watch,
                    {settings, [&] { return busy; }, [&] { ++heard; }, [&](const QString&) { ++notes; }});
    const auto Emit = [&](const QString& path, const QString& interface, const QVariant& value,
                          const QDBusConnection& sender) {
        return HeardFrom(sender, path, interface, u"ActiveChanged"_s, value);
    };
    ASSERT_TRUE(Flush(u"org.freedesktop.DBus"_s)) << "the watch's match rules have reached the daemon";
    EXPECT_FALSE(watch.available() || ScreenSaverWatch(UnconnectedBus()).available());
    idle.CheckAvailable();
    idle.CheckAvailable();
    EXPECT_EQ(notes, 1) << "told once that idle backups cannot run here";
    ASSERT_TRUE(standIn().interface()->registerService(gnome).isValid());
    EXPECT_TRUE(watch.available());
    ASSERT_TRUE(standIn().interface()->registerService(freedesktop).isValid());
    for (const auto& [path, interface] :
         {std::pair{u"/ScreenSaver"_s, freedesktop}, std::pair{freedesktopPath, freedesktop},
          std::pair{gnomePath, gnome}}) {
        EXPECT_EQ(Emit(path, interface, true, standIn()), 1) << path.toStdString();
        EXPECT_EQ(Emit(path, interface, false, standIn()), 0);
    }
    EXPECT_EQ(Emit(u"/ScreenSaver"_s, freedesktop, true, standIn()), 1);
    EXPECT_EQ(Emit(freedesktopPath, freedesktop, true, standIn()), 0)
        << "the same activation on the other path";
    EXPECT_EQ(Emit(freedesktopPath, freedesktop, false, standIn()), 0);
    EXPECT_EQ(Emit(u"/elsewhere"_s, freedesktop, true, standIn()), 0);
    EXPECT_EQ(Emit(gnomePath, freedesktop, true, standIn()), 0);
    EXPECT_EQ(Emit(freedesktopPath, freedesktop, true, other()), 0) << "the name is another's";
    busy = true;
    EXPECT_EQ(Emit(gnomePath, gnome, true, standIn()), 0) << "a run is busy";
    busy = false;
    settings.flRunWhenIdle = false;
    EXPECT_EQ(Emit(gnomePath, gnome, false, standIn()) + Emit(gnomePath, gnome, true, standIn()), 0)
        << "the setting is off";
    settings.flRunWhenIdle = true;
    // The saver is replaced: its successor is heard, the one that left is not.
    ASSERT_TRUE(standIn().interface()->unregisterService(freedesktop).value());
    ASSERT_TRUE(other().interface()->registerService(freedesktop).isValid());
    EXPECT_EQ(Emit(freedesktopPath, freedesktop, true, other()), 1);
    EXPECT_EQ(Emit(freedesktopPath, freedesktop, true, standIn()), 0);
    EXPECT_EQ(Emit(gnomePath, gnome, true, other()), 0) << "each name has its own owner";

    WakeWatch wakes(client());
    listen(wakes, &WakeWatch::woke);
    const auto Wakes = [&](const QDBusConnection& sender, bool goingToSleep) {
        return HeardFrom(sender, u"/org/freedesktop/login1"_s, login1 + u".Manager"_s, u"PrepareForSleep"_s,
                         goingToSleep);
    };
    ASSERT_TRUE(standIn().interface()->registerService(login1).isValid());
    EXPECT_EQ(Wakes(standIn(), true), 0) << "going to sleep";
    EXPECT_EQ(Wakes(standIn(), false), 1);
    EXPECT_EQ(Wakes(other(), false), 0) << "not logind";
}

using SessionCallsTest = PrivateBusTest;

// Without the service on the bus, or without a bus, nothing waits for an answer. A notice is plain text, not
// markup. One lock is held until released; one that comes after the release or the inhibitor is closed.
TEST_F(SessionCallsTest, NotifyInPlainTextAndHoldOneSleepLockWaitingForNothing)
{
    if (!(client().connectionCapabilities() & QDBusConnection::UnixFileDescriptorPassing))
        GTEST_SKIP() << "the private bus passes no file descriptors";
    // logind's lock is the write end of a new pipe, whose read end hangs up once every copy is closed.
    std::vector<FileDescriptor> readEnds;
    MethodStandIn logind{u"org.freedesktop.login1.Manager.Inhibit"_s, [&] {
                             int ends[2];
                             EXPECT_EQ(pipe2(ends, O_CLOEXEC), 0);
                             readEnds.emplace_back(ends[0]);
                             const QDBusUnixFileDescriptor lock(ends[1]);
                             ::close(ends[1]);
                             return QVariant::fromValue(lock);
                         }};
    const auto hungUp = [&](size_t call) {
        pollfd end{call < readEnds.size() ? readEnds[call].get() : -1, POLLIN, 0};
        return poll(&end, 1, 0) == 1 && (end.revents & POLLHUP);
    };
    const auto released = [&](size_t call) { return SpinUntil([&] { return hungUp(call); }); };
    SleepInhibitor unconnected(UnconnectedBus());
    WakeWatch wakes(UnconnectedBus());
    {
        SleepInhibitor inhibitor(client());
        QElapsedTimer clock;
        clock.start();
        unconnected.hold();
        inhibitor.hold();
        DesktopNotifications(client()).notify(u"Kelvo: backup failed"_s, u"Set Docs failed"_s);
        DesktopNotifications(UnconnectedBus()).notify(u"Kelvo: backup failed"_s, u"Set Docs failed"_s);
        ASSERT_TRUE(Flush(u"org.freedesktop.DBus"_s)) << "the daemon's refusals have come back";
        EXPECT_LT(clock.elapsed(), 2000) << "no wait for a reply timeout";
        EXPECT_FALSE(inhibitor.held() || unconnected.held());
        MethodStandIn server(u"org.freedesktop.Notifications.Notify"_s, [] { return QVariant(7u); });
        ASSERT_TRUE(serve(server, u"org.freedesktop.Notifications"_s, u"/org/freedesktop/Notifications"_s));
        DesktopNotifications(client()).notify(u"Kelvo: backup failed"_s, u"Set <b>A & B</b> failed"_s);
        ASSERT_TRUE(SpinUntil([&] { return server.calls.size() == 1; }));
        EXPECT_EQ(server.calls[0].value(4), u"Set &lt;b&gt;A &amp; B&lt;/b&gt; failed"_s);
        ASSERT_TRUE(serve(logind, login1, u"/org/freedesktop/login1"_s));
        inhibitor.hold();
        inhibitor.hold();
        ASSERT_TRUE(SpinUntil([&] { return inhibitor.held(); }))
            << "a refused ask is no ask still on its way";
        inhibitor.hold();
        ASSERT_TRUE(Flush());
        EXPECT_TRUE(logind.calls.size() == 1 && !hungUp(0));
        inhibitor.release();
        EXPECT_TRUE(!inhibitor.held() && released(0));
        inhibitor.release();
        inhibitor.hold();
        ASSERT_TRUE(SpinUntil([&] { return inhibitor.held(); }));
        EXPECT_FALSE(hungUp(1));
    }
    EXPECT_TRUE(released(1)) << "the destructor releases";
    SleepInhibitor inhibitor(client());
    inhibitor.hold();
    inhibitor.release();
    EXPECT_TRUE(released(2) && Flush() && !inhibitor.held());
    SleepInhibitor(client()).hold();
    EXPECT_TRUE(released(3));
}

} // namespace
} // namespace kelvo
