#include "ui/ProgramIcon.h"
#include "ui/ScreenFit.h"
#include "ui/StatisticsFrame.h"
#include "ui/UiTest.h"
#include "ui/frmDialog.h"

#include <QAbstractButton>
#include <QMessageBox>

#include <optional>

namespace kelvo::test {
namespace {

// The main window over an isolated home.
class MainWindow : public WindowTest
{
protected:
    std::unique_ptr<frmDialog> makeDialog(const MainWindowCommands& commands = {})
    {
        return std::make_unique<frmDialog>(frmDialogParts{configuration, store, app, clock, statusBar,
                                                          nullptr, nullptr, nullptr, commands, nullptr,
                                                          nullptr});
    }
    // Runs the store's set Docs and gives the window's errors count.
    QString run(const std::string& source)
    {
        StoreSet(store, u"Docs"_s, home.dir() / source, home.dir() / "dst");
        dialog->Form_Load();
        dialog->controller().PollTick();
        return dialog->label(u"Label12"_s).text();
    }
    // The colour at the lower right of the window icon's smallest picture, where the error badge sits.
    static QColor BadgeCorner(const QIcon& icon) { return icon.pixmap(16).toImage().pixelColor(12, 12); }

    std::unique_ptr<frmDialog> dialog = makeDialog();
};

// A window without a set list editor or an about box offers neither. A left click on the tray icon restores
// the window only while no dialog is open, and a right click opens the menu only while it is minimised.
TEST_F(MainWindow, OffersOnlyWhatItWasGivenAndTheTrayIconWaitsForOpenDialogs)
{
    EXPECT_FALSE(dialog->toolbarButton(1).isEnabled() || dialog->menuItem(u"about"_s).isEnabled());
    MainWindowCommands commands;
    commands.editSets = [](bool) {};
    commands.about = [] {};
    dialog = makeDialog(commands);
    EXPECT_TRUE(dialog->toolbarButton(1).isEnabled() && dialog->menuItem(u"about"_s).isEnabled());
    dialog->show();
    dialog->TrayMouseAction(2);
    EXPECT_FALSE(dialog->popup().isVisible()) << "no menu while the window is shown";
    dialog->showMinimized();
    dialog->TrayMouseAction(2);
    EXPECT_TRUE(dialog->popup().isVisible());
    QDialog modal;
    modal.setModal(true);
    modal.show();
    dialog->TrayMouseAction(1);
    EXPECT_TRUE(dialog->isMinimized()) << "a left click while a dialog is open restores nothing";
    modal.hide();
    dialog->TrayMouseAction(1);
    EXPECT_FALSE(dialog->isMinimized());
}

// A first start shows how to begin in place of a window of zeros, until the editor has added a set; then
// the window shows a run's counts, and errors in red until a run completes without them.
TEST_F(MainWindow, SaysHowToBeginThenShowsARunsCountsAndErrorsInRed)
{
    QLabel& errors = dialog->label(u"Label12"_s);
    dialog->show();
    dialog->Form_Load();
    EXPECT_TRUE(dialog->noSetLabel().isVisible() && !errors.isVisible());
    StoreSet(store, u"Docs"_s, home.dir() / "src", home.dir() / "dst"); // the editor's Done, as wired
    LoadConfiguration(store, configuration);
    dialog->controller().SetListChanged();
    EXPECT_TRUE(!dialog->noSetLabel().isVisible() && errors.isVisible());

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

// The status bar in a corner of a work area on a second screen; a dialog fitted and placed in a small one.
TEST(ScreenGeometry, StatusBarCornerAndDialogsFittedIntoASmallWorkArea)
{
    const QRect area(1980, 40, 1280, 770); // a panel at the top of a second screen
    EXPECT_EQ(StatusBarPosition(StatusBarCorner::BottomRight, area, {539, 25}), QPoint(2721, 785));
    EXPECT_EQ(FittedWindowSize({410, 560}, {1280, 380}, 16), QSize(426, 380)) << "too low: a bar beside";
    EXPECT_EQ(FittedWindowSize({410, 560}, {400, 570}, 16), QSize(400, 570)) << "narrow: a bar, too low";
    EXPECT_EQ(PlacedInside({3100, 0, 400, 900}, area), QPoint(2860, 40)) << "inside, the top kept";
}

} // namespace
} // namespace kelvo::test
