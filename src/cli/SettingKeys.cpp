#include "cli/SettingKeys.h"

#include "cli/SetEditor.h"
#include "cli/UsageError.h"
#include "platform/FileSystem.h"

#include <QDir>

#include <functional>
#include <variant>

namespace kelvo::cli {

using namespace Qt::StringLiterals;

namespace {

struct NumberRange
{
    qint16 minimum;
    qint16 maximum;
};

using TextField = QString GeneralSettings::*;
using NumberField = qint16 GeneralSettings::*;
using BoolField = bool GeneralSettings::*;

// Texts that need more than being stored as given check or rewrite the value here.
using TextCheck = std::function<QString(const Configuration&, const QString&)>;

struct SettingKey
{
    const char* name;
    std::variant<TextField, NumberField, BoolField> field;
    NumberRange range{};
    TextCheck check;
};

QString StatusBarCorner(const Configuration&, const QString& value)
{
    const QString corner = value.toUpper();
    if (corner != u"TL"_s && corner != u"TR"_s && corner != u"BL"_s && corner != u"BR"_s)
        throw UsageError(u"StrStatusBarPos takes TL, TR, BL or BR, not \"%1\""_s.arg(value));
    return corner;
}

// A log directory that is relative would name another place for a run started by cron, and one that
// does not exist would lose every log line; both are refused rather than stored.
QString LogDirectory(const Configuration&, const QString& value)
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

// The size and interval boxes of the settings dialog hold at most 3 and 4 digits; an interval of
// 0 minutes would re-run at every tick.
const std::vector<SettingKey>& SettingKeys()
{
    using G = GeneralSettings;
    static const std::vector<SettingKey> keys = {
        {"StrLogFileDir", &G::StrLogFileDir, {}, LogDirectory},
        {"IntLogFileSize", &G::IntLogFileSize, {0, 999}, {}},
        {"flLogFileOn", &G::flLogFileOn, {}, {}},
        {"flLogFileSuccess", &G::flLogFileSuccess, {}, {}},
        {"flLogFileErrors", &G::flLogFileErrors, {}, {}},
        {"flLogDeletes", &G::flLogDeletes, {}, {}},
        {"flScreenSaver", &G::flScreenSaver, {}, {}},
        {"StrAltScreenSaver", &G::StrAltScreenSaver, {}, {}},
        {"flReRun", &G::flReRun, {}, {}},
        {"IntReRunTime", &G::IntReRunTime, {1, 9999}, {}},
        {"flSysTray", &G::flSysTray, {}, {}},
        {"flWindowsStart", &G::flWindowsStart, {}, {}},
        {"flDelay", &G::flDelay, {}, {}},
        {"flShowStatusBar", &G::flShowStatusBar, {}, {}},
        {"flStatusBarAOT", &G::flStatusBarAOT, {}, {}},
        {"StrStatusBarPos", &G::StrStatusBarPos, {}, StatusBarCorner},
        {"StrRealTime", &G::StrRealTime, {}, RealTimeSet},
    };
    return keys;
}

const SettingKey& FindKey(const QString& key)
{
    for (const SettingKey& entry : SettingKeys()) {
        if (key.compare(QLatin1StringView(entry.name), Qt::CaseInsensitive) == 0)
            return entry;
    }
    throw UsageError(u"unknown setting \"%1\"; kelvo-cli settings lists them"_s.arg(key));
}

bool ParseBool(const SettingKey& key, const QString& value)
{
    if (value.compare(u"true"_s, Qt::CaseInsensitive) == 0)
        return true;
    if (value.compare(u"false"_s, Qt::CaseInsensitive) == 0)
        return false;
    throw UsageError(u"%1 takes true or false, not \"%2\""_s.arg(QLatin1StringView(key.name), value));
}

qint16 ParseNumber(const SettingKey& key, const QString& value)
{
    bool ok = false;
    const int number = value.toInt(&ok);
    if (!ok || number < key.range.minimum || number > key.range.maximum)
        throw UsageError(
            u"%1 takes a whole number from %2 to %3, not \"%4\""_s.arg(QLatin1StringView(key.name))
                .arg(key.range.minimum)
                .arg(key.range.maximum)
                .arg(value));
    return static_cast<qint16>(number);
}

} // namespace

QStringList SettingKeyNames()
{
    QStringList names;
    for (const SettingKey& entry : SettingKeys())
        names << QString::fromLatin1(entry.name);
    return names;
}

QString CanonicalSettingKey(const QString& key)
{
    return QString::fromLatin1(FindKey(key).name);
}

QString SettingText(const GeneralSettings& settings, const QString& key)
{
    const SettingKey& entry = FindKey(key);
    if (const auto* text = std::get_if<TextField>(&entry.field))
        return settings.*(*text);
    if (const auto* number = std::get_if<NumberField>(&entry.field))
        return QString::number(settings.*(*number));
    return settings.*std::get<BoolField>(entry.field) ? u"True"_s : u"False"_s;
}

void ChangeSetting(Configuration& configuration, const QString& key, const QString& value)
{
    const SettingKey& entry = FindKey(key);
    GeneralSettings& settings = configuration.settings;
    if (const auto* text = std::get_if<TextField>(&entry.field)) {
        settings.*(*text) = entry.check ? entry.check(configuration, value) : value;
    } else if (const auto* number = std::get_if<NumberField>(&entry.field)) {
        settings.*(*number) = ParseNumber(entry, value);
    } else {
        settings.*std::get<BoolField>(entry.field) = ParseBool(entry, value);
    }
}

} // namespace kelvo::cli
