#include "config/ConfigurationMerge.h"

#include "config/GeneralSettingKeys.h"
#include "config/RunRecords.h"

#include <QHash>

#include <algorithm>
#include <optional>
#include <variant>

namespace kelvo {

namespace {

template <typename Record, typename... Fields>
void TakeChangedFields(Record& merged, const Record& ours, const Record& base, Fields... fields)
{
    ((ours.*fields != base.*fields ? void(merged.*fields = ours.*fields) : void()), ...);
}

// The drive belongs to the root it was found for. A root that this process changed starts afresh: the
// next run finds its drive. A root that another process changed keeps the drive stored with it, and
// a drive this process learnt for the old root is not laid over it.
void MergeDrive(BackupSet& merged, const BackupSet& ours, const BackupSet& base, QString BackupSet::*root,
                QString BackupSet::*drive)
{
    if (ours.*root != base.*root)
        merged.*drive = QString();
    else if (merged.*root == ours.*root && ours.*drive != base.*drive)
        merged.*drive = ours.*drive;
}

BackupSet MergedSet(const BackupSet& stored, const BackupSet& ours, const BackupSet& base)
{
    using S = BackupSet;
    BackupSet merged = stored;
    TakeChangedFields(merged, ours, base, &S::SetName, &S::SourceDirFile, &S::DestDir, &S::CopyOptions,
                      &S::SyncOptions, &S::ArchiveOptions, &S::ArchiveSubDir, &S::Filters, &S::flEnabled,
                      &S::flOverwrite, &S::flSubDirectories, &S::flArchive, &S::flArchiveSubDir,
                      &S::flRemovedDeletedFiles, &S::KeepMaxCopies, &S::KeepDays, &S::LastDate,
                      &S::LastResult, &S::LastCompleted, &S::FirstAttempt);
    MergeDrive(merged, ours, base, &S::SourceDirFile, &S::SourceDrive);
    MergeDrive(merged, ours, base, &S::DestDir, &S::DestDrive);
    return merged;
}

// A run only stamps its dates, its result and the drives; that alone does not bring back a set that another
// process removed.
bool EditedBeyondRunRecords(BackupSet ours, const BackupSet& base)
{
    RunRecordFields(ours) = RunRecordFields(base);
    return ours != base;
}

// Sets are one set whatever the letter case of their names, as the store sees them.
using SetIndex = QHash<QString, std::size_t>;

SetIndex IndexByName(const BackupSets& sets)
{
    SetIndex index;
    for (std::size_t i = 0; i < sets.size(); ++i)
        index.insert(sets[i].SetName.toCaseFolded(), i);
    return index;
}

const BackupSet* Find(const BackupSets& sets, const SetIndex& index, const QString& name)
{
    const auto it = index.constFind(name.toCaseFolded());
    return it == index.constEnd() ? nullptr : &sets[*it];
}

// True when ours holds the sets it shares with base in another order: this process moved sets.
bool Reordered(const BackupSets& ours, const SetIndex& baseIndex)
{
    std::size_t previous = 0;
    bool first = true;
    for (const BackupSet& set : ours) {
        const auto it = baseIndex.constFind(set.SetName.toCaseFolded());
        if (it == baseIndex.constEnd())
            continue;
        if (!first && *it < previous)
            return true;
        previous = *it;
        first = false;
    }
    return false;
}

class SetMerge final
{
public:
    SetMerge(const BackupSets& stored, const BackupSets& ours, const BackupSets& base)
        : m_stored(stored), m_ours(ours), m_base(base), m_storedIndex(IndexByName(stored)),
          m_oursIndex(IndexByName(ours)), m_baseIndex(IndexByName(base))
    {}

    BackupSets merged() const
    {
        BackupSets result;
        // Room for every set at once: a doubling vector of many sets would briefly hold them twice.
        result.reserve(m_stored.size() + m_ours.size());
        if (Reordered(m_ours, m_baseIndex)) {
            appendOurs(result, [](const BackupSet*) { return true; });
            appendStoredOnly(result, [this](const BackupSet& set) { return !ours(set) && !inBase(set); });
        } else {
            appendStoredOnly(result, [this](const BackupSet& set) { return ours(set) || !inBase(set); });
            insertNewOfOurs(result);
        }
        return result;
    }

private:
    const BackupSet* ours(const BackupSet& set) const { return Find(m_ours, m_oursIndex, set.SetName); }
    bool inBase(const BackupSet& set) const { return Find(m_base, m_baseIndex, set.SetName); }

    // This process's version of one of its sets, or none when another process removed a set that
    // this one did not edit.
    std::optional<BackupSet> mergedOurs(const BackupSet& set) const
    {
        const BackupSet* base = Find(m_base, m_baseIndex, set.SetName);
        const BackupSet* stored = Find(m_stored, m_storedIndex, set.SetName);
        if (!base)
            return set;
        if (stored)
            return MergedSet(*stored, set, *base);
        if (EditedBeyondRunRecords(set, *base))
            return set;
        return std::nullopt;
    }

    // Stored sets in stored order: ours in their merged version, the others as stored.
    template <typename Keep> void appendStoredOnly(BackupSets& result, Keep keep) const
    {
        for (const BackupSet& set : m_stored) {
            if (!keep(set))
                continue;
            if (!ours(set))
                result.push_back(set);
            else if (const std::optional<BackupSet> merged = mergedOurs(*ours(set)))
                result.push_back(*merged);
        }
    }

    // A set this process added (or renamed) goes right before the set that follows it in this
    // process's list, where the person put it; at the end when it follows all of them.
    void insertNewOfOurs(BackupSets& result) const
    {
        for (std::size_t i = 0; i < m_ours.size(); ++i) {
            const BackupSet& set = m_ours[i];
            if (Find(m_stored, m_storedIndex, set.SetName))
                continue;
            const std::optional<BackupSet> merged = mergedOurs(set);
            if (!merged)
                continue;
            auto position = result.end();
            for (std::size_t j = i + 1; j < m_ours.size() && position == result.end(); ++j) {
                if (!Find(m_stored, m_storedIndex, m_ours[j].SetName))
                    continue;
                position = std::find_if(result.begin(), result.end(), [&](const BackupSet& placed) {
                    return placed.SetName.compare(m_ours[j].SetName, Qt::CaseInsensitive) == 0;
                });
            }
            result.insert(position, *merged);
        }
    }

    template <typename Select> void appendOurs(BackupSets& result, Select select) const
    {
        for (const BackupSet& set : m_ours) {
            if (!select(Find(m_stored, m_storedIndex, set.SetName)))
                continue;
            if (const std::optional<BackupSet> merged = mergedOurs(set))
                result.push_back(*merged);
        }
    }

    const BackupSets& m_stored;
    const BackupSets& m_ours;
    const BackupSets& m_base;
    SetIndex m_storedIndex;
    SetIndex m_oursIndex;
    SetIndex m_baseIndex;
};

} // namespace

GeneralSettings MergedSettings(const GeneralSettings& stored, const GeneralSettings& ours,
                               const GeneralSettings& base)
{
    GeneralSettings merged = stored;
    for (const GeneralSettingKey& key : GeneralSettingKeys())
        std::visit([&](auto field) { TakeChangedFields(merged, ours, base, field); }, key.field);
    return merged;
}

BackupSets MergedSets(const BackupSets& stored, const BackupSets& ours, const BackupSets& base)
{
    return SetMerge(stored, ours, base).merged();
}

} // namespace kelvo
