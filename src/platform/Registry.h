#pragma once

#include "platform/AutostartEntry.h"
#include "platform/RegistryStore.h"

#include <QString>
#include <QVariant>

#include <map>
#include <optional>

namespace kelvo {

// The registry helpers over the per-user value store, with the key handle they open and the code of
// their last failure. Two values stand for desktop services: "Kelvo" under the Run key (either root)
// is the desktop's autostart entry, and "ScreenSaveUsePassword" under "Control Panel\Desktop" always
// reads "" because the desktop's own screen locker guards the session.
class Registry final
{
public:
    Registry(); // the locations of the current user

    // "" for a root that is not predefined, a missing value, or any other failure. A 32-bit number
    // reads as its decimal text with at least three digits (1 reads "001").
    QString ReadRegistryValue(RegistryKey root, const QString& subKey, const QString& valueName) const;
    // root: a predefined root or an open key; the opened key becomes RegistryKeyHandle().
    bool OpenRegistryKey(const QString& subKey, RegistryKey root);
    // Types 1 and 2 take a text, 4 a 32-bit number, 7 a list of texts, 3 an array of bytes; any other
    // type writes nothing and leaves -2 in LastRegistryError().
    bool SetRegistryValue(const QString& subKey, RegistryKey root, const QString& valueName,
                          const QVariant& value, int valueType);
    void CloseRegistryKey(RegistryKey handle);

    RegistryKey RegistryKeyHandle() const { return m_handle; }
    // 0 after a successful write, -2 for an unsupported value type, else an errno value (EBADF for a
    // key that is neither a predefined root nor open).
    int LastRegistryError() const { return m_lastError; }

private:
    struct KeyPath
    {
        RegistryKey root;
        QString subKey;
    };
    std::optional<KeyPath> resolve(RegistryKey key, const QString& subKey) const;
    std::optional<RegistryValue> queryValue(const KeyPath& key, const QString& valueName) const;
    int writeValue(const KeyPath& key, const QString& valueName, const QVariant& value, int valueType);

    RegistryStore m_store;
    AutostartEntry m_autostart;
    std::map<RegistryKey, KeyPath> m_openKeys;
    RegistryKey m_nextHandle = 1;
    RegistryKey m_handle = 0;
    int m_lastError = 0;
};

} // namespace kelvo
