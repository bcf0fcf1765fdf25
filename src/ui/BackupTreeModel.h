#pragma once

#include "config/BackupSet.h"
#include "engine/Versions.h"

#include <QAbstractItemModel>

#include <memory>
#include <optional>

namespace kelvo {

// A set's backup as a tree of the user's files: one top item, the set's own folder, and below it the
// folders and files of which the backup holds a version, each once by its name in the user's tree; kept
// copies and their folders are not items of their own. A folder is read when the view first expands it,
// so a large backup opens at once.
class BackupTreeModel final : public QAbstractItemModel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(BackupTreeModel)

public:
    explicit BackupTreeModel(QObject* parent = nullptr);
    ~BackupTreeModel() override;

    // Shows the backup of set; an empty tree for none.
    void showSet(const BackupSet* set);
    // The file or folder an item stands for.
    std::optional<RestorePlace> placeOf(const QModelIndex& index) const;
    bool isFolder(const QModelIndex& index) const;

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool hasChildren(const QModelIndex& parent = {}) const override;
    bool canFetchMore(const QModelIndex& parent) const override;
    void fetchMore(const QModelIndex& parent) override;

signals:
    // A folder of the backup could not be read; the message names it, for a person.
    void listingFailed(const QString& message);

private:
    struct Node;

    Node* nodeOf(const QModelIndex& index) const;
    QModelIndex indexOf(const Node* node) const;

    BackupSet m_set;
    std::optional<RestoreSides> m_sides;
    std::unique_ptr<Node> m_root; // above the top item, which is the set's own folder
};

} // namespace kelvo
