#include "session/DesktopNotifications.h"

#include "platform/SettingsStore.h"
#include "schedule/RunController.h"
#include "session/PrivateBus.h"

#include <QDBusMessage>
#include <QDBusVirtualObject>

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

namespace kelvo {
namespace {

using namespace Qt::StringLiterals;
using test::SpinUntil;

// The desktop's notification server as far as Notify goes: records the arguments, answers an id.
class NotificationServerStandIn final : public QDBusVirtualObject
{
public:
    QString introspect(const QString&) const override { return {}; }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override
    {
        if (message.interface() != u"org.freedesktop.Notifications" || message.member() != u"Notify")
            return false;
        calls.push_back(message.arguments());
        return connection.send(message.createReply(QVariant::fromValue(quint32(calls.size()))));
    }

    // The summary and the body of each Notify.
    QStringList texts() const
    {
        QStringList result;
        for (const QVariantList& call : calls)
            result << call.value(3).toString() + u'|' + call.value(4).toString();
        return result;
    }

    std::vector<QVariantList> calls;
};

class NoView final : public RunView
{
public:
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
    void runBusyChanged(bool) override {}
    void watchProblem(const QString&) override {}
    QRect mainWindowFrame() const override { return {}; }
    QSize screenSaverArea() const override { return {}; }
    void moveMainWindow(const QPoint&) override {}
};

class IdleTimer final : public RepeatingTimer
{
public:
    void setInterval(int) override {}
    int interval() const override { return 0; }
    void setEnabled(bool) override {}
    bool isEnabled() const override { return false; }
};

class DesktopNotificationsTest : public test::PrivateBusTest
{
protected:
    void StartServer()
    {
        ASSERT_TRUE(bus.standIn().registerVirtualObject(u"/org/freedesktop/Notifications"_s, &server));
        ASSERT_TRUE(bus.standIn().registerService(u"org.freedesktop.Notifications"_s));
    }

    // Runs every set once through a run controller wired to the notifications, as the program is.
    void RunAllSets(const DesktopNotifications& notifications)
    {
        RunController controller(
            {configuration,
             store,
             app,
             clock,
             timer1,
             tmrDialog,
             {},
             [&](const QString& summary, const QString& body) { notifications.notify(summary, body); }},
            view);
        controller.Load();
        controller.PollTick();
    }

    void StoreSet(const QString& name, const QString& copyOptions)
    {
        std::filesystem::create_directories(home.dir() / "src");
        test::WriteFile(home.dir() / "src/a", "a");
        test::StoreSet(store, name, home.dir() / "src", home.dir() / ("dst/" + name.toStdString()));
        store.SaveSetting(u"Kelvo"_s, u"Sets\\"_s + name, u"CopyOptions"_s, copyOptions);
    }

    NotificationServerStandIn server;
    test::IsolatedHome home;
    SettingsStore store{QString::fromStdString(home.configDir())};
    Configuration configuration;
    AppState app{RunModeApplication, {}, {}, 0, 0, false};
    SystemClock clock;
    IdleTimer timer1, tmrDialog;
    NoView view;
};

TEST_F(DesktopNotificationsTest, SendsPlainTextThatNoServerReadsAsMarkup)
{
    StartServer();
    DesktopNotifications(bus.client()).notify(u"Kelvo: backup failed"_s, u"Set <b>A & B</b> failed"_s);
    ASSERT_TRUE(SpinUntil([&] { return server.calls.size() == 1; }));
    const QVariantList expected{
        u"Kelvo"_s,   0u, u"kelvo"_s, u"Kelvo: backup failed"_s, u"Set &lt;b&gt;A &amp; B&lt;/b&gt; failed"_s,
        QStringList()};
    EXPECT_EQ(server.calls[0].mid(0, 6), expected);
    EXPECT_EQ(server.calls[0].value(7).toInt(), -1) << "the server's own timeout";
}

TEST_F(DesktopNotificationsTest, AFailingRunGivesOneNotificationAndTheNextCompletedRunAnother)
{
    StartServer();
    const DesktopNotifications notifications(bus.client());
    StoreSet(u"Docs"_s, u"opdate"_s);
    RunAllSets(notifications);
    ASSERT_TRUE(bus.Flush());
    EXPECT_EQ(server.texts(), QStringList{u"Kelvo: backup failed|Set Docs failed: 1 error.\n"
                                          u"Error : Set Docs : unknown value opdate for CopyOptions"_s});

    store.SaveSetting(u"Kelvo"_s, u"Sets\\Docs"_s, u"CopyOptions"_s, u"OpDate"_s);
    RunAllSets(notifications);
    ASSERT_TRUE(bus.Flush());
    ASSERT_EQ(server.calls.size(), 2u);
    EXPECT_EQ(server.texts()[1], u"Kelvo: backup works again|Set Docs backs up again."_s);
}

// No server on the bus, or no bus at all: the run completes and nothing waits for an answer.
TEST_F(DesktopNotificationsTest, WithoutAServerTheRunCompletesAndNothingWaits)
{
    StoreSet(u"Docs"_s, u"opdate"_s);
    RunAllSets(DesktopNotifications(bus.client()));
    ASSERT_TRUE(bus.Flush(u"org.freedesktop.DBus"_s)) << "the daemon's refusal has come back";
    RunAllSets(DesktopNotifications(test::UnconnectedBus()));
    EXPECT_EQ(store.GetSetting(u"Kelvo"_s, u"Sets\\Docs"_s, u"LastResult"_s), u"failed (1 error)"_s);
    EXPECT_TRUE(server.calls.empty());
}

} // namespace
} // namespace kelvo
