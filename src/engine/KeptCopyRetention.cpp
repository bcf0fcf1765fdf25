#include "engine/KeptCopyRetention.h"

#include "engine/Comparison.h"
#include "engine/KeptCopyNames.h"
#include "platform/DirectoryListing.h"
#include "platform/FilePath.h"
#include "platform/FileSystem.h"

#include <algorithm>
#include <sys/stat.h>
#include <tuple>

namespace kelvo {

namespace {

constexpr qint64 SecondsPerDay = 86400;

// One kept copy of a file and when it was kept: the rename that kept it set its status-change time,
// which, unlike its modification time, nobody can set back.
struct KeptCopy
{
    std::string name;
    timespec kept;
};

bool KeptEarlier(const KeptCopy& one, const KeptCopy& other)
{
    return std::tie(one.kept.tv_sec, one.kept.tv_nsec, one.name) <
           std::tie(other.kept.tv_sec, other.kept.tv_nsec, other.name);
}

// The copies in place other than keptName, oldest first. One gone meanwhile is no longer there to
// remove; a folder kept when a file took its name is left to its owner.
std::vector<KeptCopy> OtherCopiesByAge(const DirectoryHandle& place, const std::vector<std::string>& copies,
                                       const std::string& keptName)
{
    std::vector<KeptCopy> found;
    for (const std::string& name : copies) {
        struct stat st = {};
        if (name != keptName && ::fstatat(place.fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            !S_ISDIR(st.st_mode))
            found.push_back({name, st.st_ctim});
    }
    std::sort(found.begin(), found.end(), KeptEarlier);
    return found;
}

KeptCopyRemoval Remove(const DirectoryHandle& place, const std::string& name)
{
    const FileLocation location(place, name);
    try {
        DeleteFile(location, true);
        return {location.path, std::nullopt};
    } catch (const Failure& failure) {
        return {location.path, failure};
    }
}

} // namespace

bool LimitsKeptCopies(const BackupSet& set)
{
    return KeepsCopies(set) && (set.KeepMaxCopies > 0 || set.KeepDays > 0);
}

std::vector<KeptCopyRemoval> KeptCopyRetention::trim(const std::string& name, const std::string& keptName)
{
    std::vector<KeptCopyRemoval> removals;
    if (!LimitsKeptCopies(m_set))
        return removals;
    try {
        std::vector<std::string>& copies = copiesOf(name);
        for (const std::string& old : beyondLimits(copies, keptName)) {
            removals.push_back(Remove(place(), old));
            if (!removals.back().failure)
                std::erase(copies, old);
        }
        if (std::find(copies.begin(), copies.end(), keptName) == copies.end())
            copies.push_back(keptName);
    } catch (const Failure& failure) {
        removals.push_back({failure.path(), failure});
    }
    return removals;
}

// The sub directory is opened as the kept copy was moved into it, following no link.
const DirectoryHandle& KeptCopyRetention::place()
{
    if (!m_set.flArchiveSubDir)
        return m_target;
    if (!m_subFolder)
        m_subFolder.emplace(DirectoryHandle::OpenBelow(m_target, ToFilePath(m_set.ArchiveSubDir)));
    return *m_subFolder;
}

// A place that cannot be listed is said once per visit: its copies wait for the next visit.
std::vector<std::string>& KeptCopyRetention::copiesOf(const std::string& name)
{
    if (!m_copiesByFile) {
        m_copiesByFile.emplace();
        const bool beside = !m_set.flArchiveSubDir;
        const std::vector<std::string> names = ListEntries(place(), [&](int, const dirent& entry) {
            return entry.d_type != DT_DIR && HasKeptCopyShape(m_set, entry.d_name);
        });
        for (const std::string& entry : names) {
            if (beside && std::binary_search(m_copyingNames.begin(), m_copyingNames.end(), entry))
                continue;
            if (const std::optional<std::string_view> base = KeptCopyBase(entry))
                (*m_copiesByFile)[std::string(*base)].push_back(entry);
        }
    }
    return (*m_copiesByFile)[name];
}

std::vector<std::string> KeptCopyRetention::beyondLimits(const std::vector<std::string>& copies,
                                                         const std::string& keptName)
{
    if (copies.empty())
        return {};
    const std::vector<KeptCopy> others = OtherCopiesByAge(place(), copies, keptName);
    // keptName takes one of the KeepMaxCopies places.
    const std::size_t room = m_set.KeepMaxCopies > 0 ? std::size_t(m_set.KeepMaxCopies - 1) : others.size();
    const std::size_t surplus = others.size() > room ? others.size() - room : 0;
    const qint64 keptSince = m_clock.currentSecond() - qint64(m_set.KeepDays) * SecondsPerDay;
    std::vector<std::string> old;
    for (std::size_t i = 0; i < others.size(); ++i) {
        if (i < surplus || (m_set.KeepDays > 0 && others[i].kept.tv_sec < keptSince))
            old.push_back(others[i].name);
    }
    return old;
}

} // namespace kelvo
