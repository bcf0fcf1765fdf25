#include "app/DesktopProgram.h"
#include "saver/frmMain.h"
#include "support/Application.h"
#include "support/TestSupport.h"
#include "ui/RecordingMessages.h"
#include "ui/frmConfig.h"
#include "ui/frmMainConfig.h"
#include "ui/frmOptions.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <tuple>

namespace kelvo {
namespace {

using namespace Qt::StringLiterals;
namespace fs = std::filesystem;

// Runs the kelvo program in the test's own home; -1 when it did not end (it should end at once).
int RunKelvo(const QString& commandLine)
{
    QProcess kelvo; // which kills a program that did not end
    kelvo.setProcessChannelMode(QProcess::ForwardedChannels);
    kelvo.start(QStringLiteral(KELVO_BIN_DIR "/kelvo"), commandLine.split(u' ', Qt::SkipEmptyParts));
    return kelvo.waitForFinished(60000) && kelvo.exitStatus() == QProcess::NormalExit ? kelvo.exitCode() : -1;
}

// The visible top-level window of the given class, if any.
template <typename Window> Window* Showing()
{
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* window = qobject_cast<Window*>(widget); window && window->isVisible())
            return window;
    }
    return nullptr;
}

// What a person does, and when: once the condition holds.
using Step = std::pair<std::function<bool()>, std::function<void()>>;

// An older version's settings: a start that loads the configuration imports them into "Kelvo".
class KelvoProgram : public testing::Test
{
protected:
    static void SetUpTestSuite() { test::EnsureApplication<QApplication>(); }
    KelvoProgram()
    {
        store.SaveSetting(u"Saver"_s, u"Settings"_s, u"StrLogFileDir"_s, u"/legacy/"_s);
        fs::create_directories(at("src/sub"));
        fs::create_directories(at("dst"));
    }

    template <typename Window> static bool shows() { return Showing<Window>() != nullptr; }
    static frmDialog& mainWindow() { return *Showing<frmDialog>(); }
    static RunController& controller() { return mainWindow().controller(); }
    static void endProgram() { mainWindow().menuItem(u"exit"_s).trigger(); }

    // Runs the program with the command line while a person takes the steps in turn, looking at every
    // pass of the event loop (the run's yields included).
    static void runWithAPerson(DesktopProgram& program, const QString& commandLine,
                               const std::vector<Step>& steps)
    {
        std::size_t next = 0;
        QTimer person;
        QObject::connect(&person, &QTimer::timeout, [&] {
            if (next < steps.size() && steps[next].first())
                steps[next++].second();
        });
        person.start(0);
        EXPECT_EQ(program.run(commandLine), 0);
        EXPECT_EQ(next, steps.size()) << "the program ended before the person was done";
    }

    std::string at(const std::string& name) const { return home.dir() / name; }
    QString path(const std::string& name) const { return QString::fromStdString(at(name)); }
    QString stored(const QString& key, const QString& section = u"Settings"_s)
    {
        return store.GetSetting(u"Kelvo"_s, section, key);
    }

    test::IsolatedHome home;
    SettingsStore store;
};

TEST_F(KelvoProgram, EndsAtOnceWithoutAWindowOrBesideARunningInstanceButTheEditorStarts)
{
    InstanceLock running;
    ASSERT_TRUE(running.TryAcquire());
    for (const QString& commandLine : {u"/p 123"_s, u"/x"_s, u"word"_s, u"/a 1234"_s, u"/b"_s, u"/S"_s})
        EXPECT_EQ(RunKelvo(commandLine), 0) << commandLine.toStdString();
    EXPECT_NE(stored(u"StrLogFileDir"_s), u"/legacy/"_s) << "a second instance loaded nothing";
    EXPECT_EQ(RunKelvo(u"/c:1234"_s), 0);
    EXPECT_EQ(stored(u"StrLogFileDir"_s), u"/legacy/"_s) << "the editor starts beside it";
}

TEST_F(KelvoProgram, BacksUpAtTheFirstPollAndEndsCleanlyOnASignal)
{
    test::WriteFile(at("src/sub/a.txt"), "a");
    test::StoreSet(store, u"Docs"_s, at("src"), at("dst"));
    QProcess kelvo;
    kelvo.setProcessChannelMode(QProcess::ForwardedChannels);
    kelvo.start(QStringLiteral(KELVO_BIN_DIR "/kelvo"), {u"/b"_s});
    const std::string log = at("home/kelvo.log");
    EXPECT_TRUE(test::SpinUntil(
        [&] { return fs::exists(log) && test::ReadFile(log).contains("COMPLETED backup"); }, 10000));
    EXPECT_TRUE(fs::exists(at("dst/sub/a.txt")));
    EXPECT_FALSE(stored(u"StrLastRunDate"_s).isEmpty());
    EXPECT_EQ(RunKelvo(u"/m"_s), 0) << "a second start ends at once";

    ::kill(pid_t(kelvo.processId()), SIGTERM);
    ASSERT_TRUE(kelvo.waitForFinished(10000));
    EXPECT_EQ(kelvo.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(kelvo.exitCode(), 0);
    InstanceLock afterwards;
    EXPECT_TRUE(afterwards.TryAcquire()) << "the ended instance left no mark";
}

TEST_F(KelvoProgram, ScreenSaverBacksUpAndEndsOnAKey)
{
    test::WriteFile(at("src/a.txt"), "a");
    test::StoreSet(store, u"Docs"_s, at("src"), at("dst"));
    DesktopProgram program;
    QKeyEvent shift(QEvent::KeyPress, Qt::Key_Shift, Qt::ShiftModifier);
    runWithAPerson(program, u"/s"_s,
                   {{[&] { return program.screenSaver() && fs::exists(at("dst/a.txt")); },
                     [&] { QApplication::sendEvent(program.screenSaver(), &shift); }}});
    EXPECT_FALSE(program.mainWindow()->isVisible());
}

TEST_F(KelvoProgram, SetListEditorAloneAddsASetAndDoneStoresIt)
{
    store.SaveSetting(u"Kelvo"_s, u"Settings"_s, u"flReRun"_s, u"False"_s); // no import of the older store
    const auto fillIn = [this] {
        frmOptions* dialog = Showing<frmOptions>();
        QTest::keyClicks(&dialog->tbSetName, u"Documents"_s);
        dialog->tbSourceDirectoryFile.setText(path("src"));
        dialog->tbDestinationDirectory.setText(path("backup"));
        QTest::keyClick(dialog, Qt::Key_Return);
    };
    DesktopProgram program;
    // Add opens the properties dialog in a modal loop of its own; Ok in Edit Sets ends the program.
    runWithAPerson(program, u"/c"_s,
                   {{shows<frmConfig>,
                     [] { QTimer::singleShot(0, [] { Showing<frmConfig>()->toolbarButton(1).trigger(); }); }},
                    {shows<frmOptions>, fillIn},
                    {[] { return !shows<frmOptions>() && shows<frmConfig>(); },
                     [] { QTest::keyClick(Showing<frmConfig>(), Qt::Key_Return); }}});
    EXPECT_EQ(stored(u"DestDir"_s, u"Sets\\Documents"_s), path("backup"));
}

// A window that a person opens while the first backup is busy (at a yield of the run), the answer once the
// run has ended or stood still 5 s (none: the program is ended with the window open), and what is stored
// then: the minutes between runs and each set with its filters.
struct OpeningDuringRun
{
    const char* name;
    std::function<void()> open;
    std::function<QWidget*()> shown;
    std::function<void(QWidget& shown)> answer;
    const char* stored;
};

TEST_F(KelvoProgram, TheRunEndsWhileAWindowIsOpenAndTheWindowStillDoesItsWork)
{
    constexpr std::size_t Files = 200;
    for (std::size_t i = 0; i < Files; ++i) {
        fs::create_directories(at("src/" + std::to_string(i % 4)));
        test::WriteFile(at("src/" + std::to_string(i % 4) + "/" + std::to_string(i) + ".txt"),
                        QByteArray(512, 'x'));
    }
    fs::create_directories(at("other"));
    test::StoreSet(store, u"Docs"_s, at("src"), at("dst"));
    test::StoreSet(store, u"Other"_s, at("other"), at("other-backup"));
    const auto editSetsThen = [](int button) {
        return [button] {
            mainWindow().menuItem(u"EditSets"_s).trigger();
            Showing<frmConfig>()->toolbarButton(button).trigger();
        };
    };
    const auto answerRemove = [](QMessageBox::StandardButton button) {
        return [button](QWidget& box) { static_cast<QMessageBox&>(box).button(button)->click(); };
    };
    const auto setTo7 = [](QWidget& settings) {
        settings.findChild<QLineEdit*>(u"tbrrminutes"_s)->setText(u"7"_s);
        settings.findChild<QPushButton*>(u"OKButton"_s)->click();
    };
    const auto filterTxt = [](QWidget& properties) {
        static_cast<frmOptions&>(properties).tbFilters.setText(u"*.txt"_s);
        static_cast<frmOptions&>(properties).OKButton_Click();
        QTest::keyClick(Showing<frmConfig>(), Qt::Key_Return); // Ok
    };
    // In this order: the settings left open were stored by the first; Remove Yes takes the set away.
    const OpeningDuringRun openings[] = {
        {"Settings", [] { mainWindow().menuItem(u"Settings"_s).trigger(); }, Showing<frmMainConfig>, setTo7,
         "7|Docs:*.*|Other:*.*"},
        {"Edit Sets, then Properties", editSetsThen(2), Showing<frmOptions>, filterTxt,
         "7|Docs:*.txt|Other:*.*"},
        {"Edit Sets, then Remove answered No", editSetsThen(3), Showing<QMessageBox>,
         answerRemove(QMessageBox::No), "7|Docs:*.txt|Other:*.*"},
        {"Settings from the toolbar, left open at the exit", [] { mainWindow().toolbarButton(2).trigger(); },
         Showing<frmMainConfig>, nullptr, "7|Docs:*.txt|Other:*.*"},
        {"Edit Sets, then Remove answered Yes", editSetsThen(3), Showing<QMessageBox>,
         answerRemove(QMessageBox::Yes), "7|Other:*.*"},
    };
    for (const OpeningDuringRun& opening : openings) {
        SCOPED_TRACE(opening.name);
        // The root stays: after a completed run, a missing one is an unplugged drive and nothing runs.
        for (const auto& entry : fs::directory_iterator(at("dst")))
            fs::remove_all(entry.path());
        DesktopProgram program;
        QElapsedTimer sinceOpened;
        const auto answer = [&] {
            if (opening.answer && opening.shown())
                opening.answer(*opening.shown());
            endProgram();
        };
        runWithAPerson(
            program, u"/b"_s,
            {{shows<frmDialog>, [] { QTimer::singleShot(0, [] { controller().PollTick(); }); }}, // not in 5 s
             {[] { return controller().runBusy(); },
              [&] {
                  sinceOpened.start();
                  QTimer::singleShot(0, opening.open);
              }},
             {[&] { return !controller().runBusy() || sinceOpened.elapsed() > 5000; },
              [&] {
                  EXPECT_TRUE(opening.shown());
                  EXPECT_FALSE(controller().runBusy()) << "the run stood still while the window was open";
                  QTimer::singleShot(0, answer);
              }}});
        std::size_t backedUp = 0;
        for (const auto& entry : fs::recursive_directory_iterator(at("dst")))
            backedUp += entry.is_regular_file();
        EXPECT_EQ(backedUp, Files);
        Configuration now;
        LoadConfiguration(store, now);
        QString state = stored(u"IntReRunTime"_s);
        for (const BackupSet& set : now.sets)
            state += u'|' + set.SetName + u':' + set.Filters;
        EXPECT_EQ(state.toStdString(), opening.stored);
    }
}

TEST(Help, TellsAPageThatIsNotInstalledFromADesktopThatCannotOpenIt)
{
    test::EnsureApplication<QApplication>();
    test::IsolatedHome home;
    const std::string page = home.dir() / "data/kelvo/help/topic.html";
    fs::create_directories(home.dir() / "data/kelvo/help");
    test::WriteFile(page, "<html></html>");
    Configuration configuration;
    SettingsStore store;
    AppState app{RunModeApplication, {}, {}, 0, 0, false};
    test::RecordingMessages messages;
    ProcessStarter starter;
    ProgramDialogs dialogs(
        {configuration, store, app, messages, starter, {}, {}, [] { return nullptr; }, {}});
    dialogs.Help(u"missing.html"_s);
    EXPECT_EQ(messages.last(), u"The help page missing.html is not installed with this copy of Kelvo."_s);
    dialogs.Help(u"topic.html"_s); // the offscreen platform opens nothing
    EXPECT_EQ(messages.stops.last(),
              u"|No program of this desktop opens web pages, so the help page cannot be "
              u"shown. Open %1 in a web browser."_s.arg(QString::fromStdString(page)));
}

TEST(Main, ReadsTheSwitchOfTheCommandLine)
{
    using enum StartAction;
    const std::tuple<const char*, ProgramRunMode, StartAction, QString> cases[] = {
        {"", RunModeApplication, StartApplication, u"|"_s},
        {" /b ", RunModeApplication, StartApplication, u"|"_s},
        {"/W", RunModeApplication, StartApplication, u"MIN|WIN"_s},
        {"/c:1234", RunModeConfig, ShowSetListEditor, u"|"_s},
        {"/p 123", RunModeNone, EndAtOnce, u"|"_s},
        {"/a 1234", RunModeScreenSaver, ChangePassword, u"|"_s},
    };
    for (const auto& [commandLine, runMode, action, minimisedAndByDesktop] : cases) {
        SCOPED_TRACE(commandLine);
        AppState state;
        EXPECT_EQ(Main(QString::fromUtf8(commandLine), state).action, action);
        EXPECT_EQ(state.RunMode, runMode);
        EXPECT_EQ(state.StartMinimised + u'|' + state.StartedByWindows, minimisedAndByDesktop);
    }
}

TEST(ScreenSaverTarget, TakesTheWindowAnXscreensaverStyleSaverGives)
{
    using enum ScreenSaverTarget::Kind;
    const std::tuple<const char*, const char*, ScreenSaverTarget::Kind, quintptr> cases[] = {
        {"/S -window-id 4194309", "0x99", GivenWindow, 4194309},
        {"/S --window-id 77", "", GivenWindow, 77},
        {"/S -root", "", RootWindow, 0},
        {"/S -root", "123", GivenWindow, 123}, // the saver's own window stands in for the root
        {"/S -window-id nonsense", "0x2c00007", GivenWindow, 0x2c00007},
        {"/S -window-id", "0", OwnWindow, 0},
    };
    for (const auto& [commandLine, environment, kind, window] : cases) {
        SCOPED_TRACE(std::string(commandLine) + " / " + environment);
        const ScreenSaverTarget target = ScreenSaverTargetOf(QString::fromLatin1(commandLine), environment);
        EXPECT_EQ(target.kind, kind);
        EXPECT_EQ(target.window, window);
    }
}

// An unload handler that exits again, or unloads another window, must not close or end anything twice.
TEST(ExitProgram, NestedCallFromAnUnloadHandlerCompletesTheExitOnceAndEachWindowUnloadsOnce)
{
    std::string events;
    WindowRegistry windows;
    ExitProgram exitProgram(
        windows, [&] { events += "close;"; }, [&] { events += "end;"; });
    WindowRegistry::WindowId status = 0;
    const auto saver = windows.Load([&] {
        events += "saver;";
        exitProgram();
        events += "saver-after;";
    });
    const auto main = windows.Load([&] {
        events += "main;";
        windows.Unload(status);
        exitProgram();
    });
    status = windows.Load([&] { events += "status;"; });

    exitProgram();
    exitProgram();
    EXPECT_EQ(events, "close;saver;close;main;status;close;end;saver-after;");
    EXPECT_TRUE(exitProgram.ended());
    for (const auto id : {saver, main, status})
        EXPECT_FALSE(windows.IsLoaded(id));
    EXPECT_NE(windows.Load({}), saver) << "a window loaded again is a new window";

    int ends = 0;
    ExitProgram withoutWindowsOrFileHook(windows, {}, [&] { ++ends; });
    withoutWindowsOrFileHook();
    EXPECT_EQ(ends, 1);
}

} // namespace
} // namespace kelvo
