#include "platform/Registry.h"

#include <QtEndian>

#include <cerrno>
#include <limits>

namespace kelvo {

namespace {

constexpr int UnsupportedValueType = -2;

const QString RunKey = QStringLiteral("Software\\Microsoft\\Windows\\CurrentVersion\\Run");
const QString RunValue = QStringLiteral("Kelvo");
const QString DesktopKey = QStringLiteral("Control Panel\\Desktop");
const QString PasswordValue = QStringLiteral("ScreenSaveUsePassword");

bool Same(const QString& a, const QString& b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

bool IsAutostartValue(RegistryKey root, const QString& subKey, const QString& valueName)
{
    return (root == HKEY_LOCAL_MACHINE || root == HKEY_CURRENT_USER) && Same(subKey, RunKey) &&
           Same(valueName, RunValue);
}

bool IsScreenSavePasswordValue(const QString& subKey, const QString& valueName)
{
    return Same(subKey, DesktopKey) && Same(valueName, PasswordValue);
}

QByteArray TextWithZero(const QString& text)
{
    return text.toUtf8() + '\0';
}

std::optional<QByteArray> Number32(const QVariant& value)
{
    bool ok = false;
    const qlonglong number = value.toLongLong(&ok);
    if (!ok || number < std::numeric_limits<qint32>::min() || number > std::numeric_limits<quint32>::max())
        return std::nullopt;
    QByteArray bytes(4, '\0');
    qToLittleEndian(quint32(number), bytes.data());
    return bytes;
}

QByteArray TextList(const QStringList& texts)
{
    QByteArray block;
    for (const QString& text : texts)
        block += TextWithZero(text);
    return block + '\0';
}

QString ValueText(const RegistryValue& value)
{
    if (value.type == REG_DWORD) {
        if (value.data.size() != 4)
            return {};
        const qint32 number = qFromLittleEndian<qint32>(value.data.constData());
        const QString digits = QString::number(qAbs(qint64(number))).rightJustified(3, u'0');
        return number < 0 ? u'-' + digits : digits;
    }
    QByteArray data = value.data;
    if (data.endsWith('\0'))
        data.chop(1);
    return QString::fromUtf8(data);
}

} // namespace

Registry::Registry() = default;

QString Registry::ReadRegistryValue(RegistryKey root, const QString& subKey, const QString& valueName) const
{
    if (!IsPredefinedRegistryRoot(root))
        return {};
    const auto value = queryValue(KeyPath{root, NormalizedRegistryPath(subKey)}, valueName);
    return value ? ValueText(*value) : QString();
}

bool Registry::OpenRegistryKey(const QString& subKey, RegistryKey root)
{
    const auto key = resolve(root, subKey);
    if (!key) {
        m_lastError = EBADF;
        return false;
    }
    m_handle = m_nextHandle++;
    m_openKeys.emplace(m_handle, *key);
    return true;
}

bool Registry::SetRegistryValue(const QString& subKey, RegistryKey root, const QString& valueName,
                                const QVariant& value, int valueType)
{
    if (!OpenRegistryKey(subKey, root))
        return false;
    const RegistryKey handle = m_handle;
    const int code = writeValue(m_openKeys.at(handle), valueName, value, valueType);
    CloseRegistryKey(handle);
    m_lastError = code;
    return code == 0;
}

void Registry::CloseRegistryKey(RegistryKey handle)
{
    m_openKeys.erase(handle);
}

std::optional<Registry::KeyPath> Registry::resolve(RegistryKey key, const QString& subKey) const
{
    if (IsPredefinedRegistryRoot(key))
        return KeyPath{key, NormalizedRegistryPath(subKey)};
    const auto open = m_openKeys.find(key);
    if (open == m_openKeys.end())
        return std::nullopt;
    return KeyPath{open->second.root, NormalizedRegistryPath(open->second.subKey + u'\\' + subKey)};
}

std::optional<RegistryValue> Registry::queryValue(const KeyPath& key, const QString& valueName) const
{
    if (IsScreenSavePasswordValue(key.subKey, valueName))
        return std::nullopt;
    if (IsAutostartValue(key.root, key.subKey, valueName)) {
        const QString command = m_autostart.command();
        if (command.isEmpty())
            return std::nullopt;
        return RegistryValue{REG_SZ, TextWithZero(command)};
    }
    return m_store.value(key.root, key.subKey, valueName);
}

int Registry::writeValue(const KeyPath& key, const QString& valueName, const QVariant& value, int valueType)
{
    RegistryValue stored{valueType, {}};
    switch (valueType) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        stored.data = TextWithZero(value.toString());
        break;
    case REG_DWORD: {
        const auto number = Number32(value);
        if (!number)
            return EINVAL;
        stored.data = *number;
        break;
    }
    case REG_MULTI_SZ:
        stored.data = TextList(value.toStringList());
        break;
    case REG_BINARY:
        stored.data = value.toByteArray();
        break;
    default:
        return UnsupportedValueType;
    }
    if (IsAutostartValue(key.root, key.subKey, valueName))
        return valueType == REG_SZ || valueType == REG_EXPAND_SZ
                   ? m_autostart.setCommand(value.toString()).errnoValue()
                   : UnsupportedValueType;
    return m_store.setValue(key.root, key.subKey, valueName, stored);
}

} // namespace kelvo
