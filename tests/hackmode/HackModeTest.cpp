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

bool ShowsMoreThanOneColour(WId window)
{
    const QImage picture =
        QGuiApplication::primaryScreen()->grabWindow(window).toImage().convertToFormat(QImage::Format_RGB32);
    QImage plain(picture.size(), QImage::Format_RGB32);
    plain.fill(picture.isNull() ? 0 : picture.pixel(0, 0));
    return !picture.isNull() && picture != plain;
}

TEST(HackMode, DrawsInTheGivenWindowBacksUpAndEndsCleanlyOnSigterm)
{
    test::EnsureApplication<QApplication>();
    test::IsolatedHome home;
    fs::create_directories(home.dir() / "src/sub");
    test::WriteFile(home.dir() / "src/sub/a.txt", "a");
    SettingsStore store;
    test::StoreSet(store, u"Docs"_s, home.dir() / "src", home.dir() / "dst");
    QWidget saverWindow;
    saverWindow.setAttribute(Qt::WA_NativeWindow);
    saverWindow.setStyleSheet(u"background: #204080"_s);
    saverWindow.resize(640, 480);
    saverWindow.show();
    ASSERT_TRUE(test::SpinUntil([&] { return saverWindow.isVisible(); }, 15000));
    ASSERT_FALSE(ShowsMoreThanOneColour(saverWindow.winId())) << "plain until Kelvo draws";
    QProcess kelvo;
    kelvo.setProcessChannelMode(QProcess::ForwardedChannels);
    kelvo.start(QStringLiteral(KELVO_BIN_DIR "/kelvo"),
                {u"/S"_s, u"-window-id"_s, QString::number(saverWindow.winId())});
    EXPECT_TRUE(test::SpinUntil([&] { return fs::exists(home.dir() / "dst/sub/a.txt"); }, 15000));
    EXPECT_TRUE(test::SpinUntil([&] { return ShowsMoreThanOneColour(saverWindow.winId()); }, 15000))
        << "the statistics are drawn in the given window";
    EXPECT_EQ(kelvo.state(), QProcess::Running) << "it stays until the saver ends it";
    ::kill(pid_t(kelvo.processId()), SIGTERM);
    ASSERT_TRUE(kelvo.waitForFinished(10000));
    EXPECT_TRUE(kelvo.exitStatus() == QProcess::NormalExit && kelvo.exitCode() == 0);
}

} // namespace
} // namespace kelvo
