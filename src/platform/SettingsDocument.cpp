#include "platform/SettingsDocument.h"

#include <QStringDecoder>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

// The file is meant to be read and, with care, edited by a person. A name or value is written as it
// is unless a reader could not get it back that way: surrounding blanks (an editor would trim them),
// a leading quote, control characters, and for keys also "=" and a leading "[", "#" or ";". Those are
// written in double quotes with backslash escapes, so every text, including "", round-trips exactly.
namespace kelvo {

namespace {

const QString FileHeader =
    u"# Kelvo settings: [section] lines followed by key = value lines.\n"
    u"# A name or value in double quotes uses the escapes \\\\ \\\" \\n \\r \\t \\xHH; any other text\n"
    u"# stands as written up to the end of its line. Comments are not kept when the program saves.\n"_s;

bool IsBlank(QChar c)
{
    return c == u' ' || c == u'\t';
}

bool IsControl(QChar c)
{
    return c.unicode() < 0x20 || c.unicode() == 0x7f;
}

QStringView TrimBlanks(QStringView text)
{
    while (!text.isEmpty() && IsBlank(text.front()))
        text = text.sliced(1);
    while (!text.isEmpty() && IsBlank(text.back()))
        text.chop(1);
    return text;
}

bool ValueNeedsQuotes(const QString& text)
{
    return TrimBlanks(text).size() != text.size() || text.startsWith(u'"') ||
           std::any_of(text.begin(), text.end(), IsControl);
}

bool SectionNeedsQuotes(const QString& name)
{
    return name.isEmpty() || ValueNeedsQuotes(name);
}

bool KeyNeedsQuotes(const QString& key)
{
    return SectionNeedsQuotes(key) || key.contains(u'=') || key.startsWith(u'[') || key.startsWith(u'#') ||
           key.startsWith(u';');
}

QString Quote(const QString& text)
{
    QString quoted = u"\""_s;
    quoted.reserve(text.size() + 2);
    for (const QChar c : text) {
        switch (c.unicode()) {
        case u'\\':
            quoted += u"\\\\"_s;
            break;
        case u'"':
            quoted += u"\\\""_s;
            break;
        case u'\n':
            quoted += u"\\n"_s;
            break;
        case u'\r':
            quoted += u"\\r"_s;
            break;
        case u'\t':
            quoted += u"\\t"_s;
            break;
        default:
            if (IsControl(c))
                quoted += u"\\x%1"_s.arg(uint(c.unicode()), 2, 16, QChar(u'0'));
            else
                quoted += c;
        }
    }
    return quoted + u'"';
}

QString Written(const QString& text, bool needsQuotes)
{
    return needsQuotes ? Quote(text) : text;
}

std::optional<QChar> Unescape(QStringView text, qsizetype& pos)
{
    if (pos >= text.size())
        return std::nullopt;
    switch (text[pos++].unicode()) {
    case u'\\':
        return u'\\';
    case u'"':
        return u'"';
    case u'n':
        return u'\n';
    case u'r':
        return u'\r';
    case u't':
        return u'\t';
    case u'x': {
        bool ok = false;
        const ushort code = pos + 2 <= text.size() ? text.sliced(pos, 2).toUShort(&ok, 16) : 0;
        pos += 2;
        return ok ? std::optional<QChar>(QChar(code)) : std::nullopt;
    }
    default:
        return std::nullopt;
    }
}

// Reads the quoted text that starts at text[pos]; pos ends behind the closing quote.
std::optional<QString> Unquote(QStringView text, qsizetype& pos)
{
    QString result;
    for (++pos; pos < text.size();) {
        const QChar c = text[pos++];
        if (c == u'"')
            return result;
        if (c != u'\\') {
            result += c;
            continue;
        }
        const std::optional<QChar> escaped = Unescape(text, pos);
        if (!escaped)
            return std::nullopt;
        result += *escaped;
    }
    return std::nullopt;
}

// A name or value that fills the whole (trimmed) text: quoted, or standing as written.
std::optional<QString> ReadToken(QStringView text)
{
    if (!text.startsWith(u'"'))
        return text.toString();
    qsizetype pos = 0;
    std::optional<QString> token = Unquote(text, pos);
    return pos == text.size() ? token : std::nullopt;
}

QString Folded(const QString& name)
{
    return name.toCaseFolded();
}

} // namespace

qsizetype SettingsDocument::findSection(const QString& name) const
{
    return m_sectionIndex.value(Folded(name), -1);
}

qsizetype SettingsDocument::sectionFor(const QString& name)
{
    const qsizetype found = findSection(name);
    if (found >= 0)
        return found;
    m_sections.append(Section{name, {}, {}});
    m_sectionIndex.insert(Folded(name), m_sections.size() - 1);
    return m_sections.size() - 1;
}

std::optional<QString> SettingsDocument::FindSetting(const QString& section, const QString& key) const
{
    const qsizetype found = findSection(section);
    if (found < 0)
        return std::nullopt;
    const Section& s = m_sections[found];
    const qsizetype position = s.keyIndex.value(Folded(key), -1);
    return position < 0 ? std::nullopt : std::optional<QString>(s.pairs[position].second);
}

QString SettingsDocument::GetSetting(const QString& section, const QString& key,
                                     const QString& defaultValue) const
{
    return FindSetting(section, key).value_or(defaultValue);
}

void SettingsDocument::SaveSetting(const QString& section, const QString& key, const QString& value)
{
    saveInSection(m_sections[sectionFor(section)], key, value);
}

void SettingsDocument::saveInSection(Section& section, const QString& key, const QString& value)
{
    const QString folded = Folded(key);
    if (const auto it = section.keyIndex.constFind(folded); it != section.keyIndex.constEnd()) {
        section.pairs[*it].second = value;
        return;
    }
    section.keyIndex.insert(folded, section.pairs.size());
    section.pairs.append({key, value});
}

bool SettingsDocument::DeleteSetting(const QString& section)
{
    const qsizetype found = findSection(section);
    if (found < 0)
        return false;
    m_sections.removeAt(found);
    m_sectionIndex.remove(Folded(section));
    for (auto it = m_sectionIndex.begin(); it != m_sectionIndex.end(); ++it) {
        if (*it > found)
            --*it;
    }
    return true;
}

SettingPairs SettingsDocument::GetAllSettings(const QString& section) const
{
    const qsizetype found = findSection(section);
    return found < 0 ? SettingPairs{} : m_sections[found].pairs;
}

void SettingsDocument::clear()
{
    m_sections.clear();
    m_sectionIndex.clear();
}

bool SettingsDocument::isEmpty() const
{
    return m_sections.isEmpty();
}

QByteArray SettingsDocument::serialize() const
{
    QString text = FileHeader;
    for (const Section& section : m_sections) {
        text += u"\n["_s + Written(section.name, SectionNeedsQuotes(section.name)) + u"]\n"_s;
        for (const auto& [key, value] : section.pairs) {
            text += Written(key, KeyNeedsQuotes(key)) + u" ="_s;
            if (!value.isEmpty())
                text += u' ' + Written(value, ValueNeedsQuotes(value));
            text += u'\n';
        }
    }
    return text.toUtf8();
}

bool SettingsDocument::parse(const QByteArray& bytes)
{
    clear();
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder(bytes);
    bool ok = !decoder.hasError();
    qsizetype currentSection = -1;
    for (QStringView line : QStringView(text).split(u'\n')) {
        if (!ok)
            break;
        if (line.endsWith(u'\r'))
            line.chop(1);
        ok = parseLine(TrimBlanks(line), currentSection);
    }
    if (!ok)
        clear();
    return ok;
}

bool SettingsDocument::parseLine(QStringView line, qsizetype& currentSection)
{
    if (line.isEmpty() || line.startsWith(u'#') || line.startsWith(u';'))
        return true;
    if (line.startsWith(u'[')) {
        if (!line.endsWith(u']') || line.size() < 2)
            return false;
        const std::optional<QString> name = ReadToken(TrimBlanks(line.sliced(1, line.size() - 2)));
        if (!name)
            return false;
        currentSection = sectionFor(*name);
        return true;
    }
    if (currentSection < 0)
        return false;
    std::optional<QString> key;
    qsizetype pos = 0;
    if (line.startsWith(u'"')) {
        key = Unquote(line, pos);
        while (pos < line.size() && IsBlank(line[pos]))
            ++pos;
    } else {
        pos = line.indexOf(u'=');
        if (pos > 0)
            key = TrimBlanks(line.first(pos)).toString();
    }
    if (!key || pos >= line.size() || line[pos] != u'=')
        return false;
    const std::optional<QString> value = ReadToken(TrimBlanks(line.sliced(pos + 1)));
    if (!value)
        return false;
    saveInSection(m_sections[currentSection], *key, *value);
    return true;
}

} // namespace kelvo
