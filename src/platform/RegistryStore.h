#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

namespace kelvo {

// The predefined roots. A key value outside this range is a handle of an opened key.
using RegistryKey = quint32;
inline constexpr RegistryKey HKEY_CLASSES_ROOT = 0x80000000;
inline constexpr RegistryKey HKEY_CURRENT_USER = 0x80000001;
inline constexpr RegistryKey HKEY_LOCAL_MACHINE = 0x80000002;
inline constexpr RegistryKey HKEY_USERS = 0x80000003;
inline constexpr RegistryKey HKEY_PERFORMANCE_DATA = 0x80000004;
inline constexpr RegistryKey HKEY_CURRENT_CONFIG = 0x80000005;
inline constexpr RegistryKey HKEY_DYN_DATA = 0x80000006;

bool IsPredefinedRegistryRoot(RegistryKey key);

enum RegistryValueType : int {
    REG_SZ = 1,
    REG_EXPAND_SZ = 2,
    REG_BINARY = 3,
    REG_DWORD = 4, // least significant byte first
    REG_MULTI_SZ = 7,
};

struct RegistryValue
{
    int type = REG_SZ;
    QByteArray data;
};

// A typed per-user value store in one file ($XDG_CONFIG_HOME/kelvo/registry.conf), addressed by root,
// sub key path ("\"-separated) and value name; paths and names match without regard to case. Every
// write re-reads the file and replaces it atomically.
class RegistryStore final
{
public:
    RegistryStore(); // the location of the current user

    const QString& filePath() const { return m_filePath; }

    std::optional<RegistryValue> value(RegistryKey root, const QString& subKey, const QString& name) const;
    // 0, or an errno value: EBADMSG when the file holds something this store did not write (it is
    // then left alone), else the failure of the write.
    int setValue(RegistryKey root, const QString& subKey, const QString& name, const RegistryValue& value);

private:
    struct Entry
    {
        RegistryKey root;
        QString subKey;
        QString name;
        RegistryValue value;
    };
    // nullopt when the file cannot be read or parsed; an empty list when it does not exist.
    std::optional<QList<Entry>> readEntries() const;
    int writeEntries(const QList<Entry>& entries) const;

    QString m_filePath;
};

// "a\\b\\" and "\\A\\B" name the same key: separators trimmed and collapsed.
QString NormalizedRegistryPath(const QString& subKey);

} // namespace kelvo
