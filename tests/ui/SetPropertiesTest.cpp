#include "config/RunRecords.h"
#include "ui/SetEditorFixture.h"

#include <QCheckBox>
#include <QScrollArea>

namespace kelvo::test {
namespace {

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
    WriteFile(home.dir() / "file.txt", "x");

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

    // A missing source that the person accepts is stored; editing keeps its own name.
    fillNewSet(dialog, u"Later"_s, home.dir() / "nowhere", u"/b"_s);
    dialog.OKButton_Click();
    EXPECT_EQ(editor->sets().back().SetName, u"Later"_s);
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
    EXPECT_TRUE(messages.last().startsWith(u"De-selecting this option will prevent a newer version"_s));
    EXPECT_TRUE(dialog.cbOverwrite.isChecked()) << "No keeps overwriting";
    dialog.OpArchiveKeepName.click();
    EXPECT_EQ(messages.warnings,
              QStringList{u"You must select the sub directory option above to use this option"_s});
    EXPECT_FALSE(dialog.nbKeepMaxCopies.isEnabled() || dialog.nbKeepDays.isEnabled());
    dialog.CbArchive.click();
    EXPECT_EQ(messages.warnings.size(), 2) << "keeping a copy under its own name needs a sub directory";
    EXPECT_TRUE(dialog.nbKeepMaxCopies.isEnabled() && dialog.nbKeepDays.isEnabled())
        << "the limits on kept copies weigh only while copies are kept";
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
    BackupSet set;
    set.SetName = u"Photos"_s;
    set.SourceDirFile = QString::fromStdString(home.dir() / "One");
    set.DestDir = u"/backup/photos"_s;
    set.CopyOptions = u"OpFileSize"_s;
    set.SyncOptions = u"destToSrc"_s;
    set.ArchiveOptions = u"OpDate"_s;
    set.ArchiveSubDir = u"kept"_s;
    set.Filters = u"*.jpg;*.png"_s;
    set.flArchive = set.flArchiveSubDir = set.flRemovedDeletedFiles = true;
    set.KeepMaxCopies = 5;
    set.KeepDays = 30;
    set.FirstAttempt = u"01/12/2026 09:00:00"_s;
    RecordRunOutcome(set, 0, QDateTime(QDate(2026, 12, 5), QTime(14, 5, 9)));
    set.SourceDrive = u"uuid-source"_s;
    set.DestDrive = u"uuid-destination"_s;
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
    for (const auto& [box, field] : {std::pair(&dialog.nbKeepMaxCopies, &BackupSet::KeepMaxCopies),
                                     std::pair(&dialog.nbKeepDays, &BackupSet::KeepDays)}) {
        configuration.sets = {set};
        editor->Form_Load();
        dialog.PrepareEdit(0);
        box->setValue(box->value() + 1);
        dialog.OKButton_Click();
        EXPECT_EQ(editor->sets()[0].*field, set.*field + 1) << box->suffix().toStdString();
    }
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

} // namespace
} // namespace kelvo::test
