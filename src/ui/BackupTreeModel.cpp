#include "ui/BackupTreeModel.h"

#include "platform/Failure.h"

#include <QAbstractFileIconProvider>
#include <QFile>

#include <vector>

namespace kelvo {

using namespace Qt::StringLiterals;

struct BackupTreeModel::Node
{
    QString caption;
    std::string relative; // below the live root, as RestorePlace has it
    bool folder = true;
    bool listed = false;
    Node* parent = nullptr;
    int row = 0;
    std::vector<std::unique_ptr<Node>> children;

    Node* add(QString childCaption, std::string childRelative, bool childFolder)
    {
        auto child = std::make_unique<Node>();
        child->caption = std::move(childCaption);
        child->relative = std::move(childRelative);
        child->folder = childFolder;
        child->listed = !childFolder;
        child->parent = this;
        child->row = int(children.size());
        children.push_back(std::move(child));
        return children.back().get();
    }
};

namespace {

QString DecodedName(const std::string& name)
{
    return QFile::decodeName(QByteArray::fromStdString(name));
}

std::string ChildPath(const std::string& folder, const std::string& name)
{
    return folder.empty() ? name : folder + "/" + name;
}

} // namespace

BackupTreeModel::BackupTreeModel(QObject* parent)
    : QAbstractItemModel(parent), m_root(std::make_unique<Node>())
{
    m_root->listed = true;
}

BackupTreeModel::~BackupTreeModel() = default;

void BackupTreeModel::showSet(const BackupSet* set)
{
    beginResetModel();
    m_set = set ? *set : BackupSet{};
    m_root->children.clear();
    const std::optional<RestorePlace> top = set ? ResolveRestorePlace(*set, {}) : std::nullopt;
    m_sides = top ? std::optional(top->sides) : std::nullopt;
    if (m_sides)
        m_root->add(DecodedName(m_sides->live.substr(0, m_sides->live.size() - 1)), {}, true);
    endResetModel();
}

std::optional<RestorePlace> BackupTreeModel::placeOf(const QModelIndex& index) const
{
    if (!index.isValid() || !m_sides)
        return std::nullopt;
    return RestorePlace{*m_sides, nodeOf(index)->relative};
}

bool BackupTreeModel::isFolder(const QModelIndex& index) const
{
    return index.isValid() && nodeOf(index)->folder;
}

BackupTreeModel::Node* BackupTreeModel::nodeOf(const QModelIndex& index) const
{
    return index.isValid() ? static_cast<Node*>(index.internalPointer()) : m_root.get();
}

QModelIndex BackupTreeModel::indexOf(const Node* node) const
{
    return node == m_root.get() ? QModelIndex() : createIndex(node->row, 0, node);
}

QModelIndex BackupTreeModel::index(int row, int column, const QModelIndex& parent) const
{
    const Node* node = nodeOf(parent);
    if (column != 0 || row < 0 || row >= int(node->children.size()))
        return {};
    return indexOf(node->children[std::size_t(row)].get());
}

QModelIndex BackupTreeModel::parent(const QModelIndex& child) const
{
    return child.isValid() ? indexOf(nodeOf(child)->parent) : QModelIndex();
}

int BackupTreeModel::rowCount(const QModelIndex& parent) const
{
    return int(nodeOf(parent)->children.size());
}

int BackupTreeModel::columnCount(const QModelIndex&) const
{
    return 1;
}

QVariant BackupTreeModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid())
        return {};
    const Node* node = nodeOf(index);
    if (role == Qt::DisplayRole)
        return node->caption;
    if (role == Qt::DecorationRole) {
        static const QAbstractFileIconProvider icons;
        return icons.icon(node->folder ? QAbstractFileIconProvider::Folder : QAbstractFileIconProvider::File);
    }
    return {};
}

// Until a folder is read, it may hold something: the view shows it as one that opens.
bool BackupTreeModel::hasChildren(const QModelIndex& parent) const
{
    const Node* node = nodeOf(parent);
    return node->folder && (!node->listed || !node->children.empty());
}

bool BackupTreeModel::canFetchMore(const QModelIndex& parent) const
{
    return m_sides && !nodeOf(parent)->listed;
}

void BackupTreeModel::fetchMore(const QModelIndex& parent)
{
    Node* node = nodeOf(parent);
    node->listed = true;
    BackupFolderEntries entries;
    try {
        entries = ListBackupFolder(m_set, RestorePlace{*m_sides, node->relative});
    } catch (const Failure& failure) {
        emit listingFailed(u"%1 : %2"_s.arg(DecodedName(failure.path()), failure.description()));
    }
    const std::size_t count = entries.folders.size() + entries.files.size();
    if (count == 0) {
        // The view asked whether it opens; now it knows that it does not.
        emit dataChanged(parent, parent);
        return;
    }
    beginInsertRows(parent, 0, int(count) - 1);
    for (const std::string& name : entries.folders)
        node->add(DecodedName(name), ChildPath(node->relative, name), true);
    for (const std::string& name : entries.files)
        node->add(DecodedName(name), ChildPath(node->relative, name), false);
    endInsertRows();
}

} // namespace kelvo
