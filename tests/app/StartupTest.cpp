#include "app/Startup.h"

#include "app/AppState.h"
#include "app/Configuration.h"
#include "platform/ProcessStarter.h"

#include <gtest/gtest.h>

namespace kelvo {
namespace {

TEST(Main, ReadsTheSwitchOfTheCommandLine)
{
    struct Case
    {
        const char* commandLine;
        StartAction action;
        const char* runMode;
        const char* minimised;
        const char* byWindows;
        qint32 parent;
    };
    const Case cases[] = {
        {"", StartAction::StartApplication, "APP", "", "", 0},
        {" /b ", StartAction::StartApplication, "APP", "", "", 0},
        {"/B", StartAction::StartApplication, "APP", "", "", 0},
        {"/m", StartAction::StartApplication, "APP", "MIN", "", 0},
        {"/W", StartAction::StartApplication, "APP", "MIN", "WIN", 0},
        {"/s", StartAction::StartApplication, "SS", "", "", 0},
        {"/S 123", StartAction::StartApplication, "SS", "", "", 0},
        {"/c:1234", StartAction::ShowSetListEditor, "CONFIG", "", "", 0},
        {"/C", StartAction::ShowSetListEditor, "CONFIG", "", "", 0},
        {"/p 123", StartAction::EndAtOnce, "", "", "", 0},
        {"/a 1234", StartAction::ChangePassword, "SS", "", "", 1234},
        {"/A", StartAction::ChangePassword, "SS", "", "", 0},
        {"/a x12", StartAction::ChangePassword, "SS", "", "", 0},
        {"/a 99999999999", StartAction::ChangePassword, "SS", "", "", 0},
        {" /a 1234", StartAction::ChangePassword, "SS", "", "", 0}, // the number is read untrimmed
        {"/X", StartAction::EndAtOnce, "", "", "", 0},
        {"word", StartAction::EndAtOnce, "", "", "", 0},
        {"/", StartAction::EndAtOnce, "", "", "", 0},
    };
    for (const Case& c : cases) {
        AppState state;
        state.ReRunCounter = 7;
        state.TrayIconShown = true;
        const StartRequest request = Main(QString::fromUtf8(c.commandLine), state);
        SCOPED_TRACE(c.commandLine);
        EXPECT_EQ(request.action, c.action);
        EXPECT_EQ(state.RunMode, QString::fromUtf8(c.runMode));
        EXPECT_EQ(state.StartMinimised, QString::fromUtf8(c.minimised));
        EXPECT_EQ(state.StartedByWindows, QString::fromUtf8(c.byWindows));
        EXPECT_EQ(request.passwordParentWindow, c.parent);
        EXPECT_EQ(state.ReRunCounter, 0);
        EXPECT_FALSE(state.TrayIconShown);
    }
}

TEST(Main, RebuildsTheCommandLineFromArguments)
{
    EXPECT_EQ(CommandLineFromArguments({QStringLiteral("kelvo")}), QString());
    EXPECT_EQ(
        CommandLineFromArguments({QStringLiteral("kelvo"), QStringLiteral("/a"), QStringLiteral("1234")}),
        QStringLiteral("/a 1234"));
}

class RecordingStarter final : public ProcessStarter
{
public:
    bool Start(const QString& program, const QStringList& arguments) override
    {
        started.append(program + u'|' + arguments.join(u'|'));
        return program != QStringLiteral("/missing");
    }
    QStringList started;
};

TEST(StartAlternativeScreenSaver, StartsTheProgramWithSlashSOnlyWhenAsked)
{
    RecordingStarter starter;
    GeneralSettings settings;
    settings.StrAltScreenSaver = QStringLiteral("/usr/bin/my saver");
    EXPECT_FALSE(StartAlternativeScreenSaver(settings, starter));
    EXPECT_TRUE(starter.started.isEmpty());

    settings.flScreenSaver = true;
    EXPECT_TRUE(StartAlternativeScreenSaver(settings, starter));
    EXPECT_EQ(starter.started, QStringList{QStringLiteral("/usr/bin/my saver|/S")});

    settings.StrAltScreenSaver = QStringLiteral("  ");
    EXPECT_FALSE(StartAlternativeScreenSaver(settings, starter));
    EXPECT_EQ(starter.started.size(), 1) << "an empty program is not started";

    settings.StrAltScreenSaver = QStringLiteral("/missing");
    EXPECT_FALSE(StartAlternativeScreenSaver(settings, starter));
}

} // namespace
} // namespace kelvo
