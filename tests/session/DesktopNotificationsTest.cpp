#include "session/DesktopNotifications.h"

#include "session/PrivateBus.h"

#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <vector>

namespace kelvo {
namespace {

using namespace Qt::StringLiterals;

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

    std::vector<QVariantList> calls;
};

using DesktopNotificationsTest = test::PrivateBusTest;

TEST_F(DesktopNotificationsTest, SendsPlainTextThatNoServerReadsAsMarkup)
{
    NotificationServerStandIn server;
    ASSERT_TRUE(bus.standIn().registerVirtualObject(u"/org/freedesktop/Notifications"_s, &server));
    ASSERT_TRUE(bus.standIn().registerService(u"org.freedesktop.Notifications"_s));
    DesktopNotifications(bus.client()).notify(u"Kelvo: backup failed"_s, u"Set <b>A & B</b> failed"_s);
    ASSERT_TRUE(test::SpinUntil([&] { return server.calls.size() == 1; }));
    const QVariantList expected{
        u"Kelvo"_s,   0u, u"kelvo"_s, u"Kelvo: backup failed"_s, u"Set &lt;b&gt;A &amp; B&lt;/b&gt; failed"_s,
        QStringList()};
    EXPECT_EQ(server.calls[0].mid(0, 6), expected);
    EXPECT_EQ(server.calls[0].value(7).toInt(), -1) << "the server's own timeout";
}

// No server on the bus, or no bus at all: a failed run's notice waits for no answer.
TEST_F(DesktopNotificationsTest, WithoutAServerNothingWaits)
{
    QElapsedTimer clock;
    clock.start();
    DesktopNotifications(bus.client()).notify(u"Kelvo: backup failed"_s, u"Set Docs failed"_s);
    DesktopNotifications(test::UnconnectedBus()).notify(u"Kelvo: backup failed"_s, u"Set Docs failed"_s);
    EXPECT_LT(clock.elapsed(), 2000) << "no wait for a reply timeout";
    ASSERT_TRUE(bus.Flush(u"org.freedesktop.DBus"_s)) << "the daemon's refusal has come back";
}

} // namespace
} // namespace kelvo
