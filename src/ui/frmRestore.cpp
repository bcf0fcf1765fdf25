#include "ui/frmRestore.h"

#include "engine/Clock.h"
#include "platform/Failure.h"
#include "platform/FilePath.h"
#include "ui/PlainText.h"
#include "ui/Twips.h"
#include "ui/WindowFont.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLocale>
#include <QScreen>
#include <QShortcut>
#include <QSplitter>
#include <QVBoxLayout>

namespace kelvo {

using namespace Qt::StringLiterals;

namespace {

constexpr int ClientWidth = 11250;
constexpr int ClientHeight = 7200;
constexpr int ReportLines = 4;

enum VersionColumn { NumberColumn, WhereColumn = 3 };

QString DecodedPath(const std::string& path)
{
    return QFile::decodeName(QByteArray::fromStdString(path));
}

QString ContentTime(FileTime time)
{
    return QLocale::c().toString(QDateTime::fromSecsSinceEpoch(time.seconds), u"yyyy-MM-dd hh:mm:ss"_s);
}

QString SizeText(qint64 size)
{
    return QLocale().formattedDataSize(size);
}

QLabel* BuddyLabel(const QString& caption, QWidget& buddy)
{
    auto* label = new QLabel(caption);
    label->setBuddy(&buddy);
    return label;
}

QWidget* Titled(QLabel* title, QWidget& contents)
{
    auto* column = new QWidget;
    auto* layout = new QVBoxLayout(column);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(title);
    layout->addWidget(&contents);
    return column;
}

QString SummaryText(const RestoreSummary& summary)
{
    return u"%1 %2 restored, %3 unchanged, %4 kept aside, %5 errors."_s
        .arg(summary.stopped ? u"Stopped:"_s : u"Done:"_s)
        .arg(summary.restored)
        .arg(summary.unchanged)
        .arg(summary.keptAside)
        .arg(summary.errors);
}

} // namespace

// It can be made as large as the screen: a deep tree and long paths want the room.
frmRestore::frmRestore(frmRestoreParts parts, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint),
      m_parts(std::move(parts)), m_worker(m_parts.clock)
{
    setObjectName(u"frmRestore"_s);
    setWindowTitle(u"Restore Files"_s);
    setFont(WindowFont(font()));
    buildControls();
    orderTabs();
    fitToScreen();
    connect(&m_model, &BackupTreeModel::listingFailed, &m_report, &QPlainTextEdit::appendPlainText);
    connect(m_files.selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &frmRestore::showVersions);
    connect(&m_versions, &QTreeWidget::itemSelectionChanged, this, &frmRestore::updateCommands);
    connect(&m_sets, &QComboBox::currentIndexChanged, this, &frmRestore::showSet);
    connect(&m_restore, &QPushButton::clicked, this, [this] { startRestore(std::nullopt); });
    connect(&m_restoreTo, &QPushButton::clicked, this, &frmRestore::chooseFolderAndRestore);
    connect(&m_stop, &QPushButton::clicked, this, [this] {
        m_worker.requestStop();
        m_stop.setEnabled(false);
    });
    connect(&m_help, &QPushButton::clicked, this, [this] { m_parts.help(u"restore.html"_s); });
    connect(new QShortcut(QKeySequence::HelpContents, this), &QShortcut::activated, &m_help,
            &QPushButton::click);
    connect(&m_close, &QPushButton::clicked, this, &QWidget::close);
    connect(&m_worker, &RestoreWorker::waitingForRun, this,
            [this] { m_summary.setText(u"Waiting for the backup run of this set to end..."_s); });
    connect(&m_worker, &RestoreWorker::progressChanged, &m_progress, &QProgressBar::setValue);
    connect(&m_worker, &RestoreWorker::currentFileChanged, &m_current, &QLabel::setText);
    connect(&m_worker, &RestoreWorker::lineReported, &m_report, &QPlainTextEdit::appendPlainText);
    connect(&m_worker, &RestoreWorker::finished, this, &frmRestore::restoreEnded);
    updateCommands();
}

frmRestore::~frmRestore()
{
    m_worker.stopAndWait();
}

void frmRestore::buildControls()
{
    m_sets.setObjectName(u"cboSet"_s);
    m_sets.setSizeAdjustPolicy(QComboBox::AdjustToContents);
    m_files.setObjectName(u"tvwFiles"_s);
    m_files.setModel(&m_model);
    m_files.setHeaderHidden(true);
    m_files.setUniformRowHeights(true);
    m_versions.setObjectName(u"lvwVersions"_s);
    m_versions.setHeaderLabels({u"Version"_s, u"Content from"_s, u"Size"_s, u"Where"_s});
    m_versions.setRootIsDecorated(false);
    m_versions.setUniformRowHeights(true);
    m_versions.header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    m_versions.header()->setStretchLastSection(true);
    for (QLabel* label : {&m_note, &m_current, &m_summary})
        label->setTextFormat(Qt::PlainText);
    m_note.setText(u"Restore: a current file that differs is first kept beside it under a new name; "
                   u"nothing is deleted."_s);
    m_note.setWordWrap(true);
    // A long file name is cut at the window's edge instead of widening the window.
    m_current.setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_summary.setObjectName(u"lblSummary"_s);
    m_summary.setWordWrap(true);
    m_report.setObjectName(u"txtReport"_s);
    m_report.setReadOnly(true);
    m_report.setTabChangesFocus(true);
    m_report.setFixedHeight(m_report.fontMetrics().lineSpacing() * ReportLines + Pixels(150));
    const std::pair<QPushButton*, QString> buttons[] = {{&m_restore, u"&Restore"_s},
                                                        {&m_restoreTo, u"Restore &To..."_s},
                                                        {&m_stop, u"&Stop"_s},
                                                        {&m_help, u"&Help"_s},
                                                        {&m_close, u"&Close"_s}};
    for (const auto& [button, caption] : buttons) {
        button->setText(caption);
        button->setObjectName(u"cmd"_s + QString(caption).remove(u'&').remove(u' ').remove(u'.'));
        // Enter in the tree or the list restores nothing by surprise.
        button->setAutoDefault(false);
    }

    auto* setRow = new QHBoxLayout;
    setRow->addWidget(BuddyLabel(u"&Backup set:"_s, m_sets));
    setRow->addWidget(&m_sets, 1);
    auto* splitter = new QSplitter(Qt::Horizontal);
    splitter->setChildrenCollapsible(false);
    splitter->addWidget(Titled(BuddyLabel(u"&Files in the backup:"_s, m_files), m_files));
    splitter->addWidget(Titled(BuddyLabel(u"&Versions:"_s, m_versions), m_versions));
    splitter->setSizes({Pixels(4200), Pixels(6600)});
    auto* progressRow = new QHBoxLayout;
    progressRow->addWidget(&m_progress, 1);
    progressRow->addWidget(&m_current, 2);
    auto* buttonRow = new QHBoxLayout;
    for (QPushButton* button : {&m_restore, &m_restoreTo, &m_stop})
        buttonRow->addWidget(button);
    buttonRow->addStretch();
    buttonRow->addWidget(&m_help);
    buttonRow->addWidget(&m_close);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(setRow);
    layout->addWidget(splitter, 1);
    layout->addLayout(progressRow);
    layout->addWidget(&m_summary);
    layout->addWidget(&m_report);
    layout->addWidget(&m_note);
    layout->addLayout(buttonRow);
}

// From the set through the tree and its versions to the commands that act on them.
void frmRestore::orderTabs()
{
    QWidget* const order[] = {&m_sets, &m_files,  &m_versions, &m_restore, &m_restoreTo,
                              &m_stop, &m_report, &m_help,     &m_close};
    for (std::size_t i = 1; i < std::size(order); ++i)
        setTabOrder(order[i - 1], order[i]);
}

// The design's size where the screen has room for it, else the room there is.
void frmRestore::fitToScreen()
{
    const QSize room = screen()->availableGeometry().size() * 9 / 10;
    resize(QSize(Pixels(ClientWidth), Pixels(ClientHeight)).boundedTo(room));
}

void frmRestore::Form_Load(const QString& setName)
{
    const QString wanted = setName.isEmpty() ? m_sets.currentText() : setName;
    {
        const QSignalBlocker quiet(m_sets);
        m_sets.clear();
        for (const BackupSet& set : m_parts.configuration.sets) {
            if (!set.SetName.isEmpty())
                m_sets.addItem(set.SetName);
        }
        m_sets.setCurrentIndex(std::max(0, m_sets.findText(wanted)));
    }
    m_report.clear();
    m_summary.clear();
    m_current.clear();
    m_progress.reset();
    showSet(m_sets.currentIndex());
    m_files.setFocus();
}

// By name: a run may have loaded the sets again since the list was filled.
const BackupSet* frmRestore::shownSet() const
{
    for (const BackupSet& set : m_parts.configuration.sets) {
        if (!set.SetName.isEmpty() && set.SetName == m_sets.currentText())
            return &set;
    }
    return nullptr;
}

void frmRestore::showSet(int)
{
    m_model.showSet(shownSet());
    // The set's own folder is read at once and shown open: most files are found a level or two below.
    const QModelIndex top = m_model.index(0, 0);
    if (m_model.canFetchMore(top))
        m_model.fetchMore(top);
    m_files.expand(top);
    showVersions();
}

std::optional<RestorePlace> frmRestore::selectedPlace() const
{
    const QModelIndexList selected = m_files.selectionModel()->selectedIndexes();
    return selected.isEmpty() ? std::nullopt : m_model.placeOf(selected.first());
}

void frmRestore::showVersions()
{
    m_versions.clear();
    const BackupSet* set = shownSet();
    const std::optional<RestorePlace> place = selectedPlace();
    if (set && place) {
        try {
            if (IsBackedUpFolder(*place))
                showFolderVersions(*set, *place);
            else
                showFileVersions(*set, *place);
        } catch (const Failure& failure) {
            m_report.appendPlainText(DecodedPath(failure.path()) + u" : "_s + failure.description());
        }
    }
    // The newest version is the one most often wanted back.
    if (m_versions.topLevelItemCount() > 0)
        m_versions.setCurrentItem(m_versions.topLevelItem(0));
    updateCommands();
}

void frmRestore::showFileVersions(const BackupSet& set, const RestorePlace& place)
{
    for (const FileVersion& version : VersionsOf(set, place))
        addVersion(version.number, version.state.modified, SizeText(version.state.size),
                   DecodedPath(version.path()));
}

// A folder's versions are points in time: each file at its newest version not newer than that.
void frmRestore::showFolderVersions(const BackupSet& set, const RestorePlace& place)
{
    const QString where = DecodedPath(place.sides.backup + place.relative);
    for (const FolderVersion& point : FolderVersions(VersionsBelow(set, place)))
        addVersion(point.number, point.time, u"%1 in %2 files"_s.arg(SizeText(point.size)).arg(point.files),
                   where);
}

// The full place in a tip too: a narrow window cuts it.
void frmRestore::addVersion(int number, FileTime time, const QString& size, const QString& where)
{
    auto* item = new QTreeWidgetItem(&m_versions, {QString::number(number), ContentTime(time), size, where});
    item->setData(NumberColumn, Qt::UserRole, number);
    item->setToolTip(WhereColumn, PlainToolTip(where));
}

void frmRestore::updateCommands()
{
    const bool chosen = !m_restoring && m_versions.currentItem() && m_versions.currentItem()->isSelected();
    m_restore.setEnabled(chosen);
    m_restoreTo.setEnabled(chosen);
    m_stop.setEnabled(m_restoring);
    m_sets.setEnabled(!m_restoring);
}

void frmRestore::setRestoring(bool restoring)
{
    m_restoring = restoring;
    updateCommands();
}

void frmRestore::chooseFolderAndRestore()
{
    m_parts.browseFolder(this, u"Restore To"_s, QDir::homePath(), [this](const QString& folder) {
        startRestore(WithTrailingSeparator(ToFilePath(folder)));
    });
}

void frmRestore::startRestore(const std::optional<std::string>& toDirectory)
{
    const BackupSet* set = shownSet();
    const std::optional<RestorePlace> place = selectedPlace();
    const QTreeWidgetItem* version = m_versions.currentItem();
    if (m_restoring || !set || !place || !version)
        return;
    m_report.clear();
    m_progress.setValue(0);
    m_summary.setText(u"Restoring into %1 ..."_s.arg(DecodedPath(toDirectory.value_or(place->sides.live))));
    setRestoring(true);
    m_worker.start({*set, *place, version->data(NumberColumn, Qt::UserRole).toInt(), toDirectory});
}

void frmRestore::restoreEnded(const RestoreSummary& summary)
{
    setRestoring(false);
    m_current.clear();
    m_summary.setText(SummaryText(summary));
}

void frmRestore::reject()
{
    m_worker.stopAndWait();
    QDialog::reject();
}

} // namespace kelvo
