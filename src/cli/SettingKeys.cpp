#include "cli/SettingKeys.h"

#include "cli/SetEditor.h"
#include "cli/UsageError.h"
#include "config/GeneralSettingKeys.h"
#include "platform/FilePath.h"

#include <QDir>

namespace kelvo::cli {

using namespace Qt::StringLiterals;

namespace {

using TextField = GeneralSettingKey::TextField;
using NumberField = GeneralSettingKey::NumberField;
using BoolField = GeneralSettingKey::BoolField;

// A log directory that is relative would name another place for a run started by cron, and one that
// does not exist would lose every log line; both are refused rather than stored.
QString LogDirectory(const QString& value)
{
    if (!QDir::isAbsolutePath(value))
        throw UsageError(u"StrLogFileDir takes an absolute directory, not \"%1\""_s.arg(value));
    if (!FolderExists(ToFilePath(value)))
        throw UsageError(u"StrLogFileDir: the directory %1 does not exist"_s.arg(value));
    const QString clean = QDir::cleanPath(value);
    return clean.endsWith(u'/') ? clean : clean + u'/';
}

QString RealTimeSet(const Configuration& configuration, const QString& value)
{
    if (value.compare(u"None"_s, Qt::CaseInsensitive) == 0)
        return u"None"_s;
    // The watch compares names exactly, so the set's own spelling is stored.
    return configuration.sets[SetIndexByName(configuration.sets, value)].SetName;
}

// "TL, TR, BL or BR"
QString ChoiceList(const QStringList& choices)
{
    return choices.mid(0, choices.size() - 1).join(u", "_s) + u" or "_s + choices.last();
}

QString Choice(const GeneralSettingKey& key, const QString& value)
{
    for (const QString& choice : key.choices) {
        if (value.compare(choice, Qt::CaseInsensitive) == 0)
            return choice;
    }
    throw UsageError(
        u"%1 takes %2, not \"%3\""_s.arg(QLatin1StringView(key.name), ChoiceList(key.choices), value));
}

// Texts that need more than being stored as given are checked or rewritten here.
QString CheckedText(const Configuration& configuration, const GeneralSettingKey& key, const QString& value)
{
    if (!key.choices.isEmpty())
        return Choice(key, value);
    if (key.field == GeneralSettingKey::Field(&GeneralSettings::StrLogFileDir))
        return LogDirectory(value);
    if (key.field == GeneralSettingKey::Field(&GeneralSettings::StrRealTime))
        return RealTimeSet(configuration, value);
    return value;
}

const GeneralSettingKey& FindKey(const QString& key)
{
    for (const GeneralSettingKey& entry : GeneralSettingKeys()) {
        if (key.compare(QLatin1StringView(entry.name), Qt::CaseInsensitive) == 0)
            return entry;
    }
    throw UsageError(u"unknown setting \"%1\"; kelvo-cli settings lists them"_s.arg(key));
}

bool ParseBool(const GeneralSettingKey& key, const QString& value)
{
    if (value.compare(u"true"_s, Qt::CaseInsensitive) == 0)
        return true;
    if (value.compare(u"false"_s, Qt::CaseInsensitive) == 0)
        return false;
    throw UsageError(u"%1 takes true or false, not \"%2\""_s.arg(QLatin1StringView(key.name), value));
}

} // namespace

QStringList SettingKeyNames()
{
    QStringList names;
    for (const GeneralSettingKey& entry : GeneralSettingKeys())
        names << QString::fromLatin1(entry.name);
    return names;
}

QString CanonicalSettingKey(const QString& key)
{
    return QString::fromLatin1(FindKey(key).name);
}

QString SettingText(const GeneralSettings& settings, const QString& key)
{
    return StoredText(settings, FindKey(key));
}

void ChangeSetting(Configuration& configuration, const QString& key, const QString& value)
{
    const GeneralSettingKey& entry = FindKey(key);
    GeneralSettings& settings = configuration.settings;
    if (const auto* text = std::get_if<TextField>(&entry.field)) {
        settings.*(*text) = CheckedText(configuration, entry, value);
    } else if (const auto* number = std::get_if<NumberField>(&entry.field)) {
        settings.*(*number) = WholeNumber(QLatin1StringView(entry.name), value, entry.minimum, entry.maximum);
    } else {
        settings.*std::get<BoolField>(entry.field) = ParseBool(entry, value);
    }
}

} // namespace kelvo::cli
