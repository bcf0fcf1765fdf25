#include "config/AppState.h"
#include "config/Configuration.h"
#include "config/RunRecords.h"
#include "platform/Failure.h"
#include "platform/SettingsStore.h"
#include "support/Application.h"
#include "support/TestSupport.h"
#include "ui/MessageBoxes.h"
#include "ui/RecordingMessages.h"
#include "ui/VisibleText.h"
#include "ui/frmConfig.h"
#include "ui/frmDialog.h"
#include "ui/frmOptions.h"
#include "ui/frmStatusBar.h"

#include <QApplication>
#include <QCheckBox>
#include <QScreen>
#include <QScrollArea>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <filesystem>

namespace kelvo {
namespace {

using namespace Qt::StringLiterals;

class SetEditor : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { test::EnsureApplication<QApplication>(); }

    SetEditor()
    {
        for (const char* name : {"One", "Two", "Three"}) {
            std::filesystem::create_directories(home.dir() / name);
            test::StoreSet(store, QString::fromLatin1(name), home.dir() / name,
                           home.dir() / ("backup/" + std::string(name)));
        }
    }

    std::unique_ptr<frmConfig> makeEditor()
    {
        frmConfigParts parts{configuration,
                             app,
                             messages,
                             [this](const SetsDraft& draft) {
                                 if (saveFails)
                                     throw Failure(ErrDiskFull, home.configDir());
                                 CommitDraft(store, configuration, draft);
                             },
                             [this] { LoadConfiguration(store, configuration); },
                             [this] { ++exits; },
                             [this] { ++statusBarShown; },
                             [this] { ran << u"settings"_s; },
                             [] { return false; },
                             {},
                             [this] { ran << u"about"_s; },
                             [this](const QString& topic) { ran << u"help:"_s + topic; },
                             {}};
        auto editor = std::make_unique<frmConfig>(std::move(parts));
        editor->Form_Load();
        return editor;
    }

    QStringList storedNames() const
    {
        Configuration stored;
        LoadConfiguration(const_cast<SettingsStore&>(store), stored);
        QStringList names;
        for (const BackupSet& set : stored.sets)
            names << set.SetName;
        return names;
    }

    // What the grid shows, row by row, checked against the array it must mirror.
    static QStringList gridNames(frmConfig& editor)
    {
        QStringList names;
        const SetListModel& model = editor.model();
        const BackupSets& sets = editor.sets();
        EXPECT_EQ(std::size_t(std::max(1, model.rowCount())), sets.size());
        for (int row = 0; row < model.rowCount(); ++row) {
            names << model.index(row, 1).data().toString();
            EXPECT_EQ(names.back(), sets[std::size_t(row)].SetName);
            EXPECT_EQ(model.index(row, 0).data(Qt::CheckStateRole).toInt() == Qt::Checked,
                      sets[std::size_t(row)].flEnabled);
        }
        return names;
    }

    void fillNewSet(frmOptions& dialog, const QString& name, const std::string& source,
                    const QString& destination)
    {
        dialog.PrepareAdd();
        dialog.tbSetName.setText(name);
        dialog.tbSourceDirectoryFile.setText(QString::fromStdString(source));
        dialog.tbDestinationDirectory.setText(destination);
    }

    test::IsolatedHome home;
    SettingsStore store{QString::fromStdString(home.configDir())};
    Configuration configuration{{}, BackupSets(1), {}};
    AppState app{RunModeApplication, {}, {}, 0, 0, false};
    test::RecordingMessages messages;
    bool saveFails = false;
    int exits = 0;
    int statusBarShown = 0;
    QStringList ran; // the commands that other windows answer
};

TEST_F(SetEditor, GridAndArrayStayTogetherThroughEveryCommand)
{
    auto editor = makeEditor();
    EXPECT_EQ(gridNames(*editor), (QStringList{u"One"_s, u"Two"_s, u"Three"_s}))
        << "an empty list loads the store";

    std::filesystem::create_directories(home.dir() / "Four");
    fillNewSet(editor->options(), u"Four"_s, home.dir() / "Four", u"/backup/four"_s);
    editor->options().OKButton_Click();
    EXPECT_EQ(gridNames(*editor), (QStringList{u"One"_s, u"Two"_s, u"Three"_s, u"Four"_s}));
    BackupSet added = NewBackupSet(u"Four"_s); // what Add starts from, with the dialog's kept-copy folder
    added.SourceDirFile = QString::fromStdString(home.dir() / "Four");
    added.DestDir = u"/backup/four"_s;
    added.ArchiveSubDir = u"archive"_s;
    EXPECT_EQ(editor->sets()[3], added);

    editor->MSFlexGrid1_Click(editor->model().index(1, 0));
    EXPECT_FALSE(editor->sets()[1].flEnabled);
    editor->MSFlexGrid1_Click(editor->model().index(1, 2));
    EXPECT_FALSE(editor->sets()[1].flEnabled) << "only the tick-box column toggles";
    gridNames(*editor);

    editor->selectRow(0);
    editor->Toolbar1_ButtonClick(6); // Move Up on the first: nothing
    editor->selectRow(3);
    editor->Toolbar1_ButtonClick(5); // Move Down on the last: nothing
    EXPECT_EQ(gridNames(*editor), (QStringList{u"One"_s, u"Two"_s, u"Three"_s, u"Four"_s}));
    editor->selectRow(0);
    editor->Toolbar1_ButtonClick(5);
    editor->Toolbar1_ButtonClick(5);
    EXPECT_EQ(gridNames(*editor), (QStringList{u"Two"_s, u"Three"_s, u"One"_s, u"Four"_s}))
        << "the set moves on";
    editor->Toolbar1_ButtonClick(6);
    EXPECT_EQ(gridNames(*editor), (QStringList{u"Two"_s, u"One"_s, u"Three"_s, u"Four"_s}));

    editor->selectRow(1);
    editor->options().PrepareEdit(1);
    editor->options().tbSetName.setText(u"First"_s);
    editor->options().OKButton_Click();
    EXPECT_EQ(gridNames(*editor), (QStringList{u"Two"_s, u"First"_s, u"Three"_s, u"Four"_s}));

    ASSERT_TRUE(editor->cmdDone_Click());
    EXPECT_EQ(storedNames(), (QStringList{u"Two"_s, u"First"_s, u"Three"_s, u"Four"_s}));
    EXPECT_EQ(statusBarShown, 2);
    EXPECT_EQ(exits, 0);
}

TEST_F(SetEditor, RemoveWritesAtOnceCancelRestoresOnlyMemoryAndTheLastSetWaitsForDone)
{
    auto editor = makeEditor();
    messages.answer = false;
    editor->selectRow(1);
    editor->Toolbar1_ButtonClick(3);
    EXPECT_EQ(messages.last(), u"Are you sure you want to remove the set Two ?"_s);
    EXPECT_EQ(gridNames(*editor).size(), 3);

    messages.answer = true;
    editor->Toolbar1_ButtonClick(3);
    EXPECT_EQ(gridNames(*editor), (QStringList{u"One"_s, u"Three"_s}));
    EXPECT_EQ(storedNames(), (QStringList{u"One"_s, u"Three"_s})) << "written at once";
    editor->CmdCancel_Click();
    EXPECT_EQ(gridNames(*editor), (QStringList{u"One"_s, u"Two"_s, u"Three"_s}))
        << "Cancel puts the list back as it was at load";
    EXPECT_EQ(storedNames(), (QStringList{u"One"_s, u"Three"_s})) << "but not the store";
    ASSERT_TRUE(editor->cmdDone_Click());
    EXPECT_EQ(storedNames(), (QStringList{u"One"_s, u"Three"_s})) << "nor a later commit";

    // A Remove whose save fails keeps the set, and says why.
    editor->Form_Load();
    saveFails = true;
    editor->selectRow(0);
    editor->Toolbar1_ButtonClick(3);
    EXPECT_TRUE(messages.last().startsWith(u"The set One could not be removed"_s))
        << messages.last().toStdString();
    EXPECT_EQ(gridNames(*editor).size(), 2);
    EXPECT_FALSE(editor->sets()[0].flRemoved);
    saveFails = false;

    editor->selectRow(0);
    editor->Toolbar1_ButtonClick(3);
    editor->selectRow(0);
    editor->Toolbar1_ButtonClick(3);
    EXPECT_EQ(gridNames(*editor), QStringList{});
    EXPECT_EQ(storedNames().size(), 1) << "the last set goes at Done";
    ASSERT_TRUE(editor->cmdDone_Click());
    EXPECT_EQ(storedNames(), QStringList{u""_s});
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
    EXPECT_EQ(editor->sets()[0].flEnabled, false) << "restored to its state at load";
    EXPECT_EQ(exits, 2);
}

TEST_F(SetEditor, PropertiesDialogJudgesASetInTheDialogsOrder)
{
    auto editor = makeEditor();
    frmOptions& dialog = editor->options();
    const auto refused = [&](const QString& name, const std::string& source, const QString& destination) {
        const std::size_t before = editor->sets().size();
        fillNewSet(dialog, name, source, destination);
        dialog.OKButton_Click();
        EXPECT_EQ(editor->sets().size(), before) << name.toStdString();
        return messages.last();
    };
    const std::string folder = home.dir() / "One";
    test::WriteFile(home.dir() / "file.txt", "x");

    EXPECT_EQ(refused(u"My-Set"_s, folder, u"/b"_s),
              u"Use only standard chanracters for set name, e.g. a-z, 0-9"_s);
    EXPECT_EQ(refused(u""_s, folder, u"/b"_s), u"You must give the set a Name!"_s);
    EXPECT_EQ(dialog.focusWidget(), &dialog.tbSetName);
    messages.answer = false;
    EXPECT_EQ(refused(u"New"_s, "One", u"/b"_s),
              u"The source One is not a full path. Give the whole path, beginning with /."_s)
        << "refused without the question about a missing source";
    EXPECT_EQ(dialog.focusWidget(), &dialog.tbSourceDirectoryFile);
    EXPECT_TRUE(refused(u"New"_s, folder, u"b"_s).contains(u"not a full path"_s));
    EXPECT_EQ(dialog.focusWidget(), &dialog.tbDestinationDirectory);
    EXPECT_EQ(refused(u"New"_s, home.dir() / "nowhere", u"/b"_s),
              QString(u"The source directory / file "_s + QString::fromStdString(home.dir() / "nowhere") +
                      u" does not exist, continue?"_s));
    EXPECT_EQ(dialog.focusWidget(), &dialog.tbSourceDirectoryFile);
    messages.answer = true;
    EXPECT_EQ(refused(u"New"_s, home.dir() / "nowhere", u""_s),
              u"You must specify a valid destination directory!"_s)
        << "Yes to a missing source still needs a destination";
    EXPECT_TRUE(refused(u"New"_s, home.dir() / "file.txt", u"/b"_s).contains(u"is a file"_s));
    EXPECT_EQ(refused(u"New"_s, folder, u""_s), u"You must specify a valid destination directory!"_s);
    EXPECT_EQ(dialog.focusWidget(), &dialog.tbDestinationDirectory);
    EXPECT_EQ(refused(u"two"_s, folder, u"/b"_s), u"Set names must be unique!"_s) << "without regard to case";
    EXPECT_TRUE(refused(u"New"_s, folder, QString::fromStdString(folder + "/backup"))
                    .contains(u"inside the source"_s));
    EXPECT_FALSE(dialog.expanded()) << "every OK collapses the advanced options";

    // A missing source that the person accepts is stored.
    fillNewSet(dialog, u"Later"_s, home.dir() / "nowhere", u"/b"_s);
    dialog.OKButton_Click();
    EXPECT_EQ(editor->sets().back().SetName, u"Later"_s);
    // Editing keeps its own name.
    dialog.PrepareEdit(0);
    dialog.OKButton_Click();
    EXPECT_EQ(editor->sets().size(), 4u);
}

TEST_F(SetEditor, AdvancedRulesSpeakOnlyWhileTheDialogIsShown)
{
    auto editor = makeEditor();
    frmOptions& dialog = editor->options();
    configuration.sets[0].flArchiveSubDir = true;
    configuration.sets[0].flArchive = false;
    configuration.sets[0].Filters.clear();
    editor->Form_Load();
    dialog.PrepareEdit(0);
    EXPECT_TRUE(dialog.CbArchive.isChecked()) << "a kept-copy folder means keeping copies";
    EXPECT_EQ(editor->sets()[0].Filters, u"*.*"_s) << "an empty filter list is every file";
    dialog.cbOverwrite.click();
    EXPECT_TRUE(messages.texts.isEmpty()) << "no question while the editor fills the dialog";

    dialog.PrepareAdd();
    dialog.show();
    messages.answer = false;
    dialog.cbOverwrite.click();
    EXPECT_EQ(
        messages.last(),
        u"De-selecting this option will prevent a newer version of the file being saved, are you sure?"_s);
    EXPECT_TRUE(dialog.cbOverwrite.isChecked()) << "No keeps overwriting";
    dialog.OpArchiveKeepName.click();
    EXPECT_EQ(messages.warnings,
              QStringList{u"You must select the sub directory option above to use this option"_s});
    dialog.CbArchive.click();
    EXPECT_EQ(messages.warnings.size(), 2) << "keeping a copy under its own name needs a sub directory";
    dialog.Command1_Click();
    EXPECT_TRUE(dialog.expanded());
    EXPECT_EQ(dialog.Command1.text(), u"&Advanced <<<"_s);
    dialog.CancelButton_Click();
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_FALSE(dialog.expanded());
}

// OK stores each control in its own field: a box stored in another's place could switch on the
// deletion of removed files without a word.
TEST_F(SetEditor, PropertiesDialogStoresEachControlInItsOwnField)
{
    // Every field away from a new set's value.
    BackupSet set{u"Photos"_s,
                  QString::fromStdString(home.dir() / "One"),
                  u"/backup/photos"_s,
                  u"OpFileSize"_s,
                  u"destToSrc"_s,
                  u"OpDate"_s,
                  u"kept"_s,
                  u"*.jpg;*.png"_s,
                  false,
                  false,
                  false,
                  true,
                  true,
                  false,
                  true,
                  u"05/12/2026 14:05:09"_s,
                  u"completed"_s,
                  u"05/12/2026 14:05:09"_s,
                  u"01/12/2026 09:00:00"_s,
                  u"uuid-source"_s,
                  u"uuid-destination"_s};
    configuration.sets = {set};
    auto editor = makeEditor();
    frmOptions& dialog = editor->options();
    dialog.PrepareEdit(0);
    dialog.OKButton_Click();
    EXPECT_EQ(editor->sets()[0], set);

    const std::pair<QCheckBox*, bool BackupSet::*> boxes[] = {
        {&dialog.cbSubDirectories, &BackupSet::flSubDirectories},
        {&dialog.cbOverwrite, &BackupSet::flOverwrite},
        {&dialog.cbDeleteDest, &BackupSet::flRemovedDeletedFiles},
        {&dialog.CbArchive, &BackupSet::flArchive},
        {&dialog.CbArchiveSubDir, &BackupSet::flArchiveSubDir}};
    for (const auto& [box, field] : boxes) {
        configuration.sets = {set};
        editor->Form_Load();
        dialog.PrepareEdit(0);
        box->click();
        dialog.OKButton_Click();
        BackupSet expected = set;
        expected.*field = !(set.*field);
        EXPECT_EQ(editor->sets()[0], expected) << box->text().toStdString();
    }
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
    const auto whatDoes = [this](const std::function<void(frmConfig&)>& act) {
        auto editor = makeEditor();
        editor->show();
        editor->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(editor.get()));
        editor->selectRow(1);
        editor->grid().setFocus();
        const BackupSets before = editor->sets();
        ran.clear();
        messages.texts.clear();
        act(*editor);
        const auto what = [&] {
            QStringList done = ran;
            if (!messages.texts.isEmpty())
                done << u"asked"_s;
            if (editor->sets()[1].SetName != before[1].SetName)
                done << u"moved"_s;
            if (editor->sets()[1].flEnabled != before[1].flEnabled)
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

    editor->show();
    editor->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(editor.get()));
    editor->grid().setFocus();
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

// At 200% an 800-pixel screen leaves 400 of Qt's pixels: the expanded dialog is taller than that.
TEST_F(SetEditor, PropertiesDialogFitsASmallScreenAndScrollsToTheKeptCopyOptions)
{
    auto editor = makeEditor();
    frmOptions& dialog = editor->options();
    dialog.PrepareEdit(0);
    dialog.show();
    dialog.Command1_Click();
    ASSERT_TRUE(dialog.expanded());
    auto& scroll = *dialog.findChild<QScrollArea*>();
    const QSize design = scroll.widget()->size();

    const auto fitInto = [&](const QRect& workArea) {
        dialog.fitInto(workArea);
        QApplication::processEvents(); // the scroll area shows or hides its bars a moment later
    };
    fitInto({0, 0, 1920, 1080});
    EXPECT_EQ(dialog.size(), design) << "a large screen shows the dialog as designed";
    EXPECT_EQ(scroll.viewport()->size(), design) << "with no scroll bar";

    fitInto({0, 0, 1280, 400});
    EXPECT_LE(dialog.frameGeometry().height(), 400);
    EXPECT_GT(design.height(), 400);
    QWidget& viewport = *scroll.viewport();
    const auto inView = [&](QWidget& control) {
        return viewport.rect().contains(QRect(control.mapTo(&viewport, QPoint(0, 0)), control.size()));
    };
    EXPECT_FALSE(inView(dialog.TbArchiveSubDir));
    scroll.ensureWidgetVisible(&dialog.TbArchiveSubDir);
    EXPECT_TRUE(inView(dialog.TbArchiveSubDir)) << "the last of the kept-copy options can be reached";
    dialog.CancelButton_Click();
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
    store.SaveSetting(u"Kelvo"_s, u"Settings"_s, u"flReRun"_s, u"True"_s);
    store.SaveSetting(u"Kelvo"_s, u"Settings"_s, u"IntReRunTime"_s, u"1"_s);
    store.SaveSetting(u"Kelvo"_s, u"Settings"_s, u"StrLogFileDir"_s,
                      QString::fromStdString(home.dir().path()));
    for (const char* name : {"One", "Two", "Three", "Four"}) {
        std::filesystem::create_directories(home.dir() / name);
        std::filesystem::create_directories(home.dir() / ("backup/" + std::string(name)));
        test::WriteFile(home.dir() / (std::string(name) + "/file.txt"), name);
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
    const auto backedUp = [&](const char* name) {
        return std::filesystem::exists(home.dir() / ("backup/" + std::string(name) + "/file.txt"));
    };

    editor->MSFlexGrid1_Click(editor->model().index(1, 0)); // Two unticked
    fillNewSet(editor->options(), u"Four"_s, home.dir() / "Four",
               QString::fromStdString(home.dir() / "backup/Four"));
    editor->options().OKButton_Click();
    countdownReloadsAndRuns();
    EXPECT_TRUE(backedUp("Two")) << "the run takes the stored sets";
    EXPECT_FALSE(backedUp("Four"));
    EXPECT_EQ(gridNames(*editor), (QStringList{u"One"_s, u"Two"_s, u"Three"_s, u"Four"_s}));
    EXPECT_FALSE(editor->sets()[1].flEnabled);
    ASSERT_TRUE(editor->cmdDone_Click());
    Configuration stored;
    LoadConfiguration(store, stored);
    EXPECT_EQ(storedNames(), (QStringList{u"One"_s, u"Two"_s, u"Three"_s, u"Four"_s}));
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
    EXPECT_EQ(gridNames(*editor), (QStringList{u"One"_s, u"Two"_s, u"Three"_s, u"Four"_s}));
    EXPECT_TRUE(editor->sets()[0].flEnabled);

    // Shown again from the tray menu, without a load, and cancelled again: the same list, which a
    // later commit (the settings dialog's Ok) stores as it is.
    editor->CmdCancel_Click();
    EXPECT_EQ(gridNames(*editor).size(), 4);
    ASSERT_TRUE(editor->cmdDone_Click());
    EXPECT_EQ(storedNames(), (QStringList{u"One"_s, u"Two"_s, u"Three"_s, u"Four"_s}));
}

// A set edited by hand in the settings file may name anything; the list's tool tips show it as it is.
TEST_F(SetEditor, ListToolTipsShowNamesAndPathsAsPlainText)
{
    test::StoreSet(store, u"<b>Two</b>"_s, "/s/<img src=x><h1>a</h1>", "/d/<h1>a</h1>  &lt;");
    auto editor = makeEditor();
    const SetListModel& model = editor->model();
    const int row = model.rowCount() - 1;
    ASSERT_EQ(model.index(row, 1).data().toString(), u"<b>Two</b>"_s);
    for (int column = 1; column < model.columnCount(); ++column) {
        const QModelIndex cell = model.index(row, column);
        EXPECT_EQ(test::VisibleToolTip(cell.data(Qt::ToolTipRole).toString()), cell.data().toString())
            << column;
    }
}

// The Last Run column says how the set's last run ended; a store of an older version shows the date alone.
TEST(SetListLastRun, ShowsTheResultBesideTheDate)
{
    BackupSets sets(3);
    sets[0].SetName = u"Old"_s;
    sets[0].LastDate = u"01/02/2026 10:00:00"_s;
    sets[1].SetName = u"Good"_s;
    RecordRunOutcome(sets[1], 0, QDateTime(QDate(2026, 12, 7), QTime(14, 5, 10)));
    sets[2].SetName = u"Bad"_s;
    RecordRunOutcome(sets[2], 3, QDateTime(QDate(2026, 12, 7), QTime(14, 5, 10)));
    const SetListModel model(sets);
    const int lastRun = model.columnCount() - 1;
    EXPECT_EQ(model.index(0, lastRun).data().toString(), u"01/02/2026 10:00:00"_s);
    EXPECT_EQ(model.index(1, lastRun).data().toString(), u"07/12/2026 14:05:10 completed"_s);
    EXPECT_EQ(model.index(2, lastRun).data().toString(), u"07/12/2026 14:05:10 failed (3 errors)"_s);
}

} // namespace
} // namespace kelvo
