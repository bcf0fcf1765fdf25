#pragma once

#include "config/Configuration.h"
#include "platform/SettingsStore.h"

#include <QStringList>

namespace kelvo::test {

// The names of the sets as the store holds them now, in their order.
inline QStringList StoredSetNames(SettingsStore& store)
{
    Configuration stored;
    LoadConfiguration(store, stored);
    QStringList names;
    for (const BackupSet& set : stored.sets)
        names << set.SetName;
    return names;
}

} // namespace kelvo::test
