#include "ui/frmOptions.h"

#include "config/SetRules.h"
#include "ui/MessageBoxes.h"
#include "ui/ScreenFit.h"
#include "ui/Twips.h"
#include "ui/WindowFont.h"

#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QScreen>
#include <QShortcut>
#include <QStyle>
#include <QVBoxLayout>

#include <algorithm>

namespace kelvo {

using namespace Qt::StringLiterals;

namespace {

constexpr int FrameLeft = 60;
constexpr int FrameWidth = 6075;
constexpr int AdvancedTop = 5340;
constexpr int AdvancedHeight = 3335;
constexpr int ButtonRowTop = 4860;

// The lists hold the criteria and the methods in the order of their enumerations, CopyCriterion and
// SyncMode; a list without a selection stands for the first.
template <typename Option> Option SelectedOption(const QComboBox& list)
{
    return Option(std::max(0, list.currentIndex()));
}

QLabel* Caption(const QString& text, QWidget& buddy)
{
    auto* label = new QLabel(text);
    label->setBuddy(&buddy);
    return label;
}

// What the person is told when a set breaks one of the rules, and the field the focus goes to.
struct Refusal
{
    QString text;
    QWidget* field;
};

} // namespace

frmOptions::frmOptions(frmOptionsParts parts, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint), m_parts(std::move(parts))
{
    setObjectName(u"frmOptions"_s);
    setWindowTitle(u"Set Configuration"_s);
    setFont(WindowFont(font()));
    // The design's absolute places are kept inside a scroll area, which shows scroll bars only on a
    // screen too small for the expanded dialog.
    m_scroll = new QScrollArea(this);
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_contents = new QWidget;
    m_scroll->setWidget(m_contents);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_scroll);
    connect(new QShortcut(QKeySequence::HelpContents, this), &QShortcut::activated, &CmdHelp,
            &QPushButton::click);

    auto* directories = new QGroupBox(u"Directory Settings"_s, m_contents);
    directories->setGeometry(PixelRect(FrameLeft, 120, FrameWidth, 3315));
    buildDirectorySettings(*directories);
    auto* options = new QGroupBox(u"Options"_s, m_contents);
    options->setGeometry(PixelRect(FrameLeft, 3600, FrameWidth, 1155));
    buildOptions(*options);

    auto* buttons = new QWidget(m_contents);
    buttons->setGeometry(PixelRect(FrameLeft, ButtonRowTop, FrameWidth, 420));
    auto* row = new QHBoxLayout(buttons);
    row->setContentsMargins(0, 0, 0, 0);
    OKButton.setText(u"&OK"_s);
    CancelButton.setText(u"&Cancel"_s);
    CmdHelp.setText(u"&Help"_s);
    Command1.setText(u"&Advanced >>>"_s);
    for (QPushButton* button : {&OKButton, &CancelButton, &CmdHelp, &Command1})
        row->addWidget(button);
    OKButton.setDefault(true);
    connect(&OKButton, &QPushButton::clicked, this, &frmOptions::OKButton_Click);
    connect(&CancelButton, &QPushButton::clicked, this, &frmOptions::CancelButton_Click);
    connect(&CmdHelp, &QPushButton::clicked, this, [this] {
        if (m_parts.help)
            m_parts.help(u"setconfig.html"_s);
    });
    connect(&Command1, &QPushButton::clicked, this, &frmOptions::Command1_Click);
    buildAdvanced();
    connectRules();
    setExpanded(false);
}

void frmOptions::buildDirectorySettings(QGroupBox& frame)
{
    auto* grid = new QGridLayout(&frame);
    grid->addWidget(Caption(u"Set &Name :"_s, tbSetName), 0, 0);
    grid->addWidget(&tbSetName, 0, 1, 1, 2);
    grid->addWidget(Caption(u"&Source Directory :"_s, tbSourceDirectoryFile), 1, 0);
    grid->addWidget(&tbSourceDirectoryFile, 1, 1);
    auto* browseSource = new QPushButton(u"&Browse"_s);
    grid->addWidget(browseSource, 1, 2);
    grid->addWidget(Caption(u"&Destination Directory :"_s, tbDestinationDirectory), 2, 0);
    grid->addWidget(&tbDestinationDirectory, 2, 1);
    auto* browseDestination = new QPushButton(u"B&rowse"_s);
    grid->addWidget(browseDestination, 2, 2);
    grid->addWidget(Caption(u"&Filters :"_s, tbFilters), 3, 0);
    grid->addWidget(&tbFilters, 3, 1, 1, 2);
    auto* example = new QLabel(u"e.g. *.doc;*.txt;*.xls (filters separated by semi colon)"_s);
    example->setWordWrap(true);
    grid->addWidget(example, 4, 1, 1, 2);
    cbSubDirectories.setText(u"&Include Subdirectories"_s);
    grid->addWidget(&cbSubDirectories, 5, 1, 1, 2);
    tbFilters.setText(u"*.*"_s);
    cbSubDirectories.setChecked(true);
    connect(browseSource, &QPushButton::clicked, this, [this] { browse(tbSourceDirectoryFile); });
    connect(browseDestination, &QPushButton::clicked, this, [this] { browse(tbDestinationDirectory); });
}

void frmOptions::buildOptions(QGroupBox& frame)
{
    auto* grid = new QGridLayout(&frame);
    ddbCopyOptions.addItems({u"File Date And Time"_s, u"Archive Bit"_s, u"File Size"_s});
    ddbSyncOptions.addItems({u"1 way : source --> destination"_s, u"2 way : source <--> destination"_s,
                             u"1 way : destination --> source"_s});
    grid->addWidget(Caption(u"Cop&y criteria"_s, ddbCopyOptions), 0, 0);
    grid->addWidget(&ddbCopyOptions, 0, 1);
    grid->addWidget(Caption(u"Syncroni&zation method"_s, ddbSyncOptions), 1, 0);
    grid->addWidget(&ddbSyncOptions, 1, 1);
}

void frmOptions::buildAdvanced()
{
    m_advanced.setParent(m_contents);
    m_advanced.setTitle(u"Advanced Options"_s);
    auto* grid = new QGridLayout(&m_advanced);
    cbOverwrite.setText(u"O&verwrite files in destination directory"_s);
    cbDeleteDest.setText(u"Delete files removed from source dir&ectory"_s);
    CbArchive.setText(u"&Keep a copy of existing file"_s);
    OpArchiveKeepName.setText(u"Kee&p original file name"_s);
    OpArchiveSeq.setText(u"Append file name &with sequence number"_s);
    OpArchiveDate.setText(u"Append file name with da&te"_s);
    CbArchiveSubDir.setText(u"&Move to sub directory : "_s);
    TbArchiveSubDir.setText(u"archive"_s);
    OpArchiveSeq.setChecked(true);
    grid->addWidget(&cbOverwrite, 0, 0, 1, 2);
    grid->addWidget(&cbDeleteDest, 1, 0, 1, 2);
    grid->addWidget(&CbArchive, 2, 0, 1, 2);
    grid->addWidget(&OpArchiveKeepName, 3, 0, 1, 2);
    grid->addWidget(&OpArchiveSeq, 4, 0, 1, 2);
    grid->addWidget(&OpArchiveDate, 5, 0, 1, 2);
    grid->addWidget(&CbArchiveSubDir, 6, 0);
    grid->addWidget(&TbArchiveSubDir, 6, 1);
    buildKeptCopyLimits(*grid, 7);
    m_advanced.setGeometry(Pixels(FrameLeft), Pixels(AdvancedTop), Pixels(FrameWidth), advancedHeight());
}

// The design's height, or more where the desktop's font needs it for every row to show whole.
int frmOptions::advancedHeight() const
{
    return std::max(Pixels(AdvancedHeight), m_advanced.minimumSizeHint().height());
}

// The limits weigh only while copies are kept; 0 reads as what it means.
void frmOptions::buildKeptCopyLimits(QGridLayout& grid, int firstRow)
{
    nbKeepMaxCopies.setRange(0, MostKeptCopies);
    nbKeepMaxCopies.setSpecialValueText(u"no limit"_s);
    nbKeepMaxCopies.setSuffix(u" copies"_s);
    nbKeepDays.setRange(0, MostKeptCopyDays);
    nbKeepDays.setSpecialValueText(u"never"_s);
    nbKeepDays.setSuffix(u" days"_s);
    QLabel* maxCopies = Caption(u"&Limit kept copies of each file to :"_s, nbKeepMaxCopies);
    QLabel* days = Caption(u"Remove kept copies a&ged over :"_s, nbKeepDays);
    grid.addWidget(maxCopies, firstRow, 0);
    grid.addWidget(&nbKeepMaxCopies, firstRow, 1);
    grid.addWidget(days, firstRow + 1, 0);
    grid.addWidget(&nbKeepDays, firstRow + 1, 1);
    const QList<QWidget*> limits{maxCopies, days, &nbKeepMaxCopies, &nbKeepDays};
    const auto enable = [limits](bool keeping) {
        for (QWidget* control : limits)
            control->setEnabled(keeping);
    };
    enable(CbArchive.isChecked());
    connect(&CbArchive, &QCheckBox::toggled, this, enable);
}

// The rules between the advanced options speak only to a person looking at the dialog; the
// editor's presets pass silently.
void frmOptions::connectRules()
{
    connect(&CbArchive, &QCheckBox::clicked, this, [this](bool checked) {
        if (isVisible() && checked && !CbArchiveSubDir.isChecked() && OpArchiveKeepName.isChecked())
            m_parts.messages.warning(
                this,
                u"You must append file name or choose to move file to sub directory to use this option."_s);
    });
    connect(&CbArchiveSubDir, &QCheckBox::toggled, this, [this](bool checked) {
        if (checked && !CbArchive.isChecked())
            CbArchive.setChecked(true);
    });
    connect(&cbOverwrite, &QCheckBox::clicked, this, [this](bool checked) {
        if (isVisible() && !checked)
            m_parts.messages.question(this,
                                      u"De-selecting this option will prevent a newer version of the file "
                                      u"being saved, are you sure?"_s,
                                      [this](bool yes) {
                                          if (!yes)
                                              cbOverwrite.setChecked(true);
                                      });
    });
    connect(&OpArchiveKeepName, &QRadioButton::clicked, this, [this] {
        if (isVisible() && !CbArchiveSubDir.isChecked())
            m_parts.messages.warning(this,
                                     u"You must select the sub directory option above to use this option"_s);
    });
}

void frmOptions::setExpanded(bool expanded)
{
    m_advanced.setVisible(expanded);
    Command1.setText(expanded ? u"&Advanced <<<"_s : u"&Advanced >>>"_s);
    const int height = expanded ? Pixels(AdvancedTop + 460) + advancedHeight() : Pixels(AdvancedTop + 360);
    m_contents->setFixedSize(Pixels(FrameLeft * 2 + FrameWidth), height);
    if (const QScreen* shownOn = screen())
        fitInto(shownOn->availableGeometry());
}

// The frame is known only once the window manager has framed the window; until then a title bar's
// height is kept free for it.
void frmOptions::fitInto(const QRect& workArea)
{
    const QSize frame = (frameGeometry().size() - size())
                            .expandedTo(QSize(0, style()->pixelMetric(QStyle::PM_TitleBarHeight)));
    setFixedSize(FittedWindowSize(m_contents->size(), workArea.size() - frame,
                                  style()->pixelMetric(QStyle::PM_ScrollBarExtent)));
    if (isVisible())
        move(PlacedInside(frameGeometry(), workArea));
}

// Shown on another screen than the one it was sized for, or framed since.
void frmOptions::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (const QScreen* shownOn = screen())
        fitInto(shownOn->availableGeometry());
}

void frmOptions::Command1_Click()
{
    setExpanded(!expanded());
}

void frmOptions::PrepareAdd()
{
    m_adding = true;
    tbSetName.clear();
    tbDestinationDirectory.clear();
    tbSourceDirectoryFile.clear();
    tbFilters.setText(u"*.*"_s);
    cbSubDirectories.setChecked(true);
    CbArchive.setChecked(false);
    CbArchiveSubDir.setChecked(false);
    OpArchiveSeq.setChecked(true);
    cbOverwrite.setChecked(true);
    cbDeleteDest.setChecked(false);
    TbArchiveSubDir.setText(u"archive"_s);
    nbKeepMaxCopies.setValue(0);
    nbKeepDays.setValue(0);
    ddbCopyOptions.setCurrentIndex(0);
    ddbSyncOptions.setCurrentIndex(0);
    tbSetName.setFocus();
}

void frmOptions::PrepareEdit(int index)
{
    m_adding = false;
    m_index = index;
    BackupSet& set = m_parts.sets[std::size_t(index)];
    tbSetName.setText(set.SetName);
    tbSourceDirectoryFile.setText(set.SourceDirFile);
    tbDestinationDirectory.setText(set.DestDir);
    if (set.Filters.isEmpty())
        set.Filters = u"*.*"_s;
    tbFilters.setText(set.Filters);
    TbArchiveSubDir.setText(set.ArchiveSubDir);
    if (const CopyCriterion copy = CopyCriterionOf(set); copy != CopyCriterion::Unknown)
        ddbCopyOptions.setCurrentIndex(int(copy));
    cbOverwrite.setChecked(set.flOverwrite);
    cbSubDirectories.setChecked(set.flSubDirectories);
    cbDeleteDest.setChecked(set.flRemovedDeletedFiles);
    switch (KeptCopyNamingOf(set)) {
    case KeptCopyNaming::OwnName:
        OpArchiveKeepName.setChecked(true);
        break;
    case KeptCopyNaming::Date:
        OpArchiveDate.setChecked(true);
        break;
    default:
        OpArchiveSeq.setChecked(true);
    }
    CbArchive.setChecked(set.flArchive);
    CbArchiveSubDir.setChecked(set.flArchiveSubDir);
    nbKeepMaxCopies.setValue(set.KeepMaxCopies);
    nbKeepDays.setValue(set.KeepDays);
    ddbSyncOptions.setCurrentIndex(int(SyncModeOf(set)));
    tbSetName.setFocus();
}

BackupSet frmOptions::recordFromControls(const BackupSet& base) const
{
    BackupSet set = base;
    set.SetName = tbSetName.text();
    set.ArchiveSubDir = TbArchiveSubDir.text();
    set.SourceDirFile = tbSourceDirectoryFile.text();
    set.Filters = tbFilters.text();
    set.DestDir = tbDestinationDirectory.text();
    set.CopyOptions = StoredText(SelectedOption<CopyCriterion>(ddbCopyOptions));
    set.SyncOptions = StoredText(SelectedOption<SyncMode>(ddbSyncOptions));
    set.flSubDirectories = cbSubDirectories.isChecked();
    set.flOverwrite = cbOverwrite.isChecked();
    set.flArchive = CbArchive.isChecked();
    set.flArchiveSubDir = CbArchiveSubDir.isChecked();
    set.flRemovedDeletedFiles = cbDeleteDest.isChecked();
    set.KeepMaxCopies = qint16(nbKeepMaxCopies.value());
    set.KeepDays = qint16(nbKeepDays.value());
    set.ArchiveOptions = StoredText(OpArchiveKeepName.isChecked() ? KeptCopyNaming::OwnName
                                    : OpArchiveDate.isChecked()   ? KeptCopyNaming::Date
                                                                  : KeptCopyNaming::Sequence);
    return set;
}

// A missing source is asked about first; the rest waits for the answer, with the dialog as it is.
void frmOptions::OKButton_Click()
{
    setExpanded(false);
    if (!sourceMayBeAskedAbout()) {
        writeIfValid(false);
        return;
    }
    m_parts.messages.question(this,
                              u"The source directory / file "_s + tbSourceDirectoryFile.text() +
                                  u" does not exist, continue?"_s,
                              [this](bool yes) {
                                  if (yes)
                                      writeIfValid(true);
                                  else
                                      tbSourceDirectoryFile.setFocus();
                              });
}

// The dialog's own order: the name first, then a missing source, which the person may accept.
bool frmOptions::sourceMayBeAskedAbout() const
{
    const QString source = tbSourceDirectoryFile.text();
    return IsValidSetName(tbSetName.text()) && !tbSetName.text().isEmpty() && source.startsWith(u'/') &&
           !QFileInfo::exists(source);
}

void frmOptions::writeIfValid(bool sourceMayBeMissing)
{
    BackupSets candidate = m_parts.sets;
    const bool emptyList =
        candidate.size() == 1 && (candidate[0].SetName.isEmpty() || candidate[0].flRemoved);
    std::size_t index = std::size_t(m_index);
    if (m_adding) {
        const BackupSet fresh = NewBackupSet({});
        if (emptyList)
            candidate[0] = fresh;
        else
            candidate.push_back(fresh);
        index = emptyList ? 0 : candidate.size() - 1;
    }
    candidate[index] = recordFromControls(candidate[index]);
    if (!validates(candidate, index, sourceMayBeMissing))
        return;
    m_parts.sets = std::move(candidate);
    if (m_parts.rowWritten)
        m_parts.rowWritten(int(index));
    hide();
    accept();
}

// Every rule a set must keep, worded for a person at this dialog.
bool frmOptions::validates(BackupSets& candidate, std::size_t index, bool sourceMayBeMissing)
{
    const QString source = tbSourceDirectoryFile.text();
    const std::optional<SetProblem> problem = FindSetProblem(candidate, index, sourceMayBeMissing);
    if (!problem)
        return true;
    const Refusal refusal = [&]() -> Refusal {
        switch (problem->kind) {
        case SetProblemKind::NameCharacters:
            return {u"Use only standard chanracters for set name, e.g. a-z, 0-9"_s, nullptr};
        case SetProblemKind::NoName:
            return {u"You must give the set a Name!"_s, &tbSetName};
        case SetProblemKind::PaddedName:
            return {u"A set name must not begin or end with a blank."_s, &tbSetName};
        case SetProblemKind::DuplicateName:
            return {u"Set names must be unique!"_s, nullptr};
        case SetProblemKind::NoSource:
        case SetProblemKind::SourceMissing:
            return {u"You must specify a source directory!"_s, &tbSourceDirectoryFile};
        case SetProblemKind::RelativeSource:
            return {u"The source %1 is not a full path. Give the whole path, beginning with /."_s.arg(source),
                    &tbSourceDirectoryFile};
        case SetProblemKind::SourceIsAFile:
            return {
                u"The source %1 is a file. Choose the folder it is in, and give its name as a filter."_s.arg(
                    source),
                &tbSourceDirectoryFile};
        case SetProblemKind::NoDestination:
            return {u"You must specify a valid destination directory!"_s, &tbDestinationDirectory};
        case SetProblemKind::RelativeDestination:
            return {u"The destination %1 is not a full path. Give the whole path, beginning with /."_s.arg(
                        problem->subject),
                    &tbDestinationDirectory};
        case SetProblemKind::SameDirectory:
            return {u"The source and the destination are the same directory. Choose another destination."_s,
                    &tbDestinationDirectory};
        case SetProblemKind::DestinationInsideSource:
            return {u"The destination is inside the source, so the set would back itself up into itself. "
                    u"Choose a destination outside %1."_s.arg(source),
                    &tbDestinationDirectory};
        case SetProblemKind::SourceInsideDestination:
            return {u"The source is inside the destination, so the set would copy its backup over itself. "
                    u"Choose a destination that does not hold %1."_s.arg(source),
                    &tbDestinationDirectory};
        case SetProblemKind::OwnNameWithoutSubDirectory:
            return {u"You must select the sub directory option above to use this option"_s, &CbArchiveSubDir};
        case SetProblemKind::SubDirectoryName:
            return {u"The sub directory for kept copies must be one folder name, such as archive."_s,
                    &TbArchiveSubDir};
        case SetProblemKind::SubDirectoryBackedUp:
            return {u"%1 is a folder that the set backs up, and its backup would be mixed with the kept "
                    u"copies. Choose another name for the sub directory."_s.arg(problem->subject),
                    &TbArchiveSubDir};
        }
        return {};
    }();
    m_parts.messages.stop(this, refusal.text);
    if (refusal.field) {
        if (refusal.field == &CbArchiveSubDir || refusal.field == &TbArchiveSubDir)
            setExpanded(true);
        refusal.field->setFocus();
        m_scroll->ensureWidgetVisible(refusal.field);
    }
    return false;
}

void frmOptions::CancelButton_Click()
{
    setExpanded(false);
    hide();
    QDialog::reject();
}

void frmOptions::reject()
{
    CancelButton_Click();
}

void frmOptions::browse(QLineEdit& field)
{
    field.setFocus();
    if (!m_parts.browseFolder)
        return;
    m_parts.browseFolder(this, u"Select a folder"_s, field.text(), [&field](const QString& chosen) {
        if (!chosen.isEmpty())
            field.setText(chosen);
    });
}

} // namespace kelvo
