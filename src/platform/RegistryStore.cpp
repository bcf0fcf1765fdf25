#include "platform/RegistryStore.h"

#include "platform/ReplacementFile.h"

#include <QFile>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>

namespace kelvo {

namespace {

bool SameName(const QString& a, const QString& b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

QByteArray Encode(const QString& text)
{
    return text.toUtf8().toPercentEncoding();
}

QString Decode(const QByteArray& field)
{
    return QString::fromUtf8(QByteArray::fromPercentEncoding(field));
}

} // namespace

bool IsPredefinedRegistryRoot(RegistryKey key)
{
    return key >= HKEY_CLASSES_ROOT && key <= HKEY_DYN_DATA;
}

QString NormalizedRegistryPath(const QString& subKey)
{
    return subKey.split(QLatin1Char('\\'), Qt::SkipEmptyParts).join(QLatin1Char('\\'));
}

RegistryStore::RegistryStore()
    : m_filePath(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                 QStringLiteral("/kelvo/registry.conf"))
{}

std::optional<RegistryValue> RegistryStore::value(RegistryKey root, const QString& subKey,
                                                  const QString& name) const
{
    const auto entries = readEntries();
    if (!entries)
        return std::nullopt;
    const QString path = NormalizedRegistryPath(subKey);
    for (const Entry& entry : *entries) {
        if (entry.root == root && SameName(entry.subKey, path) && SameName(entry.name, name))
            return entry.value;
    }
    return std::nullopt;
}

int RegistryStore::setValue(RegistryKey root, const QString& subKey, const QString& name,
                            const RegistryValue& value)
{
    auto entries = readEntries();
    if (!entries)
        return EBADMSG;
    const QString path = NormalizedRegistryPath(subKey);
    const auto existing = std::find_if(entries->begin(), entries->end(), [&](const Entry& entry) {
        return entry.root == root && SameName(entry.subKey, path) && SameName(entry.name, name);
    });
    if (existing != entries->end())
        existing->value = value;
    else
        entries->append(Entry{root, path, name, value});
    return writeEntries(*entries);
}

// One line per value: root (hex), sub key and name (percent-encoded), type, data (hex).
std::optional<QList<RegistryStore::Entry>> RegistryStore::readEntries() const
{
    QFile file(m_filePath);
    if (!file.exists())
        return QList<Entry>{};
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QList<Entry> entries;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.isEmpty())
            continue;
        const QList<QByteArray> fields = line.split('\t');
        bool rootOk = false;
        bool typeOk = false;
        const RegistryKey root = fields.value(0).toUInt(&rootOk, 16);
        const int type = fields.value(3).toInt(&typeOk);
        if (fields.size() != 5 || !rootOk || !typeOk)
            return std::nullopt;
        entries.append(Entry{root, Decode(fields[1]), Decode(fields[2]),
                             RegistryValue{type, QByteArray::fromHex(fields[4])}});
    }
    return entries;
}

int RegistryStore::writeEntries(const QList<Entry>& entries) const
{
    QByteArray text;
    for (const Entry& entry : entries) {
        text += QByteArray::number(entry.root, 16) + '\t' + Encode(entry.subKey) + '\t' + Encode(entry.name) +
                '\t' + QByteArray::number(entry.value.type) + '\t' + entry.value.data.toHex() + '\n';
    }
    return ReplaceUserFile(m_filePath, text, 0600).errnoValue();
}

} // namespace kelvo
