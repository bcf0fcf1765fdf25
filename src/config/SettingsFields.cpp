#include "config/SettingsFields.h"

#include "platform/Failure.h"

#include <cmath>

using namespace Qt::Literals::StringLiterals;

namespace kelvo {

namespace {

// True or false in any letter case, or a number: 0 is false, any other number true.
std::optional<bool> ParseBoolean(const QString& text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.compare(u"true"_s, Qt::CaseInsensitive) == 0)
        return true;
    if (trimmed.compare(u"false"_s, Qt::CaseInsensitive) == 0)
        return false;
    bool ok = false;
    const double number = trimmed.toDouble(&ok);
    return ok && std::isfinite(number) ? std::optional<bool>(number != 0) : std::nullopt;
}

std::optional<qint16> ParseInteger(const QString& text)
{
    bool ok = false;
    const qint16 number = text.trimmed().toShort(&ok, 10);
    return ok ? std::optional<qint16>(number) : std::nullopt;
}

// A damaged value must neither crash the load nor vanish silently: it is named in one line.
void WarnOf(const Owner& owner, const QString& problem, const QString& fallback)
{
    if (owner.warnings == Warnings::Hidden)
        return;
    kelvo::Warn(u"kelvo: %1: %2; using %3"_s.arg(owner.name, problem, fallback));
}

QString Unconverted(const QString& key, const std::optional<QString>& text, const QString& kind)
{
    return text ? u"%1 has \"%2\", which is not %3"_s.arg(key, *text, kind) : key + u" is missing"_s;
}

} // namespace

bool ToBoolean(const std::optional<QString>& stored, const std::optional<QString>& defaultValue,
               const Owner& owner, const QString& key, bool fallbackWithoutDefault)
{
    const std::optional<QString> text = stored ? stored : defaultValue;
    if (const std::optional<bool> value = text ? ParseBoolean(*text) : std::nullopt)
        return *value;
    const bool fallback = defaultValue ? ParseBoolean(*defaultValue).value_or(false) : fallbackWithoutDefault;
    WarnOf(owner, Unconverted(key, text, u"a boolean"_s), BooleanText(fallback));
    return fallback;
}

qint16 ToInteger(const std::optional<QString>& stored, const QString& defaultValue, qint16 minimum,
                 qint16 maximum, const Owner& owner, const QString& key)
{
    const QString text = stored.value_or(defaultValue);
    const std::optional<qint16> value = ParseInteger(text);
    if (value && *value >= minimum && *value <= maximum)
        return *value;
    const qint16 fallback = ParseInteger(defaultValue).value_or(0);
    const QString kind = u"a whole number from %1 to %2"_s.arg(minimum).arg(maximum);
    WarnOf(owner, Unconverted(key, text, kind), QString::number(fallback));
    return fallback;
}

QString FieldReader::choice(const QString& key, const QString& defaultValue, const QStringList& allowed) const
{
    const QString value = text(key, defaultValue);
    // An empty text is what the legacy import leaves in the fields the older version lacked.
    if (value.isEmpty() || allowed.contains(value))
        return value;
    WarnOf(m_owner, u"%1 has \"%2\", which is not one of %3"_s.arg(key, value, allowed.join(u' ')),
           defaultValue);
    return defaultValue;
}

QString BooleanText(bool value)
{
    return value ? u"True"_s : u"False"_s;
}

} // namespace kelvo
