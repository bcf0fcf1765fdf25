#pragma once

#include "config/Configuration.h"

#include <QStringList>

namespace kelvo::cli {

// The general settings by their key names, in the order the store writes them.
QStringList SettingKeyNames();

// The stored text of a setting: True or False, decimal numbers, texts as they are. The key is
// matched without regard to case, as the store matches it; UsageError for an unknown key.
QString SettingText(const GeneralSettings& settings, const QString& key);

// The key's own spelling.
QString CanonicalSettingKey(const QString& key);

// Sets one setting from the command line's text after checking it against the setting's type and
// range. UsageError when the key is unknown, read-only here, or the value does not fit.
void ChangeSetting(Configuration& configuration, const QString& key, const QString& value);

} // namespace kelvo::cli
