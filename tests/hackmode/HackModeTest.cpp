// Runs under Xvfb with Qt's xcb platform: a saver's window is made here and given to kelvo /S.
#include "platform/SettingsStore.h"
#include "support/Application.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QImage>
#include <QPixmap>
#include <QProcess>
#include <QScreen>
#include <QWidget>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>

namespace kelvo {
namespace {

using namespace Qt::StringLiterals;
namespace fs = std::filesystem;

bool Eventually(const std::function<bool()>& done)
{
    return test::SpinUntil(done, 15000);
}

bool ShowsMoreThanOneColour(WId window)
{
    const QImage picture =
        QGuiApplication::primaryScreen()->grabWindow(window).toImage().convertToFormat(QImage::Format_RGB32);
    QImage plain(picture.size(), QImage::Format_RGB32);
    plain.fill(picture.isNull() ? 0 : picture.pixel(0, 0));
    return !picture.isNull() && picture != plain;
}

class HackMode : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { test::EnsureApplication<QApplication>(); }

    HackMode()
    {
        fs::create_directories(home.dir() / "src/sub");
        fs::create_directories(home.dir() / "dst");
        test::WriteFile(home.dir() / "src/sub/a.txt", "a");
        test::StoreSet(store, u"Docs"_s, home.dir() / "src", home.dir() / "dst");
        store.SaveSetting(u"Kelvo"_s, u"Settings"_s, u"StrLogFileDir"_s,
                          QString::fromStdString(home.dir().path()));
        saverWindow.setAttribute(Qt::WA_NativeWindow);
        saverWindow.setStyleSheet(u"background: #204080"_s);
        saverWindow.resize(640, 480);
        saverWindow.show();
        EXPECT_TRUE(Eventually([&] { return saverWindow.isVisible(); }));
    }

    test::IsolatedHome home;
    SettingsStore store;
    QWidget saverWindow;
};

TEST_F(HackMode, DrawsInTheGivenWindowBacksUpAndEndsCleanlyOnSigterm)
{
    ASSERT_FALSE(ShowsMoreThanOneColour(saverWindow.winId())) << "plain until Kelvo draws";
    for (const bool byEnvironment : {false, true}) {
        // Emptied, not removed: a vanished destination is an unplugged drive.
        for (const auto& entry : fs::directory_iterator(home.dir() / "dst"))
            fs::remove_all(entry.path());
        QProcess kelvo;
        kelvo.setProcessChannelMode(QProcess::ForwardedChannels);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        const QString id = u"0x"_s + QString::number(saverWindow.winId(), 16);
        QStringList arguments{u"/S"_s};
        if (byEnvironment)
            environment.insert(u"XSCREENSAVER_WINDOW"_s, id);
        else
            arguments << u"-window-id"_s << QString::number(saverWindow.winId());
        kelvo.setProcessEnvironment(environment);
        kelvo.start(QStringLiteral(KELVO_BIN_DIR "/kelvo"), arguments);
        ASSERT_TRUE(kelvo.waitForStarted());

        EXPECT_TRUE(Eventually([&] { return fs::exists(home.dir() / "dst/sub/a.txt"); })) << byEnvironment;
        EXPECT_TRUE(Eventually([&] { return ShowsMoreThanOneColour(saverWindow.winId()); }))
            << "the statistics are drawn in the given window";
        EXPECT_EQ(kelvo.state(), QProcess::Running) << "it stays until the saver ends it";

        ::kill(pid_t(kelvo.processId()), SIGTERM);
        ASSERT_TRUE(kelvo.waitForFinished(10000));
        EXPECT_EQ(kelvo.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(kelvo.exitCode(), 0);
        for (const auto& entry : fs::recursive_directory_iterator(home.dir() / "dst"))
            EXPECT_EQ(entry.path().filename().string().find(".kelvo-partial-"), std::string::npos);
    }
}

} // namespace
} // namespace kelvo
