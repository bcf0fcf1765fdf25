#include "app/Configuration.h"

#include "app/DoneCommand.h"
#include "platform/FileSystem.h"
#include "platform/SettingsStore.h"

#include <QDir>
#include <QFile>

#include <cmath>
#include <cstdio>
#include <optional>

using namespace Qt::Literals::StringLiterals;

namespace kelvo {

namespace {

const QString Application = u"Kelvo"_s;
const QString LegacyApplication = u"Saver"_s;
const QString SettingsSection = u"Settings"_s;
const QString SetsSection = u"Sets"_s;
// Every save writes this key, so a store that holds it has been written by SaveConfiguration and
// the legacy import is behind it.
const QString SavedMark = u"StrLogFileDir"_s;
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

// The home directory plays the part of the drive root that the log directory defaulted to.
QString DefaultLogFileDir()
{
    const QString home = QDir::homePath();
    return home.endsWith(u'/') ? home : home + u'/';
}

QString BooleanText(bool value)
{
    return value ? u"True"_s : u"False"_s;
}

// True or false in any letter case, or a number: 0 is false, any other number true.
std::optional<bool> ParseBoolean(const QString& text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.compare(u"true"_s, Qt::CaseInsensitive) == 0)
        return true;
    if (trimmed.compare(u"false"_s, Qt::CaseInsensitive) == 0)
        return false;
    bool ok = false;
    const double number = trimmed.toDouble(&ok);
    return ok && std::isfinite(number) ? std::optional<bool>(number != 0) : std::nullopt;
}

std::optional<qint16> ParseInteger(const QString& text)
{
    bool ok = false;
    const qint16 number = text.trimmed().toShort(&ok, 10);
    return ok ? std::optional<qint16>(number) : std::nullopt;
}

// A damaged value must neither crash the load nor vanish silently: it is named in one line.
void Warn(const QString& owner, const QString& problem, const QString& fallback)
{
    const QString line = u"kelvo: %1: %2; using %3\n"_s.arg(owner, problem, fallback);
    std::fputs(line.toLocal8Bit().constData(), stderr);
}

QString Unconverted(const QString& key, const std::optional<QString>& text, const QString& kind)
{
    return text ? u"%1 has \"%2\", which is not %3"_s.arg(key, *text, kind) : key + u" is missing"_s;
}

// A boolean without a default falls back to false, so a damaged set loads disabled and does nothing
// until the user has looked at it.
bool ToBoolean(const std::optional<QString>& stored, const std::optional<QString>& defaultValue,
               const QString& owner, const QString& key)
{
    const std::optional<QString> text = stored ? stored : defaultValue;
    if (const std::optional<bool> value = text ? ParseBoolean(*text) : std::nullopt)
        return *value;
    const bool fallback = defaultValue && ParseBoolean(*defaultValue).value_or(false);
    Warn(owner, Unconverted(key, text, u"a boolean"_s), BooleanText(fallback));
    return fallback;
}

qint16 ToInteger(const std::optional<QString>& stored, const QString& defaultValue, const QString& owner,
                 const QString& key)
{
    const QString text = stored.value_or(defaultValue);
    if (const std::optional<qint16> value = ParseInteger(text))
        return *value;
    const qint16 fallback = ParseInteger(defaultValue).value_or(0);
    Warn(owner, Unconverted(key, text, u"a 16-bit integer"_s), QString::number(fallback));
    return fallback;
}

// Reads one section of a snapshot, converting each value to its field's type.
class FieldReader final
{
public:
    FieldReader(const SettingsDocument& document, QString section, QString owner)
        : m_document(document), m_section(std::move(section)), m_owner(std::move(owner))
    {}

    QString text(const QString& key, const QString& defaultValue = {}) const
    {
        return m_document.GetSetting(m_section, key, defaultValue);
    }
    bool boolean(const QString& key, const std::optional<QString>& defaultValue = std::nullopt) const
    {
        return ToBoolean(m_document.FindSetting(m_section, key), defaultValue, m_owner, key);
    }
    qint16 integer(const QString& key, const QString& defaultValue) const
    {
        return ToInteger(m_document.FindSetting(m_section, key), defaultValue, m_owner, key);
    }

private:
    const SettingsDocument& m_document;
    QString m_section;
    QString m_owner;
};

class FieldWriter final
{
public:
    FieldWriter(SettingsDocument& document, QString section)
        : m_document(document), m_section(std::move(section))
    {}

    void text(const QString& key, const QString& value) { m_document.SaveSetting(m_section, key, value); }
    void boolean(const QString& key, bool value) { text(key, BooleanText(value)); }
    void integer(const QString& key, qint16 value) { text(key, QString::number(value)); }

private:
    SettingsDocument& m_document;
    QString m_section;
};

GeneralSettings ReadGeneralSettings(const SettingsDocument& document)
{
    const FieldReader r(document, SettingsSection, SettingsSection);
    GeneralSettings s;
    s.StrLogFileDir = r.text(u"StrLogFileDir"_s, DefaultLogFileDir());
    s.IntLogFileSize = r.integer(u"IntLogFileSize"_s, u"0"_s);
    s.flLogFileOn = r.boolean(u"flLogFileOn"_s, u"true"_s);
    s.flLogFileSuccess = r.boolean(u"flLogFileSuccess"_s, u"false"_s);
    s.flLogFileErrors = r.boolean(u"flLogFileErrors"_s, u"true"_s);
    s.flLogDeletes = r.boolean(u"flLogDeletes"_s, u"true"_s);
    s.StrAltScreenSaver = r.text(u"StrAltScreenSaver"_s);
    s.flScreenSaver = r.boolean(u"flScreenSaver"_s, u"false"_s);
    s.IntReRunTime = r.integer(u"IntReRunTime"_s, u"60"_s);
    s.flReRun = r.boolean(u"flReRun"_s, u"false"_s);
    s.flSysTray = r.boolean(u"flSysTray"_s, u"true"_s);
    s.flWindowsStart = r.boolean(u"flWindowsStart"_s, u"false"_s);
    s.flDelay = r.boolean(u"flDelay"_s, u"0"_s);
    s.flShowStatusBar = r.boolean(u"flShowStatusBar"_s, u"false"_s);
    s.flStatusBarAOT = r.boolean(u"flStatusBarAOT"_s, u"false"_s);
    s.StrStatusBarPos = r.text(u"StrStatusBarPos"_s, u"BR"_s);
    s.StrRealTime = r.text(u"StrRealTime"_s, u"None"_s);
    return s;
}

BackupSet ReadSet(const SettingsDocument& document, const QString& name)
{
    const FieldReader r(document, SetSection(name), SetOwner(name));
    BackupSet set;
    set.SetName = name;
    set.SourceDirFile = r.text(u"SourceDirFile"_s);
    set.DestDir = r.text(u"DestDir"_s);
    set.CopyOptions = r.text(u"CopyOptions"_s);
    set.SyncOptions = r.text(u"SyncOptions"_s, u"srcToDest"_s);
    set.ArchiveOptions = r.text(u"ArchiveOptions"_s);
    set.ArchiveSubDir = r.text(u"ArchiveSubDir"_s);
    set.Filters = r.text(u"Filters"_s, u"*.*"_s);
    set.flEnabled = r.boolean(u"flEnabled"_s);
    set.flOverwrite = r.boolean(u"flOverwrite"_s);
    set.flSubDirectories = r.boolean(u"flSubDirectories"_s);
    set.flArchive = r.boolean(u"flArchive"_s);
    set.flArchiveSubDir = r.boolean(u"flArchiveSubDir"_s);
    set.flRemovedDeletedFiles = r.boolean(u"flRemovedDeletedFiles"_s, u"false"_s);
    set.LastDate = r.text(u"LastDate"_s, u"Never Run"_s);
    set.flRemoved = false;
    return set;
}

// Never empty: a store without sets gives one empty record.
BackupSets ReadSets(const SettingsDocument& document)
{
    BackupSets sets;
    for (const auto& pair : document.GetAllSettings(SetsSection))
        sets.push_back(ReadSet(document, pair.first));
    if (sets.empty())
        sets.emplace_back();
    return sets;
}

// Only the settings that the older version knew; the others keep what they hold in memory.
void ReadLegacyGeneralSettings(const SettingsDocument& legacy, GeneralSettings& s)
{
    const FieldReader r(legacy, SettingsSection, SettingsSection);
    s.StrLogFileDir = r.text(u"StrLogFileDir"_s, DefaultLogFileDir());
    s.IntLogFileSize = r.integer(u"IntLogFileSize"_s, u"0"_s);
    s.flLogFileOn = r.boolean(u"flLogFileOn"_s, u"true"_s);
    s.flLogFileSuccess = r.boolean(u"flLogFileSuccess"_s, u"false"_s);
    s.flLogFileErrors = r.boolean(u"flLogFileErrors"_s, u"true"_s);
    s.StrAltScreenSaver = r.text(u"StrAltScreenSaver"_s);
    s.flScreenSaver = r.boolean(u"flScreenSaver"_s, u"false"_s);
    s.IntReRunTime = r.integer(u"IntReRunTime"_s, u"60"_s);
    s.flReRun = r.boolean(u"flReRun"_s, u"false"_s);
    s.flSysTray = r.boolean(u"flSysTray"_s, u"true"_s);
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
    const QString owner = SetOwner(set.SetName);
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
    w.text(u"StrLogFileDir"_s, s.StrLogFileDir);
    w.integer(u"IntLogFileSize"_s, s.IntLogFileSize);
    w.boolean(u"flLogFileOn"_s, s.flLogFileOn);
    w.boolean(u"flLogFileSuccess"_s, s.flLogFileSuccess);
    w.boolean(u"flLogFileErrors"_s, s.flLogFileErrors);
    w.boolean(u"flLogDeletes"_s, s.flLogDeletes);
    w.boolean(u"flScreenSaver"_s, s.flScreenSaver);
    w.text(u"StrAltScreenSaver"_s, s.StrAltScreenSaver);
    w.boolean(u"flReRun"_s, s.flReRun);
    w.integer(u"IntReRunTime"_s, s.IntReRunTime);
    w.boolean(u"flSysTray"_s, s.flSysTray);
    w.boolean(u"flWindowsStart"_s, s.flWindowsStart);
    w.boolean(u"flDelay"_s, s.flDelay);
    w.boolean(u"flShowStatusBar"_s, s.flShowStatusBar);
    w.boolean(u"flStatusBarAOT"_s, s.flStatusBarAOT);
    w.text(u"StrStatusBarPos"_s, s.StrStatusBarPos);
    w.text(u"StrRealTime"_s, s.StrRealTime);
}

void FillEmptyWithDefaults(QString& field, const QString& defaultValue)
{
    if (field.isEmpty())
        field = defaultValue;
}

// Every key is written, so a set that reuses a removed set's name leaves nothing of the old one.
void WriteSet(SettingsDocument& document, BackupSet& set)
{
    FillEmptyWithDefaults(set.CopyOptions, u"OpDate"_s);
    FillEmptyWithDefaults(set.SyncOptions, u"srcToDest"_s);
    FillEmptyWithDefaults(set.Filters, u"*.*"_s);
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
    w.text(u"LastDate"_s, set.LastDate);
}

} // namespace

void LoadConfiguration(SettingsStore& store, Configuration& configuration,
                       const std::function<void()>& doneWindowSteps)
{
    const SettingsDocument document = store.Read(Application);
    if (!document.FindSetting(SettingsSection, SavedMark)) {
        const SettingsDocument legacy = store.Read(LegacyApplication);
        if (!legacy.isEmpty()) {
            ReadLegacyGeneralSettings(legacy, configuration.settings);
            configuration.sets = ReadLegacySets(legacy);
            DoneCommand(store, configuration, doneWindowSteps);
            return;
        }
    }
    configuration.settings = ReadGeneralSettings(document);
    configuration.sets = ReadSets(document);
}

// One update of the store, so the whole configuration reaches the file at once or not at all.
void SaveConfiguration(SettingsStore& store, Configuration& configuration)
{
    store.Update(Application, [&](SettingsDocument& document) {
        WriteGeneralSettings(document, configuration.settings);
        // "Sets" is rebuilt in memory order; a store without sets has none to delete, which is fine.
        document.DeleteSetting(SetsSection);
        for (BackupSet& set : configuration.sets) {
            if (!set.SetName.isEmpty() && !set.flRemoved)
                WriteSet(document, set);
        }
    });
}

void CommitConfiguration(SettingsStore& store, Configuration& configuration)
{
    SaveConfiguration(store, configuration);
    LoadConfiguration(store, configuration);
}

} // namespace kelvo
