#pragma once

#include "config/Configuration.h"

#include <QAbstractTableModel>

namespace kelvo {

// The texts the set list shows for the option fields; empty for a value outside the known ones.
QString CopyCriterionText(const BackupSet& set);
QString SyncMethodText(const BackupSet& set);
// The Last Run column: "07/12/2026 14:05:10 completed", "... failed (3 errors)", or the date alone
// when the result is unknown (a store of an older version).
QString LastRunText(const BackupSet& set);

// The set list editor's grid as a view of BackupSets itself: row k is element k, so grid and array
// cannot drift. An empty list (one record without a name) has no row.
class SetListModel final : public QAbstractTableModel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SetListModel)

public:
    explicit SetListModel(BackupSets& sets, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // The array was replaced as a whole (load, Cancel, Remove).
    void reset();
    // The record of row was written, or appended as the last row.
    void rowWritten(int row);
    void toggleEnabled(int row);
    // Swap the set with its neighbour; false at the end of the list.
    bool moveDown(int row);
    bool moveUp(int row);

private:
    BackupSets& m_sets;
    int m_rows; // as the view last learnt it
};

} // namespace kelvo
