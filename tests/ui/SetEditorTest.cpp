#include "config/RunRecords.h"
#include "platform/Failure.h"
#include "ui/UiTest.h"
#include "ui/frmConfig.h"
#include "ui/frmDialog.h"
#include "ui/frmOptions.h"

namespace kelvo::test {
namespace {

// Edit Sets over a store of the sets One, Two and Three; each of them and Four has a source folder with a
// file in it, and a backup folder. Its commit fails while saveFails is set.
class SetEditor : public WindowTest
{
protected:
    SetEditor()
    {
        for (const std::string name : {"One", "Two", "Three", "Four"}) {
            fs::create_directories(home.dir() / name);
            fs::create_directories(home.dir() / ("backup/" + name));
            WriteFile(home.dir() / (name + "/file.txt"), "x");
            if (name != "Four")
                StoreSet(store, QString::fromStdString(name), home.dir() / name,
                         home.dir() / ("backup/" + name));
        }
        const auto commit = [this](const SetsDraft& draft) {
            if (saveFails)
                throw Failure(ErrDiskFull, home.configDir());
            CommitDraft(store, configuration, draft);
        };
        const auto load = [this] { LoadConfiguration(store, configuration); };
        editor = std::make_unique<frmConfig>(frmConfigParts{configuration, app, messages, commit, load,
                                                            note(u"exit"_s), note(u"statusBar"_s), nullptr,
                                                            nullptr, nullptr, nullptr, nullptr, nullptr});
        editor->Form_Load();
    }

    // What the grid shows, row by row, checked against the array it must mirror.
    QStringList grid() const
    {
        QStringList shown;
        const SetListModel& model = editor->model();
        EXPECT_EQ(std::size_t(std::max(1, model.rowCount())), editor->sets().size());
        for (int row = 0; row < model.rowCount(); ++row) {
            const BackupSet& set = editor->sets()[std::size_t(row)];
            shown << model.index(row, 1).data().toString();
            EXPECT_EQ(shown.back(), set.SetName);
            EXPECT_EQ(model.index(row, 0).data(Qt::CheckStateRole).toInt() == Qt::Checked, set.flEnabled);
        }
        return shown;
    }
    void fill(const QString& name, const std::string& source, const QString& destination)
    {
        options().PrepareAdd();
        options().tbSetName.setText(name);
        options().tbSourceDirectoryFile.setText(QString::fromStdString(source));
        options().tbDestinationDirectory.setText(destination);
    }
    frmOptions& options() { return editor->options(); }
    void act(int button, int row) // 3 Remove, 5 Move Down, 6 Move Up
    {
        editor->selectRow(row);
        editor->Toolbar1_ButtonClick(button);
    }
    void tick(int row) { editor->MSFlexGrid1_Click(editor->model().index(row, 0)); }
    static QStringList Names(const char* spaced) { return QString::fromLatin1(spaced).split(u' '); }

    bool saveFails = false;
    std::unique_ptr<frmConfig> editor;
};

// Remove writes at once; Cancel restores only the editor's list, and the last set goes only at Done. A save
// that fails keeps the set, and the editor with the person's changes.
TEST_F(SetEditor, RemoveDoneAndCancelStoreOnlyWhatTheySayAndAFailedSaveLosesNothing)
{
    messages.answer = false;
    act(3, 1);
    EXPECT_EQ(messages.last(), u"Are you sure you want to remove the set Two ?"_s);
    messages.answer = true;
    act(3, 1);
    EXPECT_EQ(StoredSetNames(store), Names("One Three")) << "written at once";
    editor->CmdCancel_Click();
    EXPECT_EQ(grid(), Names("One Two Three")) << "Cancel puts the list back as it was at load";
    ASSERT_TRUE(editor->cmdDone_Click());
    EXPECT_EQ(StoredSetNames(store), Names("One Three")) << "but neither the store nor a later commit";

    editor->Form_Load();
    saveFails = true;
    act(3, 0);
    EXPECT_TRUE(messages.last().startsWith(u"The set One could not be removed"_s));
    EXPECT_TRUE(grid() == Names("One Three") && !editor->sets()[0].flRemoved);
    app.RunMode = RunModeConfig;
    editor->show();
    tick(0);
    EXPECT_FALSE(editor->cmdDone_Click());
    EXPECT_TRUE(editor->isVisible() && !editor->sets()[0].flEnabled) << "the edit is not lost";
    EXPECT_TRUE(messages.last().startsWith(u"The sets could not be saved"_s));
    saveFails = false;
    act(3, 1);
    act(3, 0);
    EXPECT_EQ(grid(), QStringList{});
    EXPECT_EQ(StoredSetNames(store).size(), 1) << "the last set goes at Done";
    ASSERT_TRUE(editor->cmdDone_Click());
    EXPECT_EQ(StoredSetNames(store), QStringList{u""_s});
    EXPECT_EQ(ran.count(u"exit"_s), 1) << "the editor alone ends, once it has saved";
    editor->Form_Load();
    EXPECT_FALSE(editor->toolbarButton(2).isEnabled() || editor->toolbarButton(3).isEnabled())
        << "Properties and Remove wait for a set";
}

// A countdown comes while Edit Sets is open: it reloads and runs the stored sets, and what the person changed
// in the editor (ticks, moves, edits) stays there until Ok stores it, or Cancel drops it.
TEST_F(SetEditor, GridCommandsAndEditsOutliveACountdownsReloadAndRunUntilDoneOrCancel)
{
    store.SaveSetting(u"Kelvo"_s, u"Settings"_s, u"flReRun"_s, u"True"_s);
    store.SaveSetting(u"Kelvo"_s, u"Settings"_s, u"IntReRunTime"_s, u"1"_s);
    frmDialog mainWindow(frmDialogParts{configuration, store, app, clock, statusBar, nullptr, nullptr,
                                        nullptr, MainWindowCommands(), nullptr, nullptr});
    mainWindow.Form_Load();
    const auto countdownReloadsAndRuns = [&] {
        mainWindow.controller().MinuteTick();
        mainWindow.controller().PollTick();
    };
    const auto backedUp = [&](const char* name) {
        return fs::exists(home.dir() / ("backup/" + std::string(name) + "/file.txt"));
    };
    EXPECT_EQ(grid(), Names("One Two Three")) << "an empty list loads the store";
    tick(1);
    editor->MSFlexGrid1_Click(editor->model().index(1, 2));
    EXPECT_FALSE(editor->sets()[1].flEnabled) << "only the tick-box column toggles";
    fill(u"Four"_s, home.dir() / "Four", QString::fromStdString(home.dir() / "backup/Four"));
    options().OKButton_Click();
    countdownReloadsAndRuns();
    EXPECT_TRUE(backedUp("Two") && !backedUp("Four")) << "the run takes the stored sets";
    act(6, 0);
    act(5, 3);
    EXPECT_EQ(grid(), Names("One Two Three Four")) << "nothing moves past an end";
    act(5, 0);
    editor->Toolbar1_ButtonClick(5);
    EXPECT_EQ(grid(), Names("Two Three One Four")) << "the set moves on";
    editor->Toolbar1_ButtonClick(6);
    options().PrepareEdit(1);
    options().tbSetName.setText(u"First"_s);
    options().OKButton_Click();
    ASSERT_TRUE(editor->cmdDone_Click());
    Configuration stored;
    LoadConfiguration(store, stored);
    EXPECT_EQ(StoredSetNames(store), Names("Two First Three Four"));
    EXPECT_TRUE(!stored.sets[0].flEnabled && stored.sets[3].flEnabled);

    // The close box is Cancel, over the memory the run reloaded; shown again from the tray menu without a
    // load and closed again, the same list, which a later commit (the settings dialog's Ok) stores as it is.
    editor->Form_Load();
    tick(0);
    act(6, 3);
    countdownReloadsAndRuns();
    EXPECT_TRUE(backedUp("Four"));
    for (int shown = 0; shown < 2; ++shown) {
        editor->show();
        editor->close();
        EXPECT_TRUE(grid() == Names("Two First Three Four") && !editor->sets()[0].flEnabled);
    }
    ASSERT_TRUE(editor->cmdDone_Click());
    EXPECT_EQ(StoredSetNames(store), Names("Two First Three Four"));
}

// A set edited by hand in the settings file may name anything; the list's tool tips show it as it is. The
// Last Run column says how the set's last run ended; a store of an older version shows the date alone.
TEST_F(SetEditor, ListShowsTheLastRunsResultAndToolTipsAsPlainText)
{
    StoreSet(store, u"<b>Two</b>"_s, "/s/<img src=x><h1>a</h1>", "/d/<h1>a</h1>  &lt;");
    LoadConfiguration(store, configuration);
    configuration.sets[0].LastDate = u"01/02/2026 10:00:00"_s;
    RecordRunOutcome(configuration.sets[1], 0, QDateTime(QDate(2026, 12, 7), QTime(14, 5, 10)));
    RecordRunOutcome(configuration.sets[2], 3, QDateTime(QDate(2026, 12, 7), QTime(14, 5, 10)));
    editor->Form_Load();
    const SetListModel& model = editor->model();
    ASSERT_EQ(model.index(3, 1).data().toString(), u"<b>Two</b>"_s);
    for (int column = 1; column < model.columnCount(); ++column) {
        const QModelIndex cell = model.index(3, column);
        EXPECT_EQ(VisibleToolTip(cell.data(Qt::ToolTipRole).toString()), cell.data().toString()) << column;
    }
    QStringList lastRuns;
    for (int row = 0; row < 3; ++row)
        lastRuns << model.index(row, model.columnCount() - 1).data().toString();
    EXPECT_EQ(lastRuns, (QStringList{u"01/02/2026 10:00:00"_s, u"07/12/2026 14:05:10 completed"_s,
                                     u"07/12/2026 14:05:10 failed (3 errors)"_s}));
}

// The refusals in the dialog's order, each with the field given the focus; answer replies to "continue?".
TEST_F(SetEditor, PropertiesDialogJudgesASetInTheDialogsOrder)
{
    const std::string one = home.dir() / "One", nowhere = home.dir() / "nowhere", file = home.dir() / "f";
    WriteFile(file, "x");
    frmOptions& o = options();
    QWidget *name = &o.tbSetName, *source = &o.tbSourceDirectoryFile, *dest = &o.tbDestinationDirectory;
    const std::tuple<const char*, std::string, std::string, bool, const char*, QWidget*> cases[] = {
        {"", one, "/b", false, "You must give the set a Name!", name},
        {"New", "One", "/b", false, "The source One is not a full path.", source},
        {"New", nowhere, "/b", false, " does not exist, continue?", source},
        {"New", nowhere, "", true, "a valid destination directory!", dest},
        {"New", file, "/b", true, " is a file.", source},
        {"two", one, "/b", true, "Set names must be unique!", nullptr},
        {"New", one, one + "/backup", true, "The destination is inside the source", dest}};
    for (const auto& [setName, from, to, answer, refusal, focus] : cases) {
        messages.answer = answer;
        fill(QString::fromUtf8(setName), from, QString::fromStdString(to));
        o.OKButton_Click();
        EXPECT_EQ(editor->sets().size(), 3u) << setName;
        EXPECT_TRUE(messages.last().contains(QString::fromUtf8(refusal))) << messages.last().toStdString();
        EXPECT_TRUE(!focus || o.focusWidget() == focus) << refusal;
    }
    fill(u"Later"_s, nowhere, u"/b"_s);
    o.OKButton_Click();
    EXPECT_EQ(editor->sets().back().SetName, u"Later"_s) << "a missing source that the person accepts";
}

// OK stores each control in its own field: a box stored in another's place could switch on the deletion of
// removed files without a word. The options follow each other silently while the editor fills the dialog.
TEST_F(SetEditor, PropertiesDialogStoresEachControlInItsOwnField)
{
    BackupSet set = editor->sets()[0]; // One, with every option away from a new set's
    set.flEnabled = set.flOverwrite = set.flSubDirectories = false;
    set.CopyOptions = u"OpFileSize"_s;
    set.SyncOptions = u"destToSrc"_s;
    set.ArchiveOptions = u"OpDate"_s;
    set.ArchiveSubDir = u"kept"_s;
    set.Filters = u"*.jpg;*.png"_s;
    set.flArchive = set.flArchiveSubDir = set.flRemovedDeletedFiles = true;
    RecordRunOutcome(set, 0, QDateTime(QDate(2026, 12, 5), QTime(14, 5, 9)));
    set.SourceDrive = set.DestDrive = u"uuid"_s;
    frmOptions& dialog = options();
    const std::pair<QCheckBox*, bool BackupSet::*> boxes[] = {
        {nullptr, nullptr},
        {&dialog.cbSubDirectories, &BackupSet::flSubDirectories},
        {&dialog.cbOverwrite, &BackupSet::flOverwrite},
        {&dialog.cbDeleteDest, &BackupSet::flRemovedDeletedFiles},
        {&dialog.CbArchive, &BackupSet::flArchive},
        {&dialog.CbArchiveSubDir, &BackupSet::flArchiveSubDir}};
    for (const auto& [box, field] : boxes) {
        configuration.sets = {set};
        editor->Form_Load();
        dialog.PrepareEdit(0);
        BackupSet expected = set;
        if (box) {
            box->click();
            expected.*field = !(set.*field);
        }
        dialog.OKButton_Click();
        EXPECT_EQ(editor->sets()[0], expected) << (box ? box->text().toStdString() : "unchanged");
    }
    EXPECT_TRUE(messages.texts.isEmpty()) << "no question while the editor fills the dialog";
    set.flArchive = false;
    set.Filters.clear();
    configuration.sets = {set};
    editor->Form_Load();
    dialog.PrepareEdit(0);
    EXPECT_TRUE(dialog.CbArchive.isChecked()) << "a kept-copy folder means keeping copies";
    EXPECT_EQ(editor->sets()[0].Filters, u"*.*"_s) << "an empty filter list is every file";

    // Add starts from a new set's options; the kept-copy limits weigh only while copies are kept; a shown
    // dialog asks before it stops overwriting.
    fill(u"Four"_s, home.dir() / "Four", u"/b"_s);
    EXPECT_FALSE(dialog.nbKeepMaxCopies.isEnabled() || dialog.nbKeepDays.isEnabled());
    dialog.CbArchive.click();
    EXPECT_TRUE(dialog.nbKeepMaxCopies.isEnabled() && dialog.nbKeepDays.isEnabled());
    dialog.nbKeepMaxCopies.setValue(5);
    dialog.nbKeepDays.setValue(30);
    dialog.show();
    messages.answer = false;
    dialog.cbOverwrite.click();
    EXPECT_TRUE(messages.last().startsWith(u"De-selecting this option will prevent a newer version"_s));
    dialog.OKButton_Click();
    BackupSet added = NewBackupSet(u"Four"_s);
    added.SourceDirFile = QString::fromStdString(home.dir() / "Four");
    added.DestDir = u"/b"_s;
    added.ArchiveSubDir = u"archive"_s;
    added.flArchive = true;
    added.KeepMaxCopies = 5;
    added.KeepDays = 30;
    EXPECT_EQ(editor->sets().back(), added) << "No keeps overwriting";
}

} // namespace
} // namespace kelvo::test
