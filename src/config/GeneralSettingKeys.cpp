#include "config/GeneralSettingKeys.h"

#include "config/SettingsFields.h"

#include <QDir>

namespace kelvo {

using namespace Qt::StringLiterals;

namespace {

// By StatusBarCorner.
const QStringList CornerTexts{u"TL"_s, u"TR"_s, u"BL"_s, u"BR"_s};

} // namespace

// The size and interval boxes of the settings dialog hold at most 3 and 4 digits; an interval of
// 0 minutes would re-run at every tick. A year without a completed backup is the longest warning.
const std::vector<GeneralSettingKey>& GeneralSettingKeys()
{
    using G = GeneralSettings;
    static const std::vector<GeneralSettingKey> keys = {
        {"StrLogFileDir", &G::StrLogFileDir, nullptr, 0, 0, {}, true},
        {"IntLogFileSize", &G::IntLogFileSize, "0", 0, 999, {}, true},
        {"flLogFileOn", &G::flLogFileOn, "true", 0, 0, {}, true},
        {"flLogFileSuccess", &G::flLogFileSuccess, "false", 0, 0, {}, true},
        {"flLogFileErrors", &G::flLogFileErrors, "true", 0, 0, {}, true},
        {"flLogDeletes", &G::flLogDeletes, "true"},
        {"flScreenSaver", &G::flScreenSaver, "false", 0, 0, {}, true},
        {"StrAltScreenSaver", &G::StrAltScreenSaver, "", 0, 0, {}, true},
        {"flReRun", &G::flReRun, "false", 0, 0, {}, true},
        {"IntReRunTime", &G::IntReRunTime, "60", 1, 9999, {}, true},
        {"flSysTray", &G::flSysTray, "true", 0, 0, {}, true},
        {"flWindowsStart", &G::flWindowsStart, "false"},
        {"flDelay", &G::flDelay, "false"},
        {"flShowStatusBar", &G::flShowStatusBar, "false"},
        {"flStatusBarAOT", &G::flStatusBarAOT, "false"},
        {"StrStatusBarPos", &G::StrStatusBarPos, "BR", 0, 0, CornerTexts},
        {"StrRealTime", &G::StrRealTime, "None"},
        {"flRunWhenIdle", &G::flRunWhenIdle, "false"},
        {"IntStaleDays", &G::IntStaleDays, "7", 0, 365},
        {"flLowPriority", &G::flLowPriority, "true"},
    };
    return keys;
}

// The home directory plays the part of the drive root that the log directory defaulted to.
QString DefaultText(const GeneralSettingKey& key)
{
    if (key.defaultText)
        return QString::fromLatin1(key.defaultText);
    const QString home = QDir::homePath();
    return home.endsWith(u'/') ? home : home + u'/';
}

QString StoredText(const GeneralSettings& settings, const GeneralSettingKey& key)
{
    if (const auto* text = std::get_if<GeneralSettingKey::TextField>(&key.field))
        return settings.*(*text);
    if (const auto* number = std::get_if<GeneralSettingKey::NumberField>(&key.field))
        return QString::number(settings.*(*number));
    return BooleanText(settings.*std::get<GeneralSettingKey::BoolField>(key.field));
}

StatusBarCorner StatusBarCornerOf(const GeneralSettings& settings)
{
    const qsizetype index = CornerTexts.indexOf(settings.StrStatusBarPos);
    return index < 0 ? StatusBarCorner::BottomRight : StatusBarCorner(index);
}

QString StoredText(StatusBarCorner corner)
{
    return CornerTexts.at(qsizetype(corner));
}

} // namespace kelvo
