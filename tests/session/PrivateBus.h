#pragma once

#include "support/Application.h"
#include "support/TestSupport.h"

#include <QDBusConnection>
#include <QProcess>
#include <QString>

#include <gtest/gtest.h>

#include <optional>

namespace kelvo::test {

// A dbus-daemon of the test's own, with nothing to start on demand, and three connections to it: one for
// the code under test, one for the stand-ins of the desktop's services, one for any other client.
class PrivateBus final
{
public:
    PrivateBus();
    ~PrivateBus();
    Q_DISABLE_COPY_MOVE(PrivateBus)

    // Empty when both connections are up, else what went wrong.
    const QString& error() const { return m_error; }
    QDBusConnection client() const { return QDBusConnection(m_clientName); }
    QDBusConnection standIn() const { return QDBusConnection(m_standInName); }
    QDBusConnection other() const { return QDBusConnection(m_otherName); }

    // Runs the event loop until the client's objects have been given every message that reached the
    // client before a ping to destination (the stand-ins by default) came back: a message that the
    // stand-ins or the daemon sent earlier, or a call of the client's that destination answered earlier.
    bool Flush(const QString& destination = {});
    // Sends the signal member(value) of interface at path from sender, and flushes it to the client.
    bool Signal(const QDBusConnection& sender, const QString& path, const QString& interface,
                const QString& member, const QVariant& value);

private:
    bool startDaemon();

    TempDir m_dir;
    QProcess m_daemon;
    QString m_clientName, m_standInName, m_otherName;
    QString m_error;
};

bool DbusDaemonInstalled();

// A test on its own bus, skipped where dbus-daemon is missing.
class PrivateBusTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { EnsureApplication(); }

    void SetUp() override
    {
        if (!DbusDaemonInstalled())
            GTEST_SKIP() << "dbus-daemon is not installed (Debian package dbus)";
        ASSERT_EQ(bus.error(), QString());
    }

    PrivateBus bus;
};

// A test of a watch of the client's that counts its signal heard; its match rules reach the daemon first.
template <typename Watch, auto heardSignal> class BusWatchTest : public PrivateBusTest
{
protected:
    void SetUp() override
    {
        PrivateBusTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        watch.emplace(bus.client());
        QObject::connect(&*watch, heardSignal, [this] { ++heard; });
        ASSERT_TRUE(bus.Flush(QStringLiteral("org.freedesktop.DBus")));
    }

    // How many times the watch's signal came for the signal that sender sent.
    int HeardFrom(const QDBusConnection& sender, const QString& path, const QString& interface,
                  const QString& member, const QVariant& value)
    {
        const int before = heard;
        EXPECT_TRUE(bus.Signal(sender, path, interface, member, value));
        return heard - before;
    }

    std::optional<Watch> watch;
    int heard = 0;
};

// A connection whose bus is not there.
QDBusConnection UnconnectedBus();

} // namespace kelvo::test
