#include "engine/Versions.h"

#include "engine/KeptCopyNames.h"
#include "platform/DirectoryListing.h"
#include "platform/Failure.h"
#include "platform/FilePath.h"
#include "platform/OtherAccounts.h"

#include <QDir>

#include <algorithm>
#include <map>
#include <set>

namespace kelvo {

std::optional<DirectoryHandle> OpenTreeRoot(const std::string& root)
{
    if (LeadsThroughAnotherAccountsLink(root))
        throw Failure(ErrPathFileAccess, root + ": it is reached through a link that another account owns");
    try {
        return DirectoryHandle(root);
    } catch (const Failure& failure) {
        if (failure.number() == ErrPathNotFound)
            return std::nullopt;
        throw;
    }
}

namespace {

// The folder at relative below parent, following no link; nullopt when it is missing or something else
// (a link, a file) has its name: no versions lie there.
std::optional<DirectoryHandle> OpenFolder(const DirectoryHandle& parent, const std::string& relative)
{
    try {
        return DirectoryHandle::OpenBelow(parent, relative);
    } catch (const Failure& failure) {
        if (failure.number() == ErrPathNotFound || failure.number() == ErrPathFileAccess)
            return std::nullopt;
        throw;
    }
}

std::optional<DirectoryHandle> OpenFolder(const std::optional<DirectoryHandle>& parent,
                                          const std::string& relative)
{
    return parent ? OpenFolder(*parent, relative) : std::nullopt;
}

std::set<std::string> FileNamesIn(const std::optional<DirectoryHandle>& folder)
{
    if (!folder)
        return {};
    const std::vector<std::string> names = ListDirectory(*folder, MaskFiles);
    return {names.begin(), names.end()};
}

// A set's two roots, opened once for all the folders a listing reads.
struct OpenTrees
{
    explicit OpenTrees(const RestoreSides& sides)
        : live(OpenTreeRoot(sides.live)), backup(OpenTreeRoot(sides.backup))
    {}

    std::optional<DirectoryHandle> live;
    std::optional<DirectoryHandle> backup;
};

// A file's versions as they are found, each under the name of the file it is a version of.
using Found = std::map<std::string, std::vector<FileVersion>>;

// The two trees read at one folder. What each holds there tells a kept copy from a file of its own
// whose name has a kept copy's shape ("data.1", backed up as "data.1").
class FolderReader
{
public:
    FolderReader(const BackupSet& set, const RestoreSides& sides, const OpenTrees& trees,
                 const std::string& folder)
        : m_set(set), m_sides(sides), m_folder(folder), m_live(OpenFolder(trees.live, folder)),
          m_backup(OpenFolder(trees.backup, folder)), m_liveNames(FileNamesIn(m_live)),
          m_backupNames(FileNamesIn(m_backup))
    {}

    // The versions in this folder, of the file called only when given.
    Found read(const std::optional<std::string>& only) const
    {
        Found found;
        readSide(found, m_backup, m_backupNames, m_liveNames, m_sides.backup, true, only);
        // A two-way set keeps copies on both sides: the user's side holds older versions too.
        if (m_sides.twoWay)
            readSide(found, m_live, m_liveNames, m_backupNames, m_sides.live, false, only);
        return found;
    }

    // The sub folders of this folder on the sides that hold versions, the folders of kept copies aside.
    std::set<std::string> subfolders() const
    {
        std::set<std::string> names;
        for (const std::optional<DirectoryHandle>* side : {&m_backup, &m_live}) {
            if (!*side || (side == &m_live && !m_sides.twoWay))
                continue;
            for (const std::string& name : ListSubdirectories(**side)) {
                if (!isKeptCopyFolder(name))
                    names.insert(name);
            }
        }
        return names;
    }

private:
    // The set's folder of kept copies, unless the user's side has a folder of that name, whose backup it
    // then is. A two-way set never carries its folders of kept copies across.
    bool isKeptCopyFolder(const std::string& name) const
    {
        return !m_set.ArchiveSubDir.isEmpty() && name == ToFilePath(m_set.ArchiveSubDir) &&
               (m_sides.twoWay || !OpenFolder(m_live, name));
    }

    void readSide(Found& found, const std::optional<DirectoryHandle>& folder,
                  const std::set<std::string>& names, const std::set<std::string>& otherSideNames,
                  const std::string& root, bool holdsBackups, const std::optional<std::string>& only) const
    {
        if (!folder)
            return;
        for (const std::string& name : names) {
            const std::optional<std::string_view> base = KeptCopyBase(name);
            if (base && !otherSideNames.count(name))
                add(found, std::string(*base), *folder, name, root, m_folder + name, only);
            else if (holdsBackups)
                add(found, name, *folder, name, root, m_folder + name, only);
        }
        if (!m_set.ArchiveSubDir.isEmpty() && isKeptCopyFolder(ToFilePath(m_set.ArchiveSubDir)))
            readKeptCopyFolder(found, *folder, root, only);
    }

    // Every file in the folder of kept copies is one: "report.doc" under its own name, or numbered or
    // stamped. A numbered name of a file whose own name is numbered is read by the set's naming.
    void readKeptCopyFolder(Found& found, const DirectoryHandle& folder, const std::string& root,
                            const std::optional<std::string>& only) const
    {
        const std::string folderName = ToFilePath(m_set.ArchiveSubDir);
        const std::optional<DirectoryHandle> kept = OpenFolder(folder, folderName);
        if (!kept)
            return;
        for (const std::string& name : ListDirectory(*kept, MaskFiles)) {
            const std::optional<std::string_view> base = KeptCopyBase(name);
            const bool ownName = !base || KeptCopyNamingOf(m_set) == KeptCopyNaming::OwnName;
            add(found, ownName ? name : std::string(*base), *kept, name, root,
                m_folder + folderName + "/" + name, only);
        }
    }

    static void add(Found& found, const std::string& of, const DirectoryHandle& folder,
                    const std::string& name, const std::string& root, const std::string& relative,
                    const std::optional<std::string>& only)
    {
        if (only && *only != of)
            return;
        const std::optional<File> file = File::TryGetFile(FileLocation(folder, name));
        if (file && !file->IsDirectory())
            found[of].push_back({0, root, relative, file->State()});
    }

    const BackupSet& m_set;
    const RestoreSides& m_sides;
    std::string m_folder;
    std::optional<DirectoryHandle> m_live;
    std::optional<DirectoryHandle> m_backup;
    std::set<std::string> m_liveNames;
    std::set<std::string> m_backupNames;
};

// The backup copy is version 1; the kept copies follow, newest content first.
std::vector<FileVersion> Numbered(std::vector<FileVersion> versions, const std::string& backupCopy,
                                  const std::string& backupRoot)
{
    const auto isBackupCopy = [&](const FileVersion& v) {
        return v.root == backupRoot && v.relative == backupCopy;
    };
    std::sort(versions.begin(), versions.end(), [&](const FileVersion& a, const FileVersion& b) {
        if (isBackupCopy(a) != isBackupCopy(b))
            return isBackupCopy(a);
        if (a.state.modified != b.state.modified)
            return a.state.modified > b.state.modified;
        return a.path() > b.path();
    });
    int number = versions.empty() || isBackupCopy(versions.front()) ? 1 : 2;
    for (FileVersion& version : versions)
        version.number = number++;
    return versions;
}

// The folder at place as the readers name folders: "" for the root, else its path ending with "/".
std::string FolderPrefix(const RestorePlace& place)
{
    return place.relative.empty() ? std::string() : place.relative + "/";
}

void CollectBelow(const BackupSet& set, const RestoreSides& sides, const OpenTrees& trees,
                  const std::string& folder, std::vector<VersionedFile>& files)
{
    const FolderReader reader(set, sides, trees, folder);
    for (auto& [name, versions] : reader.read(std::nullopt)) {
        const std::string relative = folder + name;
        files.push_back({relative, Numbered(std::move(versions), relative, sides.backup)});
    }
    for (const std::string& name : reader.subfolders())
        CollectBelow(set, sides, trees, folder + name + "/", files);
}

} // namespace

std::optional<RestorePlace> ResolveRestorePlace(const BackupSet& set, const std::string& path)
{
    const std::string source = WithTrailingSeparator(ToFilePath(set.SourceDirFile));
    const std::string destination = WithTrailingSeparator(ToFilePath(set.DestDir));
    const SyncMode mode = SyncModeOf(set);
    RestoreSides sides{mode == SyncMode::Reverse ? destination : source,
                       mode == SyncMode::Reverse ? source : destination, mode == SyncMode::TwoWay};
    std::string relative = path;
    if (!path.empty() && path.front() == '/') {
        const std::string clean = ToFilePath(QDir::cleanPath(QFile::decodeName(path.c_str()))) + "/";
        if (sides.twoWay && clean.starts_with(sides.backup) && !clean.starts_with(sides.live))
            std::swap(sides.live, sides.backup);
        if (!clean.starts_with(sides.live))
            return std::nullopt;
        relative = clean.substr(sides.live.size());
    }
    const std::string clean = ToFilePath(QDir::cleanPath(QFile::decodeName(relative.c_str())));
    if (clean == "..")
        return std::nullopt;
    if (clean.starts_with("../"))
        return std::nullopt;
    return RestorePlace{sides, clean == "." || clean == "/" ? std::string() : clean};
}

std::vector<FileVersion> VersionsOf(const BackupSet& set, const RestorePlace& place)
{
    const std::string folder = GetFolderPart(place.relative);
    const std::string name = place.relative.substr(folder.size());
    Found found = FolderReader(set, place.sides, OpenTrees(place.sides), folder).read(name);
    return Numbered(std::move(found[name]), place.relative, place.sides.backup);
}

std::vector<VersionedFile> VersionsBelow(const BackupSet& set, const RestorePlace& place)
{
    std::vector<VersionedFile> files;
    CollectBelow(set, place.sides, OpenTrees(place.sides), FolderPrefix(place), files);
    return files;
}

BackupFolderEntries ListBackupFolder(const BackupSet& set, const RestorePlace& place)
{
    const FolderReader reader(set, place.sides, OpenTrees(place.sides), FolderPrefix(place));
    const std::set<std::string> folders = reader.subfolders();
    BackupFolderEntries entries{{folders.begin(), folders.end()}, {}};
    for (const auto& found : reader.read(std::nullopt))
        entries.files.push_back(found.first);
    return entries;
}

const FileVersion* VersionAt(const VersionedFile& file, FileTime time)
{
    const FileVersion* chosen = nullptr;
    for (const FileVersion& version : file.versions) {
        if (version.state.modified <= time && (!chosen || version.state.modified > chosen->state.modified))
            chosen = &version;
    }
    return chosen;
}

std::vector<FolderVersion> FolderVersions(const std::vector<VersionedFile>& files)
{
    // Oldest first, each version replaces its file's earlier one in the folder's totals. Versions of
    // one second make one point in time, the second as a whole, as it is shown.
    struct Step
    {
        qint64 second;
        std::size_t file;
        qint64 size;
    };
    std::vector<Step> steps;
    for (std::size_t i = 0; i < files.size(); ++i) {
        for (const FileVersion& version : files[i].versions)
            steps.push_back({version.state.modified.seconds, i, version.state.size});
    }
    std::sort(steps.begin(), steps.end(), [](const Step& a, const Step& b) { return a.second < b.second; });
    std::vector<std::optional<qint64>> current(files.size());
    std::vector<FolderVersion> points;
    FolderVersion totals;
    for (const Step& step : steps) {
        std::optional<qint64>& size = current[step.file];
        totals.size += step.size - size.value_or(0);
        totals.files += size ? 0 : 1;
        size = step.size;
        totals.time = {step.second, 999'999'999};
        if (!points.empty() && points.back().time == totals.time)
            points.back() = totals;
        else
            points.push_back(totals);
    }
    std::reverse(points.begin(), points.end());
    for (std::size_t i = 0; i < points.size(); ++i)
        points[i].number = static_cast<int>(i) + 1;
    return points;
}

bool IsBackedUpFolder(const RestorePlace& place)
{
    if (place.relative.empty())
        return true;
    return OpenFolder(OpenTreeRoot(place.sides.backup), place.relative).has_value();
}

} // namespace kelvo
