#include "config/Configuration.h"

#include "config/ConfigurationMerge.h"
#include "config/DoneCommand.h"
#include "config/GeneralSettingKeys.h"
#include "config/RunRecords.h"
#include "config/SetRules.h"
#include "config/SettingsFields.h"
#include "platform/FilePath.h"
#include "platform/SettingsStore.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <iterator>
#include <optional>
#include <utility>

using namespace Qt::Literals::StringLiterals;

namespace kelvo {

namespace {

const QString Application = u"Kelvo"_s;
const QString LegacyApplication = u"Saver"_s;
const QString SettingsSection = u"Settings"_s;
const QString SetsSection = u"Sets"_s;
// The legacy "Sets" section lists every set as this many values in a row.
constexpr qsizetype LegacyGroupSize = 11;

QString SetSection(const QString& name)
{
    return SetsSection + u'\\' + name;
}

QString SetOwner(const QString& name)
{
    return u"set \"%1\""_s.arg(name);
}

void ReadGeneralSetting(const FieldReader& r, const GeneralSettingKey& key, GeneralSettings& s)
{
    const QString name = QString::fromLatin1(key.name);
    const QString defaultText = DefaultText(key);
    if (const auto* text = std::get_if<GeneralSettingKey::TextField>(&key.field))
        s.*(*text) =
            key.choices.isEmpty() ? r.text(name, defaultText) : r.choice(name, defaultText, key.choices);
    else if (const auto* number = std::get_if<GeneralSettingKey::NumberField>(&key.field))
        s.*(*number) = r.integer(name, defaultText, key.minimum, key.maximum);
    else
        s.*std::get<GeneralSettingKey::BoolField>(key.field) = r.boolean(name, defaultText);
}

GeneralSettings ReadGeneralSettings(const SettingsDocument& document, Warnings warnings)
{
    const FieldReader r(document, SettingsSection, {SettingsSection, warnings});
    GeneralSettings s;
    for (const GeneralSettingKey& key : GeneralSettingKeys())
        ReadGeneralSetting(r, key, s);
    return s;
}

BackupSet ReadSet(const SettingsDocument& document, const QString& name, Warnings warnings)
{
    const FieldReader r(document, SetSection(name), {SetOwner(name), warnings});
    BackupSet set;
    set.SetName = name;
    set.SourceDirFile = r.text(u"SourceDirFile"_s);
    set.DestDir = r.text(u"DestDir"_s);
    set.CopyOptions = r.text(u"CopyOptions"_s);
    set.SyncOptions = r.text(u"SyncOptions"_s, StoredText(SyncMode::OneWay));
    set.ArchiveOptions = r.text(u"ArchiveOptions"_s);
    set.ArchiveSubDir = r.text(u"ArchiveSubDir"_s);
    set.Filters = r.text(u"Filters"_s, u"*.*"_s);
    set.flEnabled = r.boolean(u"flEnabled"_s);
    set.flOverwrite = r.boolean(u"flOverwrite"_s);
    set.flSubDirectories = r.boolean(u"flSubDirectories"_s);
    // Without the key, the replaced versions of files are kept rather than lost.
    set.flArchive = r.requiredBoolean(u"flArchive"_s, true);
    set.flArchiveSubDir = r.boolean(u"flArchiveSubDir"_s);
    set.flRemovedDeletedFiles = r.boolean(u"flRemovedDeletedFiles"_s, u"false"_s);
    set.KeepMaxCopies = r.integer(u"KeepMaxCopies"_s, u"0"_s, 0, MostKeptCopies);
    set.KeepDays = r.integer(u"KeepDays"_s, u"0"_s, 0, MostKeptCopyDays);
    set.LastDate = r.text(u"LastDate"_s, u"Never Run"_s);
    set.LastResult = r.text(u"LastResult"_s);
    set.LastCompleted = r.text(u"LastCompleted"_s);
    set.FirstAttempt = r.text(u"FirstAttempt"_s);
    set.SourceDrive = r.text(u"SourceDrive"_s);
    set.DestDrive = r.text(u"DestDrive"_s);
    set.flRemoved = false;
    return set;
}

BackupSets ReadNamedSets(const SettingsDocument& document, Warnings warnings)
{
    const SettingPairs names = document.GetAllSettings(SetsSection);
    BackupSets sets;
    sets.reserve(std::size_t(names.size()));
    for (const auto& pair : names)
        sets.push_back(ReadSet(document, pair.first, warnings));
    return sets;
}

// Never empty: a store without sets gives one empty record.
BackupSets WithEmptyRecordWhenEmpty(BackupSets sets)
{
    if (sets.empty())
        sets.emplace_back();
    return sets;
}

// Only the settings that the older version knew; the others take their defaults, as on a first start.
GeneralSettings ReadLegacyGeneralSettings(const SettingsDocument& legacy)
{
    GeneralSettings s = ReadGeneralSettings(SettingsDocument(), Warnings::Hidden);
    const FieldReader r(legacy, SettingsSection, {SettingsSection});
    for (const GeneralSettingKey& key : GeneralSettingKeys()) {
        if (key.legacy)
            ReadGeneralSetting(r, key, s);
    }
    return s;
}

// The older version let a set name a single file as its source. It becomes a set on the file's
// directory, filtered to the file's name.
void RewriteFileSource(BackupSet& set)
{
    const std::string source = ToFilePath(set.SourceDirFile);
    if (!FileExists(source))
        return;
    const std::string name = GetFileName(source);
    std::string directory = source.substr(0, source.size() - name.size());
    // The root keeps its "/": without it the source would be empty.
    if (directory.size() > 1 && directory.back() == '/')
        directory.pop_back();
    set.Filters = QFile::decodeName(QByteArray::fromStdString(name));
    set.SourceDirFile = QFile::decodeName(QByteArray::fromStdString(directory));
}

BackupSet ReadLegacySet(const SettingPairs& pairs, qsizetype first)
{
    const auto value = [&](qsizetype position) { return pairs[first + position].second; };
    BackupSet set;
    set.SetName = value(0);
    const Owner owner{SetOwner(set.SetName)};
    const auto boolean = [&](qsizetype position, const QString& key) {
        return ToBoolean(value(position), std::nullopt, owner, key);
    };
    set.SourceDirFile = value(1);
    RewriteFileSource(set);
    set.DestDir = value(2);
    set.CopyOptions = value(3);
    set.ArchiveOptions = value(4);
    set.ArchiveSubDir = value(5);
    set.flEnabled = boolean(6, u"flEnabled"_s);
    set.flOverwrite = boolean(7, u"flOverwrite"_s);
    set.flSubDirectories = boolean(8, u"flSubDirectories"_s);
    set.flArchive = boolean(9, u"flArchive"_s);
    set.flArchiveSubDir = boolean(10, u"flArchiveSubDir"_s);
    return set;
}

// Only complete groups are read: a list cut short ends with the last whole set.
BackupSets ReadLegacySets(const SettingsDocument& legacy)
{
    const SettingPairs pairs = legacy.GetAllSettings(SetsSection);
    BackupSets sets;
    for (qsizetype first = 0; first + LegacyGroupSize <= pairs.size(); first += LegacyGroupSize)
        sets.push_back(ReadLegacySet(pairs, first));
    if (sets.empty())
        sets.emplace_back();
    return sets;
}

void WriteGeneralSettings(SettingsDocument& document, const GeneralSettings& s)
{
    FieldWriter w(document, SettingsSection);
    for (const GeneralSettingKey& key : GeneralSettingKeys())
        w.text(QString::fromLatin1(key.name), StoredText(s, key));
}

void FillEmptyWithDefaults(QString& field, const QString& defaultValue)
{
    if (field.isEmpty())
        field = defaultValue;
}

bool IsNamed(const BackupSet& set)
{
    return !set.SetName.isEmpty() && !set.flRemoved;
}

BackupSets NamedSets(const BackupSets& sets)
{
    BackupSets named;
    named.reserve(sets.size());
    std::copy_if(sets.begin(), sets.end(), std::back_inserter(named), IsNamed);
    return named;
}

// SaveConfiguration writes these in place of what it finds empty, in memory too.
void FillDefaults(BackupSets& sets)
{
    for (BackupSet& set : sets) {
        if (!IsNamed(set))
            continue;
        FillEmptyWithDefaults(set.CopyOptions, StoredText(CopyCriterion::Date));
        FillEmptyWithDefaults(set.SyncOptions, StoredText(SyncMode::OneWay));
        FillEmptyWithDefaults(set.Filters, u"*.*"_s);
    }
}

// Every key is written, so a set that reuses a removed set's name leaves nothing of the old one.
void WriteSet(SettingsDocument& document, const BackupSet& set)
{
    document.SaveSetting(SetsSection, set.SetName, set.SetName);
    FieldWriter w(document, SetSection(set.SetName));
    w.text(u"SourceDirFile"_s, set.SourceDirFile);
    w.text(u"DestDir"_s, set.DestDir);
    w.text(u"CopyOptions"_s, set.CopyOptions);
    w.text(u"SyncOptions"_s, set.SyncOptions);
    w.text(u"ArchiveOptions"_s, set.ArchiveOptions);
    w.text(u"ArchiveSubDir"_s, set.ArchiveSubDir);
    w.text(u"Filters"_s, set.Filters);
    w.boolean(u"flEnabled"_s, set.flEnabled);
    w.boolean(u"flOverwrite"_s, set.flOverwrite);
    w.boolean(u"flSubDirectories"_s, set.flSubDirectories);
    w.boolean(u"flArchive"_s, set.flArchive);
    w.boolean(u"flArchiveSubDir"_s, set.flArchiveSubDir);
    w.boolean(u"flRemovedDeletedFiles"_s, set.flRemovedDeletedFiles);
    w.text(u"KeepMaxCopies"_s, QString::number(set.KeepMaxCopies));
    w.text(u"KeepDays"_s, QString::number(set.KeepDays));
    w.text(u"LastDate"_s, set.LastDate);
    w.text(u"LastResult"_s, set.LastResult);
    w.text(u"LastCompleted"_s, set.LastCompleted);
    w.text(u"FirstAttempt"_s, set.FirstAttempt);
    w.text(u"SourceDrive"_s, set.SourceDrive);
    w.text(u"DestDrive"_s, set.DestDrive);
}

// What this process changed since its base, over what the store holds now. Without a base
// everything in memory is this process's change.
ConfigurationBase Merged(const SettingsDocument& document, const Configuration& configuration)
{
    const GeneralSettings stored = ReadGeneralSettings(document, Warnings::Hidden);
    const BackupSets storedSets = ReadNamedSets(document, Warnings::Hidden);
    const BackupSets ours = NamedSets(configuration.sets);
    if (!configuration.base)
        return {configuration.settings, MergedSets(storedSets, ours, {})};
    const ConfigurationBase& base = *configuration.base;
    return {MergedSettings(stored, configuration.settings, base.settings),
            MergedSets(storedSets, ours, base.sets)};
}

// The document is gone before the load copies what it read, so a large file is held once at a time.
ConfigurationBase ReadStored(const SettingsStore& store)
{
    const SettingsDocument document = store.Read(Application);
    return {ReadGeneralSettings(document, Warnings::Shown), ReadNamedSets(document, Warnings::Shown)};
}

void ImportLegacy(SettingsStore& store, const SettingsDocument& legacy, Configuration& configuration,
                  const std::function<void()>& doneWindowSteps)
{
    configuration.settings = ReadLegacyGeneralSettings(legacy);
    configuration.sets = ReadLegacySets(legacy);
    configuration.base.reset();
    DoneCommand(store, configuration, [&] {
        store.Retire(LegacyApplication, "imported");
        if (doneWindowSteps)
            doneWindowSteps();
    });
}

} // namespace

void LoadConfiguration(SettingsStore& store, Configuration& configuration,
                       const std::function<void()>& doneWindowSteps)
{
    if (!store.Exists(Application)) {
        const SettingsDocument legacy = store.Read(LegacyApplication);
        if (!legacy.isEmpty()) {
            ImportLegacy(store, legacy, configuration, doneWindowSteps);
            return;
        }
    }
    ConfigurationBase stored = ReadStored(store);
    configuration.settings = stored.settings;
    configuration.sets = WithEmptyRecordWhenEmpty(stored.sets);
    configuration.base = std::move(stored);
}

void SaveConfiguration(SettingsStore& store, Configuration& configuration)
{
    FillDefaults(configuration.sets);
    store.Update(Application, [&](SettingsDocument& document) {
        const ConfigurationBase merged = Merged(document, configuration);
        WriteGeneralSettings(document, merged.settings);
        // "Sets" is rebuilt in the merged order; a store without sets has none to delete, which is fine.
        document.DeleteSetting(SetsSection);
        for (const BackupSet& set : merged.sets)
            WriteSet(document, set);
    });
    configuration.base = ConfigurationBase{configuration.settings, NamedSets(configuration.sets)};
}

namespace {

// Whether the stored set is the one that ran, and holds less than it learnt; a drive only for the root
// it was found for.
bool TakeRunRecords(BackupSet& stored, const BackupSet& ran)
{
    if (stored.SetName.isEmpty() || stored.SetName != ran.SetName)
        return false;
    const BackupSet before = stored;
    if (!ran.SourceDrive.isEmpty() && stored.SourceDirFile == ran.SourceDirFile)
        stored.SourceDrive = ran.SourceDrive;
    if (!ran.DestDrive.isEmpty() && stored.DestDir == ran.DestDir)
        stored.DestDrive = ran.DestDrive;
    RunOutcomeFields(stored) = RunOutcomeFields(ran);
    return stored != before;
}

} // namespace

void StoreRunRecords(SettingsStore& store, const BackupSets& ranSets)
{
    store.Exclusively(Application, [&] {
        Configuration stored;
        LoadConfiguration(store, stored);
        bool changed = false;
        for (BackupSet& set : stored.sets) {
            for (const BackupSet& ran : ranSets)
                changed = TakeRunRecords(set, ran) || changed;
        }
        if (changed)
            CommitConfiguration(store, stored);
    });
}

void CommitConfiguration(SettingsStore& store, Configuration& configuration)
{
    SaveConfiguration(store, configuration);
    LoadConfiguration(store, configuration);
}

SetsDraft DraftOf(const Configuration& configuration)
{
    SetsDraft draft{configuration.sets, std::nullopt};
    if (configuration.base)
        draft.base = NamedSets(configuration.sets);
    return draft;
}

void CommitDraft(SettingsStore& store, Configuration& configuration, const SetsDraft& draft)
{
    Configuration committed = configuration;
    committed.sets = draft.base ? WithEmptyRecordWhenEmpty(MergedSets(NamedSets(configuration.sets),
                                                                      NamedSets(draft.sets), *draft.base))
                                : draft.sets;
    CommitConfiguration(store, committed);
    configuration = std::move(committed);
}

void ChangeConfiguration(SettingsStore& store, const std::function<void(Configuration&)>& change)
{
    store.Exclusively(Application, [&] {
        Configuration configuration;
        LoadConfiguration(store, configuration);
        change(configuration);
        CommitConfiguration(store, configuration);
    });
}

} // namespace kelvo
