#include "app/Startup.h"

#include "config/AppState.h"
#include "config/Configuration.h"
#include "platform/ProcessStarter.h"

#include <gtest/gtest.h>

namespace kelvo {
namespace {

TEST(Main, ReadsTheSwitchOfTheCommandLine)
{
    const struct
    {
        const char* commandLine;
        ProgramRunMode runMode;
        const char *minimised, *byWindows;
        StartAction action;
        qint32 parent;
    } cases[] = {
        {"", RunModeApplication, "", "", StartAction::StartApplication, 0},
        {" /b ", RunModeApplication, "", "", StartAction::StartApplication, 0},
        {"/m", RunModeApplication, "MIN", "", StartAction::StartApplication, 0},
        {"/W", RunModeApplication, "MIN", "WIN", StartAction::StartApplication, 0},
        {"/S 123", RunModeScreenSaver, "", "", StartAction::StartApplication, 0},
        {"/c:1234", RunModeConfig, "", "", StartAction::ShowSetListEditor, 0},
        {"/p 123", RunModeNone, "", "", StartAction::EndAtOnce, 0},
        {"/a 1234", RunModeScreenSaver, "", "", StartAction::ChangePassword, 1234},
        {"/a x12", RunModeScreenSaver, "", "", StartAction::ChangePassword, 0},
        {"/a 99999999999", RunModeScreenSaver, "", "", StartAction::ChangePassword, 0},
        {" /a 1234", RunModeScreenSaver, "", "", StartAction::ChangePassword,
         0}, // the number is read untrimmed
        {"/X", RunModeNone, "", "", StartAction::EndAtOnce, 0},
        {"word", RunModeNone, "", "", StartAction::EndAtOnce, 0},
    };
    for (const auto& c : cases) {
        AppState state;
        state.ReRunCounter = 7;
        state.TrayIconShown = true;
        const StartRequest request = Main(QString::fromUtf8(c.commandLine), state);
        SCOPED_TRACE(c.commandLine);
        EXPECT_EQ(request.action, c.action);
        EXPECT_EQ(state.RunMode, c.runMode);
        EXPECT_EQ(state.StartMinimised, QString::fromUtf8(c.minimised));
        EXPECT_EQ(state.StartedByWindows, QString::fromUtf8(c.byWindows));
        EXPECT_EQ(request.passwordParentWindow, c.parent);
        EXPECT_EQ(state.ReRunCounter, 0);
        EXPECT_FALSE(state.TrayIconShown);
    }
}

struct RecordingStarter final : ProcessStarter
{
    bool Start(const QString& program, const QStringList& arguments) override
    {
        started.append(program + u'|' + arguments.join(u'|'));
        return program != QStringLiteral("/missing");
    }
    QStringList started;
};

TEST(ScreenSaverTarget, TakesTheWindowAnXscreensaverStyleSaverGives)
{
    using Kind = ScreenSaverTarget::Kind;
    const struct
    {
        const char* commandLine;
        const char* environment;
        Kind kind;
        quintptr window;
    } cases[] = {
        {"/s", "", Kind::OwnWindow, 0},
        {"/S -window-id 0x1a00005", "", Kind::GivenWindow, 0x1a00005},
        {"/S -window-id 4194309", "0x99", Kind::GivenWindow, 4194309},
        {"/S", "0x2c00007", Kind::GivenWindow, 0x2c00007},
        {"/S -root", "", Kind::RootWindow, 0},
        {"/S --root", "", Kind::RootWindow, 0},
        {"/S --window-id 77", "", Kind::GivenWindow, 77},
        {"/S -root", "123", Kind::GivenWindow, 123}, // the saver's own window stands in for the root
        {"/S -window-id nonsense", " ", Kind::OwnWindow, 0},
        {"/S -window-id", "0", Kind::OwnWindow, 0},
    };
    for (const auto& c : cases) {
        const ScreenSaverTarget target =
            ScreenSaverTargetOf(QString::fromLatin1(c.commandLine), c.environment);
        EXPECT_EQ(target.kind, c.kind) << c.commandLine << " / " << c.environment;
        EXPECT_EQ(target.window, c.window) << c.commandLine << " / " << c.environment;
    }
}

TEST(StartAlternativeScreenSaver, StartsTheProgramWithSlashSOnlyWhenAsked)
{
    RecordingStarter starter;
    GeneralSettings settings;
    settings.StrAltScreenSaver = QStringLiteral("/usr/bin/my saver");
    EXPECT_FALSE(StartAlternativeScreenSaver(settings, starter));
    settings.flScreenSaver = true;
    EXPECT_TRUE(StartAlternativeScreenSaver(settings, starter));
    settings.StrAltScreenSaver = QStringLiteral("  ");
    EXPECT_FALSE(StartAlternativeScreenSaver(settings, starter)) << "an empty program is not started";
    settings.StrAltScreenSaver = QStringLiteral("/missing");
    EXPECT_FALSE(StartAlternativeScreenSaver(settings, starter));
    EXPECT_EQ(starter.started,
              (QStringList{QStringLiteral("/usr/bin/my saver|/S"), QStringLiteral("/missing|/S")}));
}

} // namespace
} // namespace kelvo
