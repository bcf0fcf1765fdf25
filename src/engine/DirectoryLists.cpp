#include "engine/DirectoryLists.h"

#include "platform/DirectoryHandle.h"
#include "platform/DirectoryListing.h"
#include "platform/Failure.h"
#include "platform/FilePath.h"

#include <algorithm>

namespace kelvo {

namespace {

// The swap file of another system's drive; never worth backing up. The comparison is exact on purpose.
constexpr const char* SkippedDirectoryName = "pagefile.sys";

std::vector<QString> PassRoots(const BackupSet& set)
{
    if (SyncModeOf(set) == SyncMode::TwoWay)
        return {set.SourceDirFile, set.DestDir};
    if (SyncModeOf(set) == SyncMode::Reverse)
        return {set.DestDir};
    return {set.SourceDirFile};
}

// A directory that cannot be listed simply contributes no children: the run reports what it cannot
// reach. Below the root no link is followed, so a link that replaced a directory lists nothing.
std::vector<std::string> SubdirectoriesOrNone(const std::optional<DirectoryHandle>& root,
                                              const std::string& relative)
{
    if (!root)
        return {};
    try {
        return ListSubdirectories(DirectoryHandle::OpenBelow(*root, relative));
    } catch (const Failure&) {
        return {};
    }
}

std::optional<DirectoryHandle> OpenRoot(const std::string& root)
{
    try {
        return DirectoryHandle(root);
    } catch (const Failure&) {
        return std::nullopt;
    }
}

// Breadth-first, so that every parent comes before its children and the run can create missing
// directories one level at a time.
void AppendTree(const std::string& root, bool subDirectories, DirectoryList& list,
                const std::function<void()>& betweenDirectories)
{
    const std::size_t first = list.size();
    list.push_back(root);
    if (!subDirectories)
        return;
    const std::optional<DirectoryHandle> rootHandle = OpenRoot(root);
    for (std::size_t i = first; i < list.size(); ++i) {
        const std::string directory = list[i];
        for (const std::string& name : SubdirectoriesOrNone(rootHandle, directory.substr(root.size()))) {
            if (name != SkippedDirectoryName)
                list.push_back(directory + name + '/');
        }
        if (betweenDirectories)
            betweenDirectories();
    }
}

DirectoryList BuildList(const BackupSet& set, const std::function<void()>& betweenDirectories)
{
    DirectoryList list;
    if (set.flEnabled) {
        for (const QString& root : PassRoots(set)) {
            if (!root.isEmpty())
                AppendTree(WithTrailingSeparator(ToFilePath(root)), set.flSubDirectories, list,
                           betweenDirectories);
        }
    }
    list.emplace_back(EndMarker);
    return list;
}

} // namespace

void BuildDirectoryLists(const Configuration& configuration, QString& startedByWindows, RunState& state,
                         const std::function<void()>& betweenDirectories)
{
    state.DirectoryLists.assign(1, std::nullopt);
    state.TotalDirectories = 0;
    const bool delayFirstRun = startedByWindows == QLatin1String("WIN") && configuration.settings.flDelay;
    if (!delayFirstRun) {
        // A copy: the events that run between directories may commit and reload the configuration.
        const BackupSets sets = configuration.sets;
        state.DirectoryLists.resize(std::max<std::size_t>(1, sets.size()));
        for (std::size_t i = 0; i < sets.size(); ++i) {
            DirectoryList list = BuildList(sets[i], betweenDirectories);
            state.TotalDirectories += qint64(list.size()) - 1;
            state.DirectoryLists[i] = std::move(list);
        }
    }
    startedByWindows.clear();
}

void RebuildDirectoryList(const Configuration& configuration, qint16 setIndex, RunState& state,
                          const std::function<void()>& betweenDirectories)
{
    const auto index = std::size_t(setIndex);
    const auto hasList = [&] {
        return setIndex >= 0 && index < state.DirectoryLists.size() && state.DirectoryLists[index];
    };
    if (!hasList() || index >= configuration.sets.size())
        return;
    // A copy: the events that run between directories may commit and reload the configuration.
    const BackupSet set = configuration.sets[index];
    DirectoryList list = BuildList(set, betweenDirectories);
    if (!hasList())
        return; // the lists were rebuilt meanwhile, without this set
    state.TotalDirectories += qint64(list.size()) - qint64(state.DirectoryLists[index]->size());
    state.DirectoryLists[index] = std::move(list);
}

} // namespace kelvo
