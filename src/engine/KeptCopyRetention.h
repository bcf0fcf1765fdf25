#pragma once

#include "config/BackupSet.h"
#include "engine/Clock.h"
#include "platform/DirectoryHandle.h"
#include "platform/Failure.h"

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace kelvo {

// Whether the set limits its kept copies (KeepMaxCopies, KeepDays). A set without limits has nothing
// looked at for them: no listing, no stat.
bool LimitsKeptCopies(const BackupSet& set);

// A kept copy that the limits took away, or that could not be removed (failure).
struct KeptCopyRemoval
{
    std::string path;
    std::optional<Failure> failure;
};

// The set's limits on kept copies in one directory of the receiving side, for one visit of it. The
// place where the set keeps that directory's copies (the directory itself, or its sub directory of
// kept copies) is listed once, at the first copy kept there, and only its names shaped as kept copies
// are held.
class KeptCopyRetention final
{
public:
    // copyingNames are the files of the copying side's directory, sorted byte-wise: beside the files, a
    // name among them is the backup of that file ("movie.7z.001"), never a kept copy, whatever its shape.
    KeptCopyRetention(const Clock& clock, const BackupSet& set, const DirectoryHandle& target,
                      const std::vector<std::string>& copyingNames)
        : m_clock(clock), m_set(set), m_target(target), m_copyingNames(copyingNames)
    {}
    KeptCopyRetention(const KeptCopyRetention&) = delete;
    KeptCopyRetention& operator=(const KeptCopyRetention&) = delete;

    // Once the file name of the target has just been kept as keptName: removes its other kept copies
    // that the limits no longer allow, oldest first (by when they were kept, their status-change time):
    // those beyond KeepMaxCopies, keptName counted, and those kept more than KeepDays ago by the clock.
    // keptName, conflict copies and folders are never removed. A removal that fails is given back with
    // its failure; the others go on.
    std::vector<KeptCopyRemoval> trim(const std::string& name, const std::string& keptName);

private:
    const DirectoryHandle& place();
    std::vector<std::string>& copiesOf(const std::string& name);
    std::vector<std::string> beyondLimits(const std::vector<std::string>& copies,
                                          const std::string& keptName);

    const Clock& m_clock;
    const BackupSet& m_set;
    const DirectoryHandle& m_target;
    const std::vector<std::string>& m_copyingNames;
    std::optional<DirectoryHandle> m_subFolder;
    // By the name of the file they belong to; empty until the first copy kept in this visit.
    std::optional<std::unordered_map<std::string, std::vector<std::string>>> m_copiesByFile;
};

} // namespace kelvo
