#include "ui/ProgramIcon.h"
#include "ui/ScreenFit.h"
#include "ui/StatisticsFrame.h"
#include "ui/Tray.h"
#include "ui/UiTest.h"
#include "ui/frmDialog.h"

#include <QAbstractButton>
#include <QMessageBox>

#include <optional>

namespace kelvo::test {
namespace {

// The main window over an isolated home; each command it is given notes its name in ran when it runs.
class MainWindow : public WindowTest
{
protected:
    std::unique_ptr<frmDialog> makeDialog()
    {
        MainWindowCommands commands;
        commands.editSets = [this](bool refreshFirst) {
            ran << (refreshFirst ? u"editSets(refresh)"_s : u"editSets"_s);
        };
        commands.settings = note(u"settings"_s);
        commands.about = note(u"about"_s);
        commands.help = [this](const QString& topic) { ran << u"help:"_s + topic; };
        commands.openTextFile = [this](const QString&) { ran << u"log"_s; };
        return std::make_unique<frmDialog>(frmDialogParts{configuration, store, app, clock, statusBar,
                                                          note(u"exit"_s), note(u"unload"_s), nullptr,
                                                          commands, nullptr, nullptr});
    }
    // Runs the store's set Docs and gives the window's errors count.
    QString run(const std::string& source)
    {
        StoreSet(store, u"Docs"_s, home.dir() / source, home.dir() / "dst");
        dialog->Form_Load();
        dialog->controller().PollTick();
        return dialog->label(u"Label12"_s).text();
    }

    std::unique_ptr<frmDialog> dialog = makeDialog();
};

// The colour at the lower right of the window icon's smallest picture, where the error badge sits.
QColor BadgeCorner(const QIcon& icon)
{
    return icon.pixmap(16).toImage().pixelColor(12, 12);
}

// Each tray menu item and toolbar button ("1" to "6") of a window minimised to the tray runs its own
// command and nothing else. A left click on the tray icon restores the window only while no dialog is
// open, and a right click opens the menu only while the window is minimised.
TEST_F(MainWindow, EveryTrayMenuItemAndToolbarButtonRunsItsOwnCommandAndTheTrayIconItsOwn)
{
    const QString folder = QString::fromStdString(home.dir().path()) + u'/'; // a run reloads it
    store.SaveSetting(u"Kelvo"_s, u"Settings"_s, u"StrLogFileDir"_s, folder);
    configuration.settings.StrLogFileDir = folder;
    WriteFile(home.dir() / "kelvo.log", "");
    for (const char* action :
         {"RestoreKelvo=restore", "StatusBar=statusBar", "ViewLog=log", "EditSets=editSets",
          "Settings=settings", "RunNow=run", "about=about", "exit=exit", "1=editSets(refresh)", "2=settings",
          "3=run", "4=log", "5=help:standard.html", "6=unload"}) {
        const QStringList nameAndDoing = QString::fromLatin1(action).split(u'=');
        dialog = makeDialog();
        ran.clear();
        configuration.settings.flShowStatusBar = false;
        dialog->showMinimized();
        const int button = nameAndDoing[0].toInt();
        (button ? dialog->toolbarButton(button) : dialog->menuItem(nameAndDoing[0])).trigger();
        for (const auto& [happened, what] : {std::pair{!dialog->isMinimized(), u"restore"_s},
                                             {configuration.settings.flShowStatusBar, u"statusBar"_s},
                                             {dialog->controller().state().RunPending, u"run"_s}})
            if (happened)
                ran << what;
        EXPECT_EQ(ran.join(u' '), nameAndDoing[1]) << action;
    }

    frmDialog bare(frmDialogParts{configuration, store, app, clock, statusBar, nullptr, nullptr, nullptr,
                                  MainWindowCommands(), nullptr, nullptr});
    EXPECT_FALSE(bare.toolbarButton(1).isEnabled() || bare.menuItem(u"about"_s).isEnabled())
        << "no set list editor nor about box was given";

    dialog->showMinimized();
    QDialog modal;
    modal.setModal(true);
    modal.show();
    dialog->TrayMouseAction(1);
    EXPECT_TRUE(dialog->isMinimized()) << "a left click while a dialog is open restores nothing";
    modal.hide();
    dialog->TrayMouseAction(1);
    dialog->TrayMouseAction(2);
    EXPECT_FALSE(dialog->isMinimized() || dialog->popup().isVisible()) << "no menu while the window is shown";
    dialog->showMinimized();
    dialog->TrayMouseAction(2);
    EXPECT_TRUE(dialog->popup().isVisible());
    dialog->popup().hide();
}

// A first start shows how to begin in place of a window of zeros, until the editor has added a set; then
// the window shows a run's counts, and errors in red until a run completes without them.
TEST_F(MainWindow, SaysHowToBeginThenShowsARunsCountsAndErrorsInRed)
{
    const QString hint = u"There is no backup set yet. Click Edit Sets to add one."_s;
    QLabel& errors = dialog->label(u"Label12"_s);
    dialog->show();
    dialog->Form_Load();
    EXPECT_TRUE(dialog->noSetLabel().isVisible() && !errors.isVisible());
    EXPECT_EQ(dialog->noSetLabel().text(), hint);
    EXPECT_EQ(StatusToolTip(dialog->controller().status()), u"Kelvo - "_s + hint);
    StoreSet(store, u"Docs"_s, home.dir() / "src", home.dir() / "dst"); // the editor's Done, as wired
    LoadConfiguration(store, configuration);
    dialog->controller().SetListChanged();
    EXPECT_TRUE(!dialog->noSetLabel().isVisible() && errors.isVisible());
    EXPECT_EQ(StatusToolTip(dialog->controller().status()), u"Kelvo"_s) << "no run yet";

    EXPECT_EQ(errors.palette().color(QPalette::WindowText), QColor(0, 0, 192));
    fs::create_directories(home.dir() / "src");
    WriteFile(home.dir() / "src/a", "a");
    EXPECT_EQ(run("src"), u"0"_s);
    EXPECT_EQ(dialog->label(u"Label4"_s).text(), u"1"_s);
    EXPECT_EQ(run("missing"), u"1"_s);
    EXPECT_EQ(statusBar.panelText(4), u"Errors : 1"_s);
    EXPECT_EQ(errors.palette().color(QPalette::WindowText), QColor(255, 0, 0));
    EXPECT_FALSE(errors.toolTip().isEmpty()) << "the error line is at hand";
    const QColor badge = BadgeCorner(dialog->windowIcon());
    EXPECT_TRUE(badge.red() > 150 && badge.green() < 80) << "the icon carries the red badge";
    run("src");
    EXPECT_EQ(BadgeCorner(dialog->windowIcon()), BadgeCorner(ProgramIcon())) << "until a run completes";
}

// Another account that writes in a shared destination names the files a run shows: the names, the
// error lines and the message boxes show markup as it is.
TEST_F(MainWindow, ShowsFileNamesErrorLinesAndMessagesAsPlainText)
{
    for (const QLabel* label : dialog->findChildren<QLabel*>() + statusBar.findChildren<QLabel*>())
        EXPECT_EQ(label->textFormat(), Qt::PlainText) << label->objectName().toStdString();
    const QString name = u"<img src=x><h1>big</h1>  2.txt"_s;
    StatisticsFrame& frame = *dialog->findChild<StatisticsFrame*>();
    frame.showCurrentFile(name);
    EXPECT_EQ(dialog->label(u"Label9"_s).text(), name) << "not elided";
    EXPECT_EQ(VisibleToolTip(dialog->label(u"Label9"_s).toolTip()), name);
    const QString line = u"ERROR : Failed to Copy : /s/<h1>x</h1>&amp;. To /d/<h1>x</h1>&amp;"_s;
    frame.showLastError(line);
    EXPECT_EQ(VisibleToolTip(dialog->label(u"Label12"_s).toolTip()), line);

    QStringList shown; // the message boxes, answered as soon as they show
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            shown << (box->textFormat() == Qt::PlainText ? box->text() : u"markup"_s);
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

// A status bar of 539x25 in each corner of a work area on a second screen; a window fitted into a small one.
TEST(ScreenGeometry, CornersOfAWorkAreaAndWindowsFittedIntoIt)
{
    const QRect a(1980, 40, 1860, 1040); // panels at the top and left of a second screen
    const auto at = [&](StatusBarCorner corner) { return StatusBarPosition(corner, a, {539, 25}); };
    EXPECT_EQ(at(StatusBarCorner::TopLeft), a.topLeft());
    EXPECT_EQ(at(StatusBarCorner::TopRight), QPoint(3301, 40));
    EXPECT_EQ(at(StatusBarCorner::BottomLeft), QPoint(1980, 1055));
    EXPECT_EQ(at(StatusBarCorner::BottomRight), QPoint(3301, 1055));
    const QSize design(410, 560);
    EXPECT_EQ(FittedWindowSize(design, {1280, 380}, 16), QSize(426, 380)) << "too low: a vertical bar beside";
    EXPECT_EQ(FittedWindowSize(design, {400, 570}, 16), QSize(400, 570)) << "narrow: a bar makes it too low";
    EXPECT_EQ(FittedWindowSize(design, {300, 200}, 16), QSize(300, 200)) << "too small both ways";
    const QRect area(0, 30, 1280, 770); // a panel at the top of a 1280x800 screen
    EXPECT_EQ(PlacedInside({100, 600, 400, 300}, area), QPoint(100, 500)) << "grown below the bottom";
    EXPECT_EQ(PlacedInside({1100, 0, 400, 300}, area), QPoint(880, 30)) << "over the right and the panel";
    EXPECT_EQ(PlacedInside({100, 100, 400, 900}, area), QPoint(100, 30)) << "taller: the top is kept";
}

} // namespace
} // namespace kelvo::test
