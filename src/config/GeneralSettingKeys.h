#pragma once

#include "config/Configuration.h"

#include <QStringList>

#include <variant>
#include <vector>

namespace kelvo {

// One general setting: its key, the field that holds it, the text that stands for a missing value,
// the numbers or texts it may take, and whether the older version's store had it. Loading, saving,
// merging, the legacy import and every editor read the settings through this table.
struct GeneralSettingKey
{
    using TextField = QString GeneralSettings::*;
    using NumberField = qint16 GeneralSettings::*;
    using BoolField = bool GeneralSettings::*;
    using Field = std::variant<TextField, NumberField, BoolField>;

    const char* name;
    Field field;
    const char* defaultText; // nullptr: the home directory, as the log directory's default
    qint16 minimum = 0;      // numbers only
    qint16 maximum = 0;
    QStringList choices = {}; // texts only; empty: any text
    bool legacy = false;
};

// Every general setting, in the order the store writes them.
const std::vector<GeneralSettingKey>& GeneralSettingKeys();

// The key's default as its stored text.
QString DefaultText(const GeneralSettingKey& key);
// The key's value in settings as the store writes it ("True", "60", "BR").
QString StoredText(const GeneralSettings& settings, const GeneralSettingKey& key);

// The corner of the screen that StrStatusBarPos names, in the order of the settings dialog's list.
enum class StatusBarCorner { TopLeft, TopRight, BottomLeft, BottomRight };
// "TL", "TR", "BL"; "BR" and any other text is the bottom right corner.
StatusBarCorner StatusBarCornerOf(const GeneralSettings& settings);
QString StoredText(StatusBarCorner corner);

} // namespace kelvo
