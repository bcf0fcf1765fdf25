#pragma once

#include "platform/SettingsDocument.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <utility>

namespace kelvo {

// Where a value that cannot be used is reported: the load names it; the save's re-read of the store
// does not name it a second time.
enum class Warnings { Shown, Hidden };

struct Owner
{
    QString name;
    Warnings warnings = Warnings::Shown;
};

QString BooleanText(bool value);

// A boolean without a default falls back to false unless the caller names the safer value, so a
// damaged set loads disabled and does nothing until the user has looked at it.
bool ToBoolean(const std::optional<QString>& stored, const std::optional<QString>& defaultValue,
               const Owner& owner, const QString& key, bool fallbackWithoutDefault = false);
// Numbers out of the setting's range are as unusable as texts that are no number.
qint16 ToInteger(const std::optional<QString>& stored, const QString& defaultValue, qint16 minimum,
                 qint16 maximum, const Owner& owner, const QString& key);

// Reads one section of a snapshot, converting each value to its field's type.
class FieldReader final
{
public:
    FieldReader(const SettingsDocument& document, QString section, Owner owner)
        : m_document(document), m_section(std::move(section)), m_owner(std::move(owner))
    {}

    QString text(const QString& key, const QString& defaultValue = {}) const
    {
        return m_document.GetSetting(m_section, key, defaultValue);
    }
    bool boolean(const QString& key, const std::optional<QString>& defaultValue = std::nullopt) const
    {
        return ToBoolean(m_document.FindSetting(m_section, key), defaultValue, m_owner, key);
    }
    // A key that must be present, read as fallback (with a warning) when it is missing or unreadable.
    bool requiredBoolean(const QString& key, bool fallback) const
    {
        return ToBoolean(m_document.FindSetting(m_section, key), std::nullopt, m_owner, key, fallback);
    }
    qint16 integer(const QString& key, const QString& defaultValue, qint16 minimum, qint16 maximum) const
    {
        return ToInteger(m_document.FindSetting(m_section, key), defaultValue, minimum, maximum, m_owner,
                         key);
    }
    QString choice(const QString& key, const QString& defaultValue, const QStringList& allowed) const;

private:
    const SettingsDocument& m_document;
    QString m_section;
    Owner m_owner;
};

class FieldWriter final
{
public:
    FieldWriter(SettingsDocument& document, QString section)
        : m_document(document), m_section(std::move(section))
    {}

    void text(const QString& key, const QString& value) { m_document.SaveSetting(m_section, key, value); }
    void boolean(const QString& key, bool value) { text(key, BooleanText(value)); }

private:
    SettingsDocument& m_document;
    QString m_section;
};

} // namespace kelvo
