#include "engine/Restore.h"

#include "engine/Comparison.h"
#include "engine/FileCopy.h"
#include "engine/KeptCopyNames.h"
#include "engine/RunStopped.h"
#include "platform/CarriedAttributes.h"
#include "platform/Failure.h"
#include "platform/FilePath.h"
#include "platform/OtherAccounts.h"

#include <algorithm>
#include <map>

namespace kelvo {

namespace {

const FileVersion* Numbered(const std::vector<FileVersion>& versions, int number)
{
    const auto found = std::find_if(versions.begin(), versions.end(),
                                    [&](const FileVersion& v) { return number == 0 || v.number == number; });
    return found == versions.end() ? nullptr : &*found;
}

std::optional<std::vector<RestoreItem>> PlanFolder(const BackupSet& set, const RestorePlace& place,
                                                   int version)
{
    const std::vector<VersionedFile> files = VersionsBelow(set, place);
    const std::vector<FolderVersion> points = FolderVersions(files);
    if (points.empty())
        return std::vector<RestoreItem>{};
    const int number = version == 0 ? 1 : version;
    if (number < 1 || number > static_cast<int>(points.size()))
        return std::nullopt;
    std::vector<RestoreItem> items;
    for (const VersionedFile& file : files) {
        if (const FileVersion* chosen = VersionAt(file, points[number - 1].time))
            items.push_back({file.relative, *chosen});
    }
    return items;
}

// The restore's target folders and the versions' folders, each opened once, following no link.
class RestoreTrees
{
public:
    RestoreTrees(const RestoreSides& sides, const std::optional<std::string>& toDirectory)
        : m_target(openTarget(sides, toDirectory)), m_toOtherDirectory(toDirectory.has_value())
    {}

    bool toOtherDirectory() const { return m_toOtherDirectory; }

    // The folder that receives relative, made private where missing, as in a run; a link or a file
    // in the way of a folder is never entered (75).
    const DirectoryHandle& targetFolder(const std::string& folder)
    {
        if (folder.empty())
            return m_target;
        if (const auto found = m_targets.find(folder); found != m_targets.end())
            return found->second;
        const std::string name = GetFileName(folder); // "b" of "a/b/"
        const DirectoryHandle& parent = targetFolder(folder.substr(0, folder.size() - name.size() - 1));
        bool created = false;
        std::optional<DirectoryHandle> made = OpenOrCreateDirectory(FileLocation(parent, name), created);
        if (!made)
            throw Failure(ErrPathFileAccess, parent.path() + name);
        if (created)
            m_created.push_back(folder);
        return m_targets.emplace(folder, std::move(*made)).first->second;
    }

    const DirectoryHandle& versionFolder(const FileVersion& version)
    {
        const std::string key = version.root + GetFolderPart(version.relative);
        if (const auto found = m_versions.find(key); found != m_versions.end())
            return found->second;
        if (!m_roots.count(version.root)) {
            std::optional<DirectoryHandle> root = OpenTreeRoot(version.root);
            if (!root)
                throw Failure(ErrPathNotFound, version.root);
            m_roots.emplace(version.root, std::move(*root));
        }
        return m_versions
            .emplace(key,
                     DirectoryHandle::OpenBelow(m_roots.at(version.root), GetFolderPart(version.relative)))
            .first->second;
    }

    // Folders the restore made get the modes of their backups, deepest first, once their files are in.
    void carryFolderModes(const RestoreSides& sides)
    {
        const std::optional<DirectoryHandle> backup = OpenTreeRoot(sides.backup);
        for (auto it = m_created.rbegin(); backup && it != m_created.rend(); ++it) {
            try {
                CarryDirectoryMode(DirectoryHandle::OpenBelow(*backup, *it), m_targets.at(*it),
                                   OwnerAccess::AsSource);
            } catch (const Failure&) {
                // A folder whose backup is not there (a two-way side's own) keeps its private mode.
            }
        }
    }

private:
    static DirectoryHandle openTarget(const RestoreSides& sides,
                                      const std::optional<std::string>& toDirectory)
    {
        const std::string root = toDirectory.value_or(sides.live);
        if (LeadsThroughAnotherAccountsLink(root))
            throw Failure(ErrPathFileAccess,
                          root + ": it is reached through a link that another account owns");
        if (toDirectory)
            return OpenOrCreateDirectoryPath(root);
        return DirectoryHandle(root);
    }

    DirectoryHandle m_target;
    bool m_toOtherDirectory;
    std::map<std::string, DirectoryHandle> m_targets;
    std::map<std::string, DirectoryHandle> m_roots;
    std::map<std::string, DirectoryHandle> m_versions;
    std::vector<std::string> m_created;
};

// The current file goes aside before the restore replaces it, under a name that no other file has: Move
// never replaces one. It becomes the set's kept copy where the set keeps them, but a one-way set's own
// tree holds no kept copies: one there would be backed up as a file of its own, and a folder of kept
// copies there would be refused as the backup's. There, and in sets that keep none, it is
// "NAME.before-restore-<stamp>".
std::string KeepCurrent(const Clock& clock, const BackupSet& set, bool inOneWayLiveTree, File& current)
{
    if (KeepsCopies(set) && !inOneWayLiveTree) {
        KeepExistingCopy(clock, set, current);
        return current.Path();
    }
    const std::string stamped = current.Name() + ".before-restore-" + DateStamp(clock.now());
    for (int n = 1;; ++n) {
        const FileLocation aside =
            current.Location().sibling(n == 1 ? stamped : stamped + "." + std::to_string(n));
        if (!File::TryGetFile(aside)) {
            current.Move(aside);
            return current.Path();
        }
    }
}

// A restore that did not happen leaves the current file where it was. It was kept beside its place or
// in the folder of kept copies there, which is opened again: the one the keeping opened is closed.
void PutBack(const DirectoryHandle& folder, const std::string& keptPath, const FileLocation& target)
{
    const std::string below = keptPath.substr(folder.path().size());
    const std::string keptIn = GetFolderPart(below);
    const std::optional<DirectoryHandle> keptFolder =
        keptIn.empty() ? std::nullopt : std::optional(DirectoryHandle::OpenBelow(folder, keptIn));
    File::GetFile(FileLocation(keptFolder ? *keptFolder : folder, GetFileName(below))).Move(target);
}

enum class Restored { Copied, Unchanged, KeptAndCopied };

Restored RestoreOne(RunObserver& observer, const Clock& clock, const BackupSet& set, RestoreTrees& trees,
                    CopyRefusals& refusals, const RestoreItem& item,
                    const std::function<void(const std::string&)>& report)
{
    const FileLocation version(trees.versionFolder(item.version), GetFileName(item.version.relative));
    const FileLocation target(trees.targetFolder(GetFolderPart(item.relative)), GetFileName(item.relative));
    std::optional<File> current = File::TryGetFile(target);
    if (!current) {
        CopyFileOver(observer, refusals, version, target);
        return Restored::Copied;
    }
    if (current->IsDirectory())
        throw Failure(ErrPathFileAccess, target.path + ": a folder has its name; it is left as it is");
    const File source = File::GetFile(version);
    if (current->SameTypeAs(source) && current->State() == source.State())
        return Restored::Unchanged;
    const bool inOneWayLiveTree = !trees.toOtherDirectory() && SyncModeOf(set) != SyncMode::TwoWay;
    const std::string keptAs = KeepCurrent(clock, set, inOneWayLiveTree, *current);
    try {
        CopyFileOver(observer, refusals, version, target);
    } catch (...) {
        PutBack(trees.targetFolder(GetFolderPart(item.relative)), keptAs, target);
        throw;
    }
    report("Kept : " + target.path + " as " + keptAs);
    return Restored::KeptAndCopied;
}

} // namespace

std::optional<std::vector<RestoreItem>> PlanRestore(const BackupSet& set, const RestorePlace& place,
                                                    int version)
{
    if (IsBackedUpFolder(place))
        return PlanFolder(set, place, version);
    const std::vector<FileVersion> versions = VersionsOf(set, place);
    if (versions.empty())
        return std::vector<RestoreItem>{};
    const FileVersion* chosen = Numbered(versions, version);
    if (!chosen)
        return std::nullopt;
    return std::vector<RestoreItem>{{place.relative, *chosen}};
}

RestoreSummary RestoreItems(RunObserver& observer, const Clock& clock, const BackupSet& set,
                            const RestoreSides& sides, const std::vector<RestoreItem>& items,
                            const std::optional<std::string>& toDirectory,
                            const std::function<void(const std::string& line)>& report)
{
    RestoreSummary summary;
    RestoreTrees trees(sides, toDirectory);
    CopyRefusals refusals;
    for (std::size_t i = 0; i < items.size(); ++i) {
        observer.currentFileChanged(QString::fromStdString(GetFileName(items[i].relative)));
        observer.overallProgressChanged(static_cast<int>(i * 100 / items.size()));
        try {
            switch (RestoreOne(observer, clock, set, trees, refusals, items[i], report)) {
            case Restored::KeptAndCopied:
                ++summary.keptAside;
                [[fallthrough]];
            case Restored::Copied:
                ++summary.restored;
                break;
            case Restored::Unchanged:
                ++summary.unchanged;
                break;
            }
        } catch (const RunStopped&) {
            summary.stopped = true;
            break;
        } catch (const Failure& failure) {
            ++summary.errors;
            report("Error : " + failure.path() + " : " + failure.description().toStdString());
        }
    }
    trees.carryFolderModes(sides);
    observer.overallProgressChanged(100);
    return summary;
}

} // namespace kelvo
