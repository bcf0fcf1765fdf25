#include "config/AppState.h"
#include "config/Configuration.h"
#include "platform/SettingsStore.h"
#include "support/Application.h"
#include "support/TestSupport.h"
#include "ui/MessageBoxes.h"
#include "ui/ProgramIcon.h"
#include "ui/ScreenFit.h"
#include "ui/StatisticsFrame.h"
#include "ui/Tray.h"
#include "ui/VisibleText.h"
#include "ui/frmDialog.h"
#include "ui/frmStatusBar.h"

#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QToolTip>

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

namespace kelvo {
namespace {

using namespace Qt::StringLiterals;

class SystemClockForTests final : public Clock
{
public:
    QDateTime now() const override { return QDateTime(QDate(2026, 12, 5), QTime(14, 5, 9)); }
};

class MainWindow : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { test::EnsureApplication<QApplication>(); }

    MainWindow() { dialog = makeDialog(); }

    // Each command the window is given notes its name when it runs.
    std::unique_ptr<frmDialog> makeDialog()
    {
        MainWindowCommands commands;
        commands.editSets = [this](bool refreshFirst) {
            ran << (refreshFirst ? u"editSets(refresh)"_s : u"editSets"_s);
            if (editorWork)
                editorWork();
        };
        commands.settings = [this] { ran << u"settings"_s; };
        commands.about = [this] { ran << u"about"_s; };
        commands.help = [this](const QString& topic) { ran << u"help:"_s + topic; };
        commands.openTextFile = [this](const QString&) { ran << u"log"_s; };
        return std::make_unique<frmDialog>(frmDialogParts{configuration,
                                                          store,
                                                          app,
                                                          clock,
                                                          statusBar,
                                                          [this] { ran << u"exit"_s; },
                                                          [this] { ran << u"unload"_s; },
                                                          {},
                                                          commands,
                                                          {},
                                                          {}});
    }

    // What one action did in a window minimised to the tray: the commands it ran, and what the window
    // itself did (shown again, status bar switched, a run asked for).
    std::string whatRuns(QAction& action)
    {
        ran.clear();
        configuration.settings.flShowStatusBar = false;
        dialog->showMinimized();
        action.trigger();
        if (!dialog->isMinimized())
            ran << u"restore"_s;
        if (configuration.settings.flShowStatusBar)
            ran << u"statusBar"_s;
        if (dialog->controller().state().RunPending)
            ran << u"run"_s;
        return ran.join(u' ').toStdString();
    }

    // In the store too: a run asked for loads the settings again.
    void writeLogFile()
    {
        const QString folder = QString::fromStdString(home.dir().path()) + u'/';
        store.SaveSetting(u"Kelvo"_s, u"Settings"_s, u"StrLogFileDir"_s, folder);
        configuration.settings.StrLogFileDir = folder;
        test::WriteFile(home.dir() / "kelvo.log", "");
    }

    test::IsolatedHome home;
    SettingsStore store{QString::fromStdString(home.configDir())};
    Configuration configuration;
    AppState app{RunModeApplication, {}, {}, 0, 0, false};
    SystemClockForTests clock;
    frmStatusBar statusBar{configuration, [] { return QGuiApplication::primaryScreen(); }, {}};
    std::unique_ptr<frmDialog> dialog;
    QStringList ran;
    std::function<void()> editorWork; // what the person does in Edit Sets
};

// The colour at the lower right of the window icon's smallest picture, where the error badge sits.
QColor BadgeCorner(const QIcon& icon)
{
    return icon.pixmap(16).toImage().pixelColor(12, 12);
}

// Each item of the tray menu and each toolbar button runs its own command and nothing else; each toolbar
// command has its own access key, which runs what a click runs, and F1 is Help.
TEST_F(MainWindow, EveryTrayMenuItemAndToolbarButtonRunsItsOwnCommandAlsoByItsKey)
{
    writeLogFile();
    const std::pair<const char*, std::string> menu[] = {
        {"RestoreKelvo", "restore"}, {"StatusBar", "statusBar"}, {"ViewLog", "log"}, {"EditSets", "editSets"},
        {"Settings", "settings"},    {"RunNow", "run"},          {"about", "about"}, {"exit", "exit"}};
    for (const auto& [name, expected] : menu) {
        dialog = makeDialog(); // no run asked for yet
        EXPECT_EQ(whatRuns(dialog->menuItem(QString::fromLatin1(name))), expected) << name;
    }
    const auto keyRuns = [this](QKeyCombination key) {
        dialog = makeDialog();
        dialog->show();
        dialog->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(dialog.get()));
        ran.clear();
        QTest::keyClick(dialog.get(), key.key(), key.keyboardModifiers());
        const auto runPending = [this] { return dialog->controller().state().RunPending; };
        // A tool button's access key clicks it a moment later.
        EXPECT_TRUE(QTest::qWaitFor([&] { return !ran.isEmpty() || runPending(); }, 1000));
        if (runPending())
            ran << u"run"_s;
        return ran.join(u' ').toStdString();
    };
    const std::string toolbar[] = {"editSets(refresh)",  "settings", "run", "log",
                                   "help:standard.html", "unload"};
    QStringList keys;
    for (int button = 1; button <= 6; ++button) {
        dialog = makeDialog();
        EXPECT_EQ(whatRuns(dialog->toolbarButton(button)), toolbar[button - 1]) << button;
        const QKeySequence key = QKeySequence::mnemonic(dialog->toolbarButton(button).text());
        ASSERT_FALSE(key.isEmpty() || keys.contains(key.toString())) << button;
        keys << key.toString();
        EXPECT_EQ(keyRuns(key[0]), toolbar[button - 1]) << key.toString().toStdString();
    }
    EXPECT_EQ(keyRuns(Qt::Key_F1), "help:standard.html");

    app.RunMode = RunModeScreenSaver; // it runs once and counts no minutes
    dialog = makeDialog();
    dialog->Form_Load();
    EXPECT_FALSE(dialog->timer1().isEnabled());

    MainWindowCommands none;
    frmDialog bare(frmDialogParts{configuration, store, app, clock, statusBar, {}, {}, {}, none, {}, {}});
    EXPECT_FALSE(bare.toolbarButton(1).isEnabled()) << "no set list editor was given";
    EXPECT_FALSE(bare.menuItem(u"about"_s).isEnabled());
}

TEST_F(MainWindow, ShowsARunsCountsAndTurnsTheErrorsRed)
{
    QLabel& errors = dialog->label(u"Label12"_s);
    EXPECT_EQ(errors.palette().color(QPalette::WindowText), QColor(0, 0, 192));
    std::filesystem::create_directories(home.dir() / "src");
    test::WriteFile(home.dir() / "src/a", "a");
    test::StoreSet(store, u"Docs"_s, home.dir() / "src", home.dir() / "dst");
    dialog->Form_Load();
    EXPECT_EQ(statusBar.panelText(1), u"Last Run :14:05 05/12"_s);
    EXPECT_EQ(dialog->label(u"Label17"_s).text(), u"Timer not enabled"_s);
    dialog->controller().PollTick();
    EXPECT_EQ(dialog->label(u"Label4"_s).text(), u"1"_s);
    EXPECT_EQ(statusBar.panelText(3), u"Copied : 1"_s);
    EXPECT_EQ(errors.text(), u"0"_s);

    test::StoreSet(store, u"Docs"_s, home.dir() / "missing", home.dir() / "dst");
    dialog->Form_Load();
    dialog->controller().PollTick();
    EXPECT_EQ(errors.text(), u"1"_s);
    EXPECT_EQ(statusBar.panelText(4), u"Errors : 1"_s);
    EXPECT_EQ(errors.palette().color(QPalette::WindowText), QColor(255, 0, 0));
    EXPECT_FALSE(errors.toolTip().isEmpty()) << "the error line is at hand";
    const QColor badge = BadgeCorner(dialog->windowIcon());
    EXPECT_TRUE(badge.red() > 150 && badge.green() < 80) << "the icon carries the red badge";

    test::StoreSet(store, u"Docs"_s, home.dir() / "src", home.dir() / "dst");
    dialog->Form_Load();
    dialog->controller().PollTick();
    EXPECT_EQ(BadgeCorner(dialog->windowIcon()), BadgeCorner(ProgramIcon()))
        << "a completed run brings the plain icon back";
}

// A first start shows how to begin in place of a window of zeros, until the editor has added a set.
TEST_F(MainWindow, FirstStartSaysHowToBeginUntilASetExists)
{
    editorWork = [this] { // the editor's Done, as the program wires it
        test::StoreSet(store, u"Docs"_s, home.dir() / "src", home.dir() / "dst");
        LoadConfiguration(store, configuration);
        dialog->controller().SetListChanged();
    };
    dialog = makeDialog();
    dialog->show();
    dialog->Form_Load();
    EXPECT_TRUE(dialog->noSetLabel().isVisible());
    EXPECT_EQ(dialog->noSetLabel().text(), u"There is no backup set yet. Click Edit Sets to add one."_s);
    EXPECT_FALSE(dialog->label(u"Label12"_s).isVisible());
    EXPECT_EQ(StatusToolTip(dialog->controller().status()),
              u"Kelvo - There is no backup set yet. Click Edit Sets to add one."_s);

    dialog->toolbarButton(1).trigger();
    EXPECT_FALSE(dialog->noSetLabel().isVisible());
    EXPECT_TRUE(dialog->label(u"Label12"_s).isVisible());
    EXPECT_EQ(StatusToolTip(dialog->controller().status()), u"Kelvo"_s) << "no run yet";
}

// A left click restores only without an open dialog, a right click opens the menu only while minimised;
// the menu's status bar item and the strip's close symbol agree.
TEST_F(MainWindow, TrayClicksAndTheStatusBarItemAgreeWithTheWindow)
{
    dialog->showMinimized();
    QDialog modal;
    modal.setModal(true);
    modal.show();
    dialog->TrayMouseAction(1);
    EXPECT_TRUE(dialog->isMinimized()) << "a left click while a dialog is open restores nothing";
    modal.hide();
    dialog->TrayMouseAction(1);
    EXPECT_FALSE(dialog->isMinimized());
    configuration.settings.flShowStatusBar = true;
    dialog->TrayMouseAction(2);
    EXPECT_FALSE(dialog->popup().isVisible()) << "no menu while the window is shown";

    configuration.settings.flShowStatusBar = false;
    dialog->showMinimized();
    dialog->TrayMouseAction(2);
    EXPECT_TRUE(dialog->popup().isVisible());
    QAction& item = dialog->menuItem(u"StatusBar"_s);
    EXPECT_FALSE(item.isChecked());
    item.trigger(); // checks it
    EXPECT_TRUE(configuration.settings.flShowStatusBar);
    EXPECT_TRUE(statusBar.isVisible());
    dialog->popup().hide();

    // The close symbol on the sixth panel hides the strip; the menu shows it unchecked next time.
    const QPoint closeSymbol = statusBar.findChild<QLabel*>(u"Panel6"_s)->geometry().center();
    QMouseEvent press(QEvent::MouseButtonPress, closeSymbol, statusBar.mapToGlobal(closeSymbol),
                      Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&statusBar, &press);
    EXPECT_FALSE(statusBar.isVisible());
    EXPECT_FALSE(configuration.settings.flShowStatusBar);
    dialog->TrayMouseAction(2);
    EXPECT_FALSE(item.isChecked());
    dialog->popup().hide();
}

// Another account that writes in a shared destination names the files a run shows: the names, the
// error lines and the message boxes show markup as it is.
TEST_F(MainWindow, ShowsFileNamesErrorLinesAndMessagesAsPlainText)
{
    for (const QLabel* label : dialog->findChildren<QLabel*>())
        EXPECT_EQ(label->textFormat(), Qt::PlainText) << label->objectName().toStdString();
    for (const QLabel* label : statusBar.findChildren<QLabel*>())
        EXPECT_EQ(label->textFormat(), Qt::PlainText) << label->objectName().toStdString();

    const QString name = u"<img src=x><h1>big</h1>  2.txt"_s;
    StatisticsFrame& frame = *dialog->findChild<StatisticsFrame*>();
    frame.showCurrentFile(name);
    EXPECT_EQ(dialog->label(u"Label9"_s).text().toStdString(), name.toStdString()) << "not elided";
    EXPECT_EQ(test::VisibleToolTip(dialog->label(u"Label9"_s).toolTip()), name);
    const QString line = u"ERROR : Failed to Copy : /s/<h1>x</h1>&amp;. To /d/<h1>x</h1>&amp;"_s;
    frame.showLastError(line);
    EXPECT_EQ(test::VisibleToolTip(dialog->label(u"Label12"_s).toolTip()), line);

    // The message boxes, answered as soon as they show.
    QStringList shown;
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            shown << box->text();
            EXPECT_EQ(box->textFormat(), Qt::PlainText);
            QAbstractButton* yes = box->button(QMessageBox::Yes);
            (yes ? yes : box->button(QMessageBox::Ok))->click();
        }
    });
    answer.start(10);
    const QString text = u"Are you sure you want to remove the set <b>One</b> ?"_s;
    std::optional<bool> yes;
    MessageBoxes::Desktop().question(dialog.get(), text, [&](bool answered) { yes = answered; });
    EXPECT_FALSE(yes) << "the question returns before the answer";
    ASSERT_TRUE(QTest::qWaitFor([&] { return yes.has_value(); }));
    EXPECT_TRUE(*yes);
    MessageBoxes::Desktop().stop(dialog.get(), text);
    MessageBoxes::Desktop().warning(dialog.get(), text);
    MessageBoxes::Desktop().information(dialog.get(), text);
    EXPECT_TRUE(QTest::qWaitFor([&] { return shown.size() == 4; }));
    EXPECT_EQ(shown, QStringList(4, text));
}

TEST(StatusBarPosition, FindsEachCornerOfAWorkAreaBesideAPanel)
{
    const QSize size(539, 25);
    // A panel at the top, left, right or bottom edge of a 1920x1080 screen, and a second screen.
    const QRect workAreas[] = {{0, 40, 1920, 1040},
                               {60, 0, 1860, 1080},
                               {0, 0, 1860, 1080},
                               {0, 0, 1920, 1040},
                               {1920, 0, 2560, 1440}};
    for (const QRect& a : workAreas) {
        const int right = a.right() + 1 - 539, bottom = a.bottom() + 1 - 25;
        const std::vector<QPoint> corners{a.topLeft(), {right, a.top()}, {a.left(), bottom}, {right, bottom}};
        std::vector<QPoint> found;
        for (const StatusBarCorner corner : {StatusBarCorner::TopLeft, StatusBarCorner::TopRight,
                                             StatusBarCorner::BottomLeft, StatusBarCorner::BottomRight})
            found.push_back(StatusBarPosition(corner, a, size));
        EXPECT_EQ(found, corners) << a.x() << "," << a.y();
    }
}

// The strip is hardly ever the active window: its tool tips show while another one is.
TEST_F(MainWindow, StatusBarShowsItsToolTipsWhileAnotherWindowIsActive)
{
    statusBar.show();
    dialog->show();
    dialog->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(dialog.get()));
    ASSERT_FALSE(statusBar.isActiveWindow());
    QLabel& errors = *statusBar.findChild<QLabel*>(u"Panel4"_s);
    QTest::mouseMove(&errors, errors.rect().center());
    EXPECT_TRUE(QTest::qWaitFor([] { return QToolTip::isVisible(); }, 3000));
    EXPECT_EQ(QToolTip::text(), errors.toolTip());
    QToolTip::hideText();
}

TEST(FittedWindowSize, KeepsTheDesignOnALargeScreenAndScrollsTheRestOnASmallOne)
{
    const QSize design(410, 560);
    const int bar = 16;
    const struct
    {
        const char* name;
        QSize room;
        QSize fitted;
    } screens[] = {{"room to spare", {1280, 1000}, design},
                   {"too low: a vertical bar beside", {1280, 380}, {426, 380}},
                   {"too narrow, and the bar makes it too low", {400, 570}, {400, 570}},
                   {"too small both ways", {300, 200}, {300, 200}}};
    for (const auto& [name, room, fitted] : screens)
        EXPECT_EQ(FittedWindowSize(design, room, bar), fitted) << name;

    const QRect area(0, 30, 1280, 770); // a panel at the top of a 1280x800 screen
    EXPECT_EQ(PlacedInside({100, 600, 400, 300}, area), QPoint(100, 500)) << "grown below the bottom";
    EXPECT_EQ(PlacedInside({1100, 0, 400, 300}, area), QPoint(880, 30)) << "over the right and the panel";
    EXPECT_EQ(PlacedInside({100, 100, 400, 900}, area), QPoint(100, 30)) << "taller: the top is kept";
}

} // namespace
} // namespace kelvo
