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
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <filesystem>

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
    return kelvo.waitForFinished(15000) && kelvo.exitStatus() == QProcess::NormalExit ? kelvo.exitCode() : -1;
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
    KelvoProgram() { store.SaveSetting(u"Saver"_s, u"Settings"_s, u"StrLogFileDir"_s, u"/legacy/"_s); }

    template <typename Window> static bool shows() { return Showing<Window>() != nullptr; }
    static frmDialog& mainWindow() { return *Showing<frmDialog>(); }
    static RunController& controller() { return mainWindow().controller(); }

    // Runs the program with the command line while a person takes the steps in turn, looking at every
    // pass of the event loop (the run's yields included).
    static void runWithAPerson(const QString& commandLine, const std::vector<Step>& steps)
    {
        DesktopProgram program;
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
    QString stored(const QString& key) { return store.GetSetting(u"Kelvo"_s, u"Settings"_s, key); }

    test::IsolatedHome home;
    SettingsStore store;
};

// Without a window at all, or beside a running instance; the set list editor starts beside it.
TEST_F(KelvoProgram, EndsAtOnceWithoutAWindowOrBesideARunningInstanceButTheEditorStarts)
{
    for (const QString& commandLine : {u"/p 123"_s, u"/x"_s, u"word"_s, u"/a 1234"_s})
        EXPECT_EQ(RunKelvo(commandLine), 0) << commandLine.toStdString();
    InstanceLock running;
    ASSERT_TRUE(running.TryAcquire());
    for (const QString& commandLine : {u"/b"_s, u"/S"_s, u"/m"_s})
        EXPECT_EQ(RunKelvo(commandLine), 0) << commandLine.toStdString();
    EXPECT_NE(stored(u"StrLogFileDir"_s), u"/legacy/"_s) << "none of them loaded anything";
    EXPECT_EQ(RunKelvo(u"/c:1234"_s), 0);
    EXPECT_EQ(stored(u"StrLogFileDir"_s), u"/legacy/"_s);
}

// The set list editor alone, in its own mode: its Ok ends the program.
TEST_F(KelvoProgram, SetListEditorAloneShowsAndItsOkEndsTheProgram)
{
    store.SaveSetting(u"Kelvo"_s, u"Settings"_s, u"flReRun"_s, u"False"_s); // no import of the older store
    runWithAPerson(u"/c"_s,
                   {{shows<frmConfig>, [] { QTest::keyClick(Showing<frmConfig>(), Qt::Key_Return); }}});
}

// A window opened at a yield of the first backup, its answer once the run has ended or stood still 5 s (none:
// the program ends with it open), and what is stored then: the minutes between runs, each set's filters.
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
    constexpr long Files = 200;
    for (int i = 0; i < Files; ++i) {
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
    // In this order: the settings left open were stored by the first; Remove Yes takes the set away.
    const OpeningDuringRun openings[] = {
        {"Settings", [] { mainWindow().menuItem(u"Settings"_s).trigger(); }, Showing<frmMainConfig>,
         [](QWidget& settings) {
             settings.findChild<QLineEdit*>(u"tbrrminutes"_s)->setText(u"7"_s);
             settings.findChild<QPushButton*>(u"OKButton"_s)->click();
         },
         "7|Docs:*.*|Other:*.*"},
        {"Edit Sets, then Properties, then Ok", editSetsThen(2), Showing<frmOptions>,
         [](QWidget& properties) {
             static_cast<frmOptions&>(properties).tbFilters.setText(u"*.txt"_s);
             static_cast<frmOptions&>(properties).OKButton_Click();
             QTest::keyClick(Showing<frmConfig>(), Qt::Key_Return);
         },
         "7|Docs:*.txt|Other:*.*"},
        {"Settings from the toolbar, left open at the exit", [] { mainWindow().toolbarButton(2).trigger(); },
         Showing<frmMainConfig>, nullptr, "7|Docs:*.txt|Other:*.*"},
        {"Edit Sets, then Remove answered Yes", editSetsThen(3), Showing<QMessageBox>,
         [](QWidget& box) { static_cast<QMessageBox&>(box).button(QMessageBox::Yes)->click(); },
         "7|Other:*.*"},
    };
    for (const OpeningDuringRun& opening : openings) {
        SCOPED_TRACE(opening.name);
        fs::remove_all(at("dst")); // made again: after a completed run, a missing root is an unplugged drive
        fs::create_directories(at("dst"));
        QElapsedTimer sinceOpened;
        const auto answer = [&] {
            if (opening.answer && opening.shown())
                opening.answer(*opening.shown());
            mainWindow().menuItem(u"exit"_s).trigger();
        };
        runWithAPerson(
            u"/b"_s,
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
        EXPECT_EQ(std::distance(fs::recursive_directory_iterator(at("dst")), {}), Files + 4)
            << "and 4 folders";
        Configuration now;
        LoadConfiguration(store, now);
        QString state = stored(u"IntReRunTime"_s);
        for (const BackupSet& set : now.sets)
            state += u'|' + set.SetName + u':' + set.Filters;
        EXPECT_EQ(state.toStdString(), opening.stored);
    }
}

TEST_F(KelvoProgram, HelpTellsAPageThatIsNotInstalledFromADesktopThatCannotOpenIt)
{
    const std::string page = at("data/kelvo/help/topic.html");
    fs::create_directories(fs::path(page).parent_path());
    test::WriteFile(page, "<html></html>");
    Configuration configuration;
    AppState app;
    test::RecordingMessages messages;
    ProcessStarter starter;
    ProgramDialogs dialogs(
        {configuration, store, app, messages, starter, {}, {}, [] { return nullptr; }, {}});
    dialogs.Help(u"missing.html"_s);
    dialogs.Help(u"topic.html"_s); // the offscreen platform opens nothing
    EXPECT_TRUE(messages.texts.value(0).contains(u"missing.html is not installed"_s));
    EXPECT_TRUE(
        messages.stops.value(0).endsWith(u"Open %1 in a web browser."_s.arg(QString::fromStdString(page))));
}

// The command line's window, else the environment's; "-window-id" alone gives none.
TEST(ScreenSaverTarget, TakesTheWindowAnXscreensaverStyleSaverGives)
{
    EXPECT_EQ(ScreenSaverTargetOf(u"/S -window-id nonsense"_s, "0x2c00007").window, 0x2c00007u);
    EXPECT_EQ(ScreenSaverTargetOf(u"/S --window-id"_s, "").kind, ScreenSaverTarget::Kind::OwnWindow);
    EXPECT_EQ(ScreenSaverTargetOf(u"/S -root"_s, "").kind, ScreenSaverTarget::Kind::RootWindow);
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
    ExitProgram(windows, {}, [&] { events += "again;"; })(); // without windows or a hook for the copies
    EXPECT_TRUE(events.ends_with("saver-after;again;"));
}

} // namespace
} // namespace kelvo
