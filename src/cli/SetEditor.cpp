#include "cli/SetEditor.h"

#include "cli/SetValidation.h"
#include "cli/UsageError.h"

namespace kelvo::cli {

using namespace Qt::StringLiterals;

namespace {

bool IsEmptyRecord(const BackupSet& set)
{
    return set.SetName.isEmpty() || set.flRemoved;
}

template <typename T> void Assign(T& field, const std::optional<T>& option)
{
    if (option)
        field = *option;
}

template <typename Option> void AssignStoredText(QString& field, const std::optional<Option>& option)
{
    if (option)
        field = StoredText(*option);
}

void ApplyOptions(BackupSet& set, const SetOptions& options)
{
    Assign(set.SourceDirFile, options.SourceDirFile);
    Assign(set.DestDir, options.DestDir);
    Assign(set.Filters, options.Filters);
    AssignStoredText(set.CopyOptions, options.CopyOptions);
    AssignStoredText(set.SyncOptions, options.SyncOptions);
    Assign(set.flEnabled, options.flEnabled);
    Assign(set.flOverwrite, options.flOverwrite);
    Assign(set.flSubDirectories, options.flSubDirectories);
    Assign(set.flRemovedDeletedFiles, options.flRemovedDeletedFiles);
    Assign(set.flArchive, options.flArchive);
    AssignStoredText(set.ArchiveOptions, options.ArchiveOptions);
    Assign(set.flArchiveSubDir, options.flArchiveSubDir);
    Assign(set.ArchiveSubDir, options.ArchiveSubDir);
    Assign(set.KeepMaxCopies, options.KeepMaxCopies);
    Assign(set.KeepDays, options.KeepDays);
    // Kept copies moved into a sub directory are kept copies: moving them implies keeping them, and
    // no longer keeping them means no longer moving them.
    if (options.flArchive == false) {
        if (options.flArchiveSubDir == true)
            throw UsageError(u"--keep-subdir conflicts with --no-keep"_s);
        set.flArchiveSubDir = false;
    }
    if (set.flArchiveSubDir)
        set.flArchive = true;
    if (set.ArchiveOptions.isEmpty())
        set.ArchiveOptions = StoredText(KeptCopyNaming::Sequence);
}

// Validates the changed copy and only then puts it in place.
void ReplaceValidated(BackupSets& sets, BackupSets changed, std::size_t index, bool force)
{
    ValidateSet(changed, index, force);
    sets = std::move(changed);
}

} // namespace

std::size_t SetIndexByName(const BackupSets& sets, const QString& name)
{
    for (std::size_t i = 0; i < sets.size(); ++i) {
        if (!IsEmptyRecord(sets[i]) && sets[i].SetName.compare(name, Qt::CaseInsensitive) == 0)
            return i;
    }
    throw UsageError(u"no set named \"%1\""_s.arg(name));
}

void AddSet(Configuration& configuration, const QString& name, const SetOptions& options)
{
    BackupSets changed = configuration.sets;
    BackupSet set = NewBackupSet(name);
    ApplyOptions(set, options);
    // The list of a store without sets is one empty record, which the first set takes over.
    if (changed.size() == 1 && IsEmptyRecord(changed.front()))
        changed.front() = std::move(set);
    else
        changed.push_back(std::move(set));
    const std::size_t index = changed.size() - 1;
    ReplaceValidated(configuration.sets, std::move(changed), index, options.force);
}

void EditSet(Configuration& configuration, const QString& name, const SetOptions& options)
{
    const std::size_t index = SetIndexByName(configuration.sets, name);
    BackupSets changed = configuration.sets;
    ApplyOptions(changed[index], options);
    ReplaceValidated(configuration.sets, std::move(changed), index, options.force);
}

void RemoveSet(Configuration& configuration, const QString& name)
{
    BackupSet& set = configuration.sets[SetIndexByName(configuration.sets, name)];
    set.flRemoved = true;
    // A watch on a set that is gone would never start; the settings dialog falls back to "None" too.
    if (configuration.settings.StrRealTime.compare(set.SetName, Qt::CaseInsensitive) == 0)
        configuration.settings.StrRealTime = u"None"_s;
}

void EnableSet(Configuration& configuration, const QString& name, bool enabled)
{
    configuration.sets[SetIndexByName(configuration.sets, name)].flEnabled = enabled;
}

} // namespace kelvo::cli
