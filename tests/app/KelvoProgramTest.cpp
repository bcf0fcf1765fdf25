#include "app/DesktopProgram.h"
#include "platform/InstanceLock.h"
#include "platform/SettingsStore.h"
#include "saver/frmMain.h"
#include "support/Application.h"
#include "support/StoredSets.h"
#include "support/TestSupport.h"
#include "ui/RecordingMessages.h"
#include "ui/frmAbout.h"
#include "ui/frmConfig.h"
#include "ui/frmDialog.h"
#include "ui/frmMainConfig.h"
#include "ui/frmOptions.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>

using namespace Qt::Literals::StringLiterals;

namespace kelvo {
namespace {

// Runs the kelvo program in the test's own home; -1 when it did not end (it should end at once).
int RunKelvo(const QString& commandLine)
{
    QProcess kelvo;
    kelvo.setProcessChannelMode(QProcess::ForwardedChannels);
    kelvo.start(QStringLiteral(KELVO_BIN_DIR "/kelvo"), commandLine.split(u' ', Qt::SkipEmptyParts));
    if (!kelvo.waitForFinished(60000)) {
        kelvo.kill();
        kelvo.waitForFinished();
        return -1;
    }
    return kelvo.exitStatus() == QProcess::NormalExit ? kelvo.exitCode() : -1;
}

// Runs the program with the command line while a person acts at every tick of the interval.
int RunWithAPerson(DesktopProgram& program, const QString& commandLine, int interval,
                   const std::function<void()>& act)
{
    QTimer person;
    QObject::connect(&person, &QTimer::timeout, act);
    person.start(interval);
    return program.run(commandLine);
}

// The main window once it shows.
frmDialog* ShownMainWindow(DesktopProgram& program)
{
    frmDialog* mainWindow = program.mainWindow();
    return mainWindow && mainWindow->isVisible() ? mainWindow : nullptr;
}

// Finds the visible top-level window of the given class, if any.
template <typename Window> Window* Showing()
{
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* window = qobject_cast<Window*>(widget); window && window->isVisible())
            return window;
    }
    return nullptr;
}

// A person adds the set Documents in the Edit Sets window that shows; true once Ok is pressed.
struct AddingASet
{
    bool advance(const std::string& source, const std::string& destination)
    {
        if (step == 0 && Showing<frmConfig>()) {
            step = 1; // Add opens the properties dialog in a modal loop of its own
            QTimer::singleShot(0, [] { Showing<frmConfig>()->toolbarButton(1).trigger(); });
        } else if (frmOptions* dialog = Showing<frmOptions>(); step == 1 && dialog) {
            step = 2;
            QTest::keyClicks(&dialog->tbSetName, u"Documents"_s);
            dialog->tbSourceDirectoryFile.setText(QString::fromStdString(source));
            dialog->tbDestinationDirectory.setText(QString::fromStdString(destination));
            QTest::keyClick(dialog, Qt::Key_Return);
        } else if (step == 2 && !Showing<frmOptions>() && Showing<frmConfig>()) {
            step = 3;
            QTest::keyClick(Showing<frmConfig>(), Qt::Key_Return);
        }
        return step == 3;
    }
    int step = 0;
};

// An older version's settings: a start that loads the configuration imports them into "Kelvo".
class KelvoProgram : public testing::Test
{
protected:
    static void SetUpTestSuite() { test::EnsureApplication<QApplication>(); }
    KelvoProgram()
    {
        store.SaveSetting(u"Saver"_s, u"Settings"_s, u"StrLogFileDir"_s, u"/legacy/"_s);
        std::filesystem::create_directories(home.dir() / "src/sub");
        std::filesystem::create_directories(home.dir() / "dst");
    }

    bool configurationWasLoaded() { return stored(u"Settings"_s, u"StrLogFileDir"_s) == u"/legacy/"_s; }
    QString stored(const QString& section, const QString& key)
    {
        return store.GetSetting(u"Kelvo"_s, section, key);
    }
    void setting(const QString& key, const QString& value)
    {
        store.SaveSetting(u"Kelvo"_s, u"Settings"_s, key, value);
    }
    // Stores the set name from the home's folder source to its destination, the log in the home.
    void storeSet(const QString& name, const std::string& source, const std::string& destination)
    {
        test::StoreSet(store, name, home.dir() / source, home.dir() / destination);
        setting(u"StrLogFileDir"_s, QString::fromStdString(home.dir().path()));
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
    EXPECT_FALSE(configurationWasLoaded()) << "a second instance must not get as far as loading";

    EXPECT_EQ(RunKelvo(u"/c:1234"_s), 0);
    EXPECT_TRUE(configurationWasLoaded()) << "the editor does not look for a running instance";
}

TEST_F(KelvoProgram, BacksUpAtTheFirstPollAndEndsCleanlyOnASignal)
{
    test::WriteFile(home.dir() / "src/sub/a.txt", "a");
    storeSet(u"Docs"_s, "src", "dst");
    QProcess kelvo;
    kelvo.setProcessChannelMode(QProcess::ForwardedChannels);
    kelvo.start(QStringLiteral(KELVO_BIN_DIR "/kelvo"), {u"/b"_s});
    ASSERT_TRUE(kelvo.waitForStarted());
    EXPECT_TRUE(
        test::SpinUntil([&] { return std::filesystem::exists(home.dir() / "dst/sub/a.txt"); }, 10000));
    EXPECT_TRUE(test::SpinUntil(
        [&] { return test::ReadFile(home.dir() / "kelvo.log").contains("COMPLETED backup"); }, 10000));
    EXPECT_FALSE(stored(u"Settings"_s, u"StrLastRunDate"_s).isEmpty());
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
    test::WriteFile(home.dir() / "src/a.txt", "a");
    storeSet(u"Docs"_s, "src", "dst");
    DesktopProgram program;
    bool backedUpBeforeTheKey = false;
    EXPECT_EQ(RunWithAPerson(program, u"/s"_s, 100,
                             [&] {
                                 if (!std::filesystem::exists(home.dir() / "dst/a.txt") ||
                                     !program.screenSaver())
                                     return;
                                 backedUpBeforeTheKey = true;
                                 QKeyEvent press(QEvent::KeyPress, Qt::Key_Shift, Qt::ShiftModifier);
                                 QApplication::sendEvent(program.screenSaver(), &press);
                             }),
              0);
    EXPECT_TRUE(backedUpBeforeTheKey);
    EXPECT_FALSE(program.mainWindow()->isVisible());
}

TEST_F(KelvoProgram, SetListEditorAloneAddsASetAndDoneStoresIt)
{
    setting(u"flReRun"_s, u"False"_s); // no import of the older store
    DesktopProgram program;
    AddingASet adding;
    EXPECT_EQ(RunWithAPerson(program, u"/c"_s, 50,
                             [&] { adding.advance(home.dir() / "src", home.dir() / "backup"); }),
              0);
    EXPECT_EQ(adding.step, 3);
    EXPECT_EQ(stored(u"Sets\\Documents"_s, u"DestDir"_s), QString::fromStdString(home.dir() / "backup"));
}

TEST_F(KelvoProgram, FirstStartSaysHowToBeginUntilEditSetsAddsASet)
{
    DesktopProgram program;
    std::optional<bool> toldAtStart;
    bool toldWhileEditing = false;
    bool ended = false;
    AddingASet adding;
    const int exitCode = RunWithAPerson(program, u"/b"_s, 20, [&] {
        frmDialog* mainWindow = ShownMainWindow(program);
        if (!mainWindow || ended)
            return;
        if (!toldAtStart) {
            toldAtStart = mainWindow->noSetLabel().isVisible();
            mainWindow->toolbarButton(1).trigger(); // Edit Sets
        } else if (adding.step < 3) {
            toldWhileEditing = mainWindow->noSetLabel().isVisible();
            adding.advance(home.dir() / "src", home.dir() / "backup");
        } else if (!Showing<frmConfig>()) {
            ended = true;
            EXPECT_FALSE(mainWindow->noSetLabel().isVisible()) << "the stored set is there";
            mainWindow->menuItem(u"exit"_s).trigger();
        }
    });
    EXPECT_EQ(exitCode, 0);
    EXPECT_TRUE(ended);
    EXPECT_EQ(toldAtStart, true);
    EXPECT_TRUE(toldWhileEditing) << "a set not yet stored is no backup set";
}

// A window that a person opens while a backup is busy: from the tray menu, or from Edit Sets.
struct OpeningDuringRun
{
    const char* name;
    std::function<void(frmDialog& mainWindow)> open;
    std::function<QWidget*()> shown;
    // The person's answer once the run has ended; none: the program is ended with the window open.
    std::function<void(QWidget& shown)> answer;
    std::function<void()> expectStored;
};

class WindowsDuringARun : public KelvoProgram
{
protected:
    static constexpr int Files = 200;

    WindowsDuringARun()
    {
        for (int i = 0; i < Files; ++i) {
            const std::string folder = home.dir() / ("src/" + std::to_string(i % 4));
            std::filesystem::create_directories(folder);
            test::WriteFile(folder + "/" + std::to_string(i) + ".txt", QByteArray(512, 'x'));
        }
        std::filesystem::create_directories(home.dir() / "other");
        storeSet(u"Docs"_s, "src", "dst");
        storeSet(u"Other"_s, "other", "other-backup");
    }

    int filesBackedUp() const
    {
        int count = 0;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(home.dir() / "dst"))
            count += entry.is_regular_file() ? 1 : 0;
        return count;
    }

    // The first run opens the window at a yield; once the run ended (or stood still 5 s) the person answers.
    void runFirstBackup(const OpeningDuringRun& opening)
    {
        DesktopProgram program;
        bool opened = false;
        bool runEndedWithWindowOpen = false;
        int step = 0;
        QElapsedTimer sinceOpened;
        // At every pass of the loop, the run's yields included.
        const int exitCode = RunWithAPerson(program, u"/b"_s, 0, [&] {
            frmDialog* mainWindow = ShownMainWindow(program);
            if (!mainWindow)
                return;
            RunController& run = mainWindow->controller();
            if (step == 0) {
                step = 1;
                QTimer::singleShot(0, [&run] { run.PollTick(); }); // not five seconds later
            } else if (step == 1 && run.runBusy()) {
                step = 2;
                sinceOpened.start();
                QTimer::singleShot(0, [&opening, mainWindow] { opening.open(*mainWindow); });
            } else if (step == 2 && (!run.runBusy() || sinceOpened.elapsed() > 5000)) {
                step = 3;
                opened = opening.shown() != nullptr;
                runEndedWithWindowOpen = opened && !run.runBusy();
                QTimer::singleShot(0, [&, mainWindow] {
                    if (opening.answer && opening.shown())
                        opening.answer(*opening.shown());
                    mainWindow->menuItem(u"exit"_s).trigger();
                });
            }
        });
        EXPECT_EQ(exitCode, 0);
        EXPECT_TRUE(opened);
        EXPECT_TRUE(runEndedWithWindowOpen) << "the run stood still while the window was open";
        EXPECT_EQ(filesBackedUp(), Files);
    }
};

TEST_F(WindowsDuringARun, TheRunEndsWhileTheWindowIsOpenAndTheWindowStillDoesItsWork)
{
    const auto press = [](const char* button) {
        return [button](QWidget& window) {
            window.findChild<QPushButton*>(QString::fromLatin1(button))->click();
        };
    };
    const auto menu = [](const QString& item) {
        return [item](frmDialog& window) { window.menuItem(item).trigger(); };
    };
    const auto editSetsThen = [](int button) {
        return [button](frmDialog& mainWindow) {
            mainWindow.menuItem(u"EditSets"_s).trigger();
            Showing<frmConfig>()->toolbarButton(button).trigger();
        };
    };
    const auto answerRemove = [](QMessageBox::StandardButton button) {
        return [button](QWidget& box) { static_cast<QMessageBox&>(box).button(button)->click(); };
    };
    const auto expectStored = [this](const QString& section, const QString& key, const QString& value) {
        return [=, this] { EXPECT_EQ(stored(section, key), value); };
    };
    const auto expectSets = [this](const QStringList& names) {
        return [=, this] { EXPECT_EQ(test::StoredSetNames(store), names); };
    };
    const OpeningDuringRun openings[] = {
        {"Settings", menu(u"Settings"_s), [] { return Showing<frmMainConfig>(); },
         [&](QWidget& settings) {
             settings.findChild<QLineEdit*>(u"tbrrminutes"_s)->setText(u"7"_s);
             press("OKButton")(settings);
         },
         expectStored(u"Settings"_s, u"IntReRunTime"_s, u"7"_s)},
        {"About", menu(u"about"_s), [] { return Showing<frmAbout>(); }, press("cmdOK"), [] {}},
        {"Edit Sets, then Properties", editSetsThen(2), [] { return Showing<frmOptions>(); },
         [](QWidget& properties) {
             static_cast<frmOptions&>(properties).tbFilters.setText(u"*.txt"_s);
             static_cast<frmOptions&>(properties).OKButton_Click();
             QTest::keyClick(Showing<frmConfig>(), Qt::Key_Return); // Ok
         },
         expectStored(u"Sets\\Docs"_s, u"Filters"_s, u"*.txt"_s)},
        {"Edit Sets, then Remove answered No", editSetsThen(3), [] { return Showing<QMessageBox>(); },
         answerRemove(QMessageBox::No), expectSets({u"Docs"_s, u"Other"_s})},
        {"Settings, left open at the exit",
         [](frmDialog& mainWindow) { mainWindow.toolbarButton(2).trigger(); },
         [] { return Showing<frmMainConfig>(); },
         {},
         expectStored(u"Settings"_s, u"IntReRunTime"_s, u"7"_s)},
        {"Edit Sets, then Remove answered Yes", editSetsThen(3), [] { return Showing<QMessageBox>(); },
         answerRemove(QMessageBox::Yes), expectSets({u"Other"_s})},
    };
    // In this order: the settings left open were stored by the first; Remove Yes takes the set away.
    for (const OpeningDuringRun& opening : openings) {
        SCOPED_TRACE(opening.name);
        // The root stays: after a completed run, a missing one is an unplugged drive and nothing runs.
        for (const auto& entry : std::filesystem::directory_iterator(home.dir() / "dst"))
            std::filesystem::remove_all(entry.path());
        runFirstBackup(opening);
        opening.expectStored();
    }
}

TEST_F(WindowsDuringARun, AnOpenWindowKeepsTheFocusThroughAScheduledRun)
{
    setting(u"flShowStatusBar"_s, u"True"_s);
    DesktopProgram program;
    QWidget* active = nullptr;
    QWidget* activeAfterRun = nullptr;
    int step = 0;
    const int exitCode = RunWithAPerson(program, u"/b"_s, 0, [&] {
        frmDialog* mainWindow = ShownMainWindow(program);
        if (!mainWindow)
            return;
        if (step == 0) {
            step = 1;
            mainWindow->menuItem(u"Settings"_s).trigger();
        } else if (step == 1 && QApplication::activeWindow() == Showing<frmMainConfig>()) {
            step = 2;
            active = QApplication::activeWindow();
            QTimer::singleShot(0, [mainWindow] {
                mainWindow->Form_Load(); // the countdown's end
                mainWindow->controller().PollTick();
            });
        } else if (step == 2 && !mainWindow->controller().runBusy() &&
                   !mainWindow->controller().state().RunPending) {
            step = 3;
            QTimer::singleShot(50, [&, mainWindow] {
                activeAfterRun = QApplication::activeWindow();
                mainWindow->menuItem(u"exit"_s).trigger();
            });
        }
    });
    EXPECT_EQ(exitCode, 0);
    ASSERT_NE(active, nullptr);
    EXPECT_EQ(activeAfterRun, active);
}

// Notes whether the main window ever appears in its normal state.
class NormalShowWatch final : public QObject
{
public:
    bool eventFilter(QObject* object, QEvent* event) override
    {
        const auto* window = qobject_cast<frmDialog*>(object);
        if (window && event->type() == QEvent::Show && !(window->windowState() & Qt::WindowMinimized))
            shownNormal = true;
        return false;
    }
    bool shownNormal = false;
};

// A window manager may miss a minimise that comes just after the window is mapped.
TEST_F(KelvoProgram, StartedMinimisedTheWindowIsNeverShownNormal)
{
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());
    NormalShowWatch watch;
    qApp->installEventFilter(&watch);
    DesktopProgram program;
    bool minimisedOnTheTaskbar = false;
    EXPECT_EQ(RunWithAPerson(program, u"/w"_s, 0,
                             [&] {
                                 frmDialog* window = ShownMainWindow(program);
                                 if (window && window->isMinimized()) {
                                     minimisedOnTheTaskbar = true;
                                     window->toolbarButton(6).trigger(); // Exit
                                 }
                             }),
              0);
    qApp->removeEventFilter(&watch);
    EXPECT_TRUE(minimisedOnTheTaskbar);
    EXPECT_FALSE(watch.shownNormal);
}

TEST(Help, TellsAPageThatIsNotInstalledFromADesktopThatCannotOpenIt)
{
    test::EnsureApplication<QApplication>();
    test::IsolatedHome home;
    const std::string page = home.dir() / "data/kelvo/help/topic.html";
    std::filesystem::create_directories(home.dir() / "data/kelvo/help");
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
    EXPECT_EQ(messages.stops, QStringList{u"|No program of this desktop opens web pages, so the "
                                          u"help page cannot be shown. "
                                          u"Open %1 in a web browser."_s.arg(QString::fromStdString(page))});
}

} // namespace
} // namespace kelvo
