#include "config/RunRecords.h"
#include "ui/SetEditorFixture.h"
#include "ui/VisibleText.h"
#include "ui/frmDialog.h"
#include "ui/frmStatusBar.h"

#include <QScreen>
#include <QTest>
#include <QTimer>

namespace kelvo::test {
namespace {

TEST_F(SetEditor, GridAndArrayStayTogetherThroughEveryCommand)
{
    auto editor = makeEditor();
    EXPECT_EQ(gridNames(*editor), names("One Two Three")) << "an empty list loads the store";

    std::filesystem::create_directories(home.dir() / "Four");
    fillNewSet(editor->options(), u"Four"_s, home.dir() / "Four", u"/backup/four"_s);
    editor->options().OKButton_Click();
    EXPECT_EQ(gridNames(*editor), names("One Two Three Four"));
    BackupSet added = NewBackupSet(u"Four"_s); // what Add starts from, with the dialog's kept-copy folder
    added.SourceDirFile = QString::fromStdString(home.dir() / "Four");
    added.DestDir = u"/backup/four"_s;
    added.ArchiveSubDir = u"archive"_s;
    EXPECT_EQ(editor->sets()[3], added);

    editor->MSFlexGrid1_Click(editor->model().index(1, 0));
    EXPECT_FALSE(editor->sets()[1].flEnabled);
    editor->MSFlexGrid1_Click(editor->model().index(1, 2));
    EXPECT_FALSE(editor->sets()[1].flEnabled) << "only the tick-box column toggles";

    const auto move = [&](int row, int button) {
        editor->selectRow(row);
        editor->Toolbar1_ButtonClick(button); // 5 Move Down, 6 Move Up
    };
    move(0, 6);
    move(3, 5);
    EXPECT_EQ(gridNames(*editor), names("One Two Three Four")) << "nothing moves past an end";
    move(0, 5);
    editor->Toolbar1_ButtonClick(5);
    EXPECT_EQ(gridNames(*editor), names("Two Three One Four")) << "the set moves on";
    editor->Toolbar1_ButtonClick(6);
    EXPECT_EQ(gridNames(*editor), names("Two One Three Four"));

    editor->selectRow(1);
    editor->options().PrepareEdit(1);
    editor->options().tbSetName.setText(u"First"_s);
    editor->options().OKButton_Click();
    ASSERT_TRUE(editor->cmdDone_Click());
    EXPECT_EQ(gridNames(*editor), names("Two First Three Four"));
    EXPECT_EQ(StoredSetNames(store), names("Two First Three Four"));
    EXPECT_EQ(statusBarShown, 2);
    EXPECT_EQ(exits, 0);
}

TEST_F(SetEditor, RemoveWritesAtOnceCancelRestoresOnlyMemoryAndTheLastSetWaitsForDone)
{
    auto editor = makeEditor();
    const auto remove = [&](int row) {
        editor->selectRow(row);
        editor->Toolbar1_ButtonClick(3);
    };
    messages.answer = false;
    remove(1);
    EXPECT_EQ(messages.last(), u"Are you sure you want to remove the set Two ?"_s);
    EXPECT_EQ(gridNames(*editor).size(), 3);

    messages.answer = true;
    remove(1);
    EXPECT_EQ(gridNames(*editor), names("One Three"));
    EXPECT_EQ(StoredSetNames(store), names("One Three")) << "written at once";
    editor->CmdCancel_Click();
    EXPECT_EQ(gridNames(*editor), names("One Two Three")) << "Cancel puts the list back as it was at load";
    ASSERT_TRUE(editor->cmdDone_Click());
    EXPECT_EQ(StoredSetNames(store), names("One Three")) << "but neither the store nor a later commit";

    // A Remove whose save fails keeps the set, and says why.
    editor->Form_Load();
    saveFails = true;
    remove(0);
    EXPECT_TRUE(messages.last().startsWith(u"The set One could not be removed"_s));
    EXPECT_EQ(gridNames(*editor).size(), 2);
    EXPECT_FALSE(editor->sets()[0].flRemoved);
    saveFails = false;

    remove(0);
    remove(0);
    EXPECT_EQ(gridNames(*editor), QStringList{});
    EXPECT_EQ(StoredSetNames(store).size(), 1) << "the last set goes at Done";
    ASSERT_TRUE(editor->cmdDone_Click());
    EXPECT_EQ(StoredSetNames(store), QStringList{u""_s});
    editor->Form_Load();
    EXPECT_FALSE(editor->toolbarButton(2).isEnabled() || editor->toolbarButton(3).isEnabled())
        << "Properties and Remove wait for a set";
}

TEST_F(SetEditor, DoneAndCancelEndTheEditorOnlyModesAndAFailedSaveKeepsTheList)
{
    app.RunMode = RunModeConfig;
    auto editor = makeEditor();
    editor->show();
    saveFails = true;
    editor->MSFlexGrid1_Click(editor->model().index(0, 0));
    EXPECT_FALSE(editor->cmdDone_Click());
    EXPECT_TRUE(editor->isVisible()) << "the edit is not lost";
    EXPECT_FALSE(editor->sets()[0].flEnabled);
    EXPECT_TRUE(messages.last().startsWith(u"The sets could not be saved"_s));
    EXPECT_EQ(exits, 0);
    saveFails = false;
    EXPECT_TRUE(editor->cmdDone_Click());
    EXPECT_EQ(exits, 1);
    EXPECT_EQ(statusBarShown, 0);

    app.RunMode = RunModeScreenSaver;
    editor->Form_Load();
    editor->cmdDone_Click();
    EXPECT_EQ(exits, 2);

    // The close box is Cancel: nothing half kept.
    app.RunMode = RunModeApplication;
    editor->Form_Load();
    editor->MSFlexGrid1_Click(editor->model().index(0, 0));
    editor->show();
    editor->close();
    EXPECT_FALSE(editor->sets()[0].flEnabled) << "restored to its state at load";
    EXPECT_EQ(exits, 2);
}

// Every command of the editor has a key of its own, which does what the command does; Tab goes from the list
// through the toolbar's commands, in their order, to Ok and Cancel.
TEST_F(SetEditor, EveryCommandHasAKeyAndTheToolbarIsInTheTabOrder)
{
    messages.answer = false;
    // Add and Properties open the set's dialog in a modal loop: it notes how it was opened and closes.
    QTimer closeOptions;
    QObject::connect(&closeOptions, &QTimer::timeout, [this] {
        if (auto* options = qobject_cast<frmOptions*>(QApplication::activeModalWidget())) {
            ran << (options->adding() ? u"add"_s : u"edit"_s);
            options->CancelButton_Click();
        }
    });
    closeOptions.start(10);
    const auto shownEditor = [this] {
        auto editor = makeEditor();
        editor->show();
        editor->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(editor.get()));
        editor->grid().setFocus();
        return editor;
    };
    const auto whatDoes = [&](const std::function<void(frmConfig&)>& act) {
        auto editor = shownEditor();
        editor->selectRow(1);
        const BackupSet before = editor->sets()[1];
        ran.clear();
        messages.texts.clear();
        act(*editor);
        const auto what = [&] {
            QStringList done = ran;
            if (!messages.texts.isEmpty())
                done << u"asked"_s;
            if (editor->sets()[1].SetName != before.SetName)
                done << u"moved"_s;
            if (editor->sets()[1].flEnabled != before.flEnabled)
                done << u"toggled"_s;
            return done.join(u' ').toStdString();
        };
        // A tool button's access key clicks it a moment later.
        EXPECT_TRUE(QTest::qWaitFor([&] { return !what().empty(); }, 1000));
        return what();
    };
    const auto press = [](QKeyCombination key) {
        return [key](frmConfig&) {
            QTest::keyClick(QApplication::focusWidget(), key.key(), key.keyboardModifiers());
        };
    };
    auto editor = makeEditor();
    QStringList keys, captions;
    for (int button = 1; button <= 8; ++button) {
        const QString caption = editor->toolbarButton(button).text();
        const QKeySequence key = QKeySequence::mnemonic(caption);
        ASSERT_FALSE(key.isEmpty() || keys.contains(key.toString())) << button;
        keys << key.toString();
        captions << caption;
        EXPECT_EQ(whatDoes(press(key[0])),
                  whatDoes([button](frmConfig& e) { e.toolbarButton(button).trigger(); }))
            << caption.toStdString();
    }
    EXPECT_EQ(whatDoes(press(Qt::Key_F1)), "help:config.html");
    EXPECT_EQ(whatDoes(press(Qt::Key_Space)), "toggled");

    editor = shownEditor();
    QStringList order;
    for (int tab = 0; tab < 10; ++tab) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        const auto* button = qobject_cast<QAbstractButton*>(QApplication::focusWidget());
        order << (button ? button->text() : QApplication::focusWidget()->objectName());
    }
    EXPECT_EQ(order, captions + QStringList({u"&Ok"_s, u"&Cancel"_s}));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), &editor->grid()) << "and round to the list";
}

class FixedClock final : public Clock
{
public:
    QDateTime now() const override { return QDateTime(QDate(2026, 12, 5), QTime(14, 5, 9)); }
};

// The countdown comes while Edit Sets is open: it reloads and runs the stored sets, and what the
// person changed in the editor stays there until Ok stores it, or Cancel drops it.
TEST_F(SetEditor, ACountdownReloadAndRunLeaveTheOpenEditorsChangesAlone)
{
    for (const auto& [key, value] : {std::pair{u"flReRun"_s, u"True"_s},
                                     {u"IntReRunTime"_s, u"1"_s},
                                     {u"StrLogFileDir"_s, QString::fromStdString(home.dir().path())}})
        store.SaveSetting(u"Kelvo"_s, u"Settings"_s, key, value);
    for (const std::string name : {"One", "Two", "Three", "Four"}) {
        for (const std::string& folder : {name, "backup/" + name})
            std::filesystem::create_directories(home.dir() / folder);
        WriteFile(home.dir() / (name + "/file.txt"), "x");
    }
    FixedClock clock;
    frmStatusBar statusBar{configuration, [] { return QGuiApplication::primaryScreen(); }, {}};
    frmDialog mainWindow(frmDialogParts{configuration, store, app, clock, statusBar, {}, {}, {}, {}, {}, {}});
    mainWindow.Form_Load();
    auto editor = makeEditor();
    const auto countdownReloadsAndRuns = [&] {
        mainWindow.controller().MinuteTick();
        mainWindow.controller().PollTick();
    };
    const auto backedUp = [&](const std::string& name) {
        return std::filesystem::exists(home.dir() / ("backup/" + name + "/file.txt"));
    };

    editor->MSFlexGrid1_Click(editor->model().index(1, 0)); // Two unticked
    fillNewSet(editor->options(), u"Four"_s, home.dir() / "Four",
               QString::fromStdString(home.dir() / "backup/Four"));
    editor->options().OKButton_Click();
    countdownReloadsAndRuns();
    EXPECT_TRUE(backedUp("Two")) << "the run takes the stored sets";
    EXPECT_FALSE(backedUp("Four"));
    EXPECT_EQ(gridNames(*editor), names("One Two Three Four"));
    EXPECT_FALSE(editor->sets()[1].flEnabled);
    ASSERT_TRUE(editor->cmdDone_Click());
    Configuration stored;
    LoadConfiguration(store, stored);
    EXPECT_EQ(StoredSetNames(store), names("One Two Three Four"));
    EXPECT_FALSE(stored.sets[1].flEnabled);
    EXPECT_TRUE(stored.sets[3].flEnabled);

    // Cancel after a reload puts back the list as the editor opened, over the memory the run reloaded.
    editor->Form_Load();
    editor->MSFlexGrid1_Click(editor->model().index(0, 0));
    editor->selectRow(3);
    editor->Toolbar1_ButtonClick(6); // Four moves up
    countdownReloadsAndRuns();
    EXPECT_TRUE(backedUp("Four"));
    editor->CmdCancel_Click();
    EXPECT_EQ(gridNames(*editor), names("One Two Three Four"));
    EXPECT_TRUE(editor->sets()[0].flEnabled);

    // Shown again from the tray menu, without a load, and cancelled again: the same list, which a
    // later commit (the settings dialog's Ok) stores as it is.
    editor->CmdCancel_Click();
    ASSERT_TRUE(editor->cmdDone_Click());
    EXPECT_EQ(StoredSetNames(store), names("One Two Three Four"));
}

// A set edited by hand in the settings file may name anything; the list's tool tips show it as it is.
// The Last Run column says how the set's last run ended; a store of an older version shows the date alone.
TEST_F(SetEditor, ListShowsTheLastRunsResultAndToolTipsAsPlainText)
{
    StoreSet(store, u"<b>Two</b>"_s, "/s/<img src=x><h1>a</h1>", "/d/<h1>a</h1>  &lt;");
    auto editor = makeEditor();
    const SetListModel& model = editor->model();
    const int row = model.rowCount() - 1;
    ASSERT_EQ(model.index(row, 1).data().toString(), u"<b>Two</b>"_s);
    for (int column = 1; column < model.columnCount(); ++column) {
        const QModelIndex cell = model.index(row, column);
        EXPECT_EQ(VisibleToolTip(cell.data(Qt::ToolTipRole).toString()), cell.data().toString()) << column;
    }

    BackupSets sets(3);
    sets[0].LastDate = u"01/02/2026 10:00:00"_s;
    RecordRunOutcome(sets[1], 0, QDateTime(QDate(2026, 12, 7), QTime(14, 5, 10)));
    RecordRunOutcome(sets[2], 3, QDateTime(QDate(2026, 12, 7), QTime(14, 5, 10)));
    const SetListModel lastRuns(sets);
    QStringList shown;
    for (int row = 0; row < 3; ++row)
        shown << lastRuns.index(row, lastRuns.columnCount() - 1).data().toString();
    EXPECT_EQ(shown, (QStringList{u"01/02/2026 10:00:00"_s, u"07/12/2026 14:05:10 completed"_s,
                                  u"07/12/2026 14:05:10 failed (3 errors)"_s}));
}

} // namespace
} // namespace kelvo::test
