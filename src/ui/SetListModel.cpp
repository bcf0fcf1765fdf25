#include "ui/SetListModel.h"

#include "config/RunRecords.h"
#include "ui/PlainText.h"

#include <utility>

namespace kelvo {

using namespace Qt::StringLiterals;

namespace {

enum Column { Enabled, Name, Source, Destination, Criterion, Method, LastRun, ColumnCount };

} // namespace

QString CopyCriterionText(const BackupSet& set)
{
    switch (CopyCriterionOf(set)) {
    case CopyCriterion::Date:
        return u"File Date And Time"_s;
    case CopyCriterion::ArchiveFlag:
        return u"Archive Bit"_s;
    case CopyCriterion::Size:
        return u"File Size"_s;
    case CopyCriterion::Unknown:
        break;
    }
    return {};
}

QString SyncMethodText(const BackupSet& set)
{
    const std::optional<SyncMode> mode = KnownSyncModeOf(set);
    if (!mode)
        return {};
    switch (*mode) {
    case SyncMode::OneWay:
        return u"1 way : source --> destination"_s;
    case SyncMode::TwoWay:
        return u"2 way : source <--> destination"_s;
    case SyncMode::Reverse:
        return u"1 way : destination --> source"_s;
    }
    return {};
}

QString LastRunText(const BackupSet& set)
{
    if (RunOutcomeOf(set) == RunOutcome::Unknown)
        return set.LastDate;
    return set.LastDate + u' ' + set.LastResult;
}

SetListModel::SetListModel(BackupSets& sets, QObject* parent)
    : QAbstractTableModel(parent), m_sets(sets), m_rows(rowCount())
{}

int SetListModel::rowCount(const QModelIndex& parent) const
{
    if (parent.isValid())
        return 0;
    const bool empty = m_sets.empty() || (m_sets.size() == 1 && m_sets[0].SetName.isEmpty());
    return empty ? 0 : int(m_sets.size());
}

int SetListModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant SetListModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    const BackupSet& set = m_sets[std::size_t(index.row())];
    if (index.column() == Enabled) {
        if (role == Qt::CheckStateRole)
            return set.flEnabled ? Qt::Checked : Qt::Unchecked;
        return {};
    }
    if (role == Qt::ToolTipRole)
        return PlainToolTip(data(index, Qt::DisplayRole).toString());
    if (role != Qt::DisplayRole)
        return {};
    switch (index.column()) {
    case Name:
        return set.SetName;
    case Source:
        return set.SourceDirFile;
    case Destination:
        return set.DestDir;
    case Criterion:
        return CopyCriterionText(set);
    case Method:
        return SyncMethodText(set);
    case LastRun:
        return LastRunText(set);
    }
    return {};
}

QVariant SetListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    static const QStringList headers{u"Enabled"_s,          u"Set Name"_s,      u"Source Directory"_s,
                                     u"Destination Dir."_s, u"Copy Criteria"_s, u"Syncronisation Method"_s,
                                     u"Last Run"_s};
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < headers.size())
        return headers[section];
    return {};
}

void SetListModel::reset()
{
    beginResetModel();
    m_rows = rowCount();
    endResetModel();
}

void SetListModel::rowWritten(int row)
{
    if (rowCount() != m_rows) {
        reset(); // the set was added
        return;
    }
    emit dataChanged(index(row, 0), index(row, ColumnCount - 1));
}

void SetListModel::toggleEnabled(int row)
{
    if (row < 0 || row >= rowCount())
        return;
    m_sets[std::size_t(row)].flEnabled = !m_sets[std::size_t(row)].flEnabled;
    emit dataChanged(index(row, Enabled), index(row, Enabled));
}

bool SetListModel::moveDown(int row)
{
    if (row < 0 || row + 1 >= rowCount())
        return false;
    beginMoveRows({}, row, row, {}, row + 2);
    std::swap(m_sets[std::size_t(row)], m_sets[std::size_t(row) + 1]);
    endMoveRows();
    return true;
}

bool SetListModel::moveUp(int row)
{
    if (row < 1 || row >= rowCount())
        return false;
    return moveDown(row - 1);
}

} // namespace kelvo
