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

// The keys and values a file repeats are short; a long text (a path) is rarely worth a place in the pool.
constexpr qsizetype LongestPooledText = 24;

QString Pooled(QSet<QString>& pool, const QString& text)
{
    return text.size() > LongestPooledText ? text : *pool.insert(text);
}

// Up to this many keys a section is searched in a row: the list of sets gets a hash table, a set's own
// section does not need one.
constexpr qsizetype LongestScannedSection = 32;

QStringView WithoutLineEnd(QStringView line)
{
    if (line.endsWith(u'\n'))
        line.chop(1);
    if (line.endsWith(u'\r'))
        line.chop(1);
    return line;
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
    m_sections.append(Section{name, {}, {}, {}});
    m_sectionIndex.insert(Folded(name), m_sections.size() - 1);
    return m_sections.size() - 1;
}

qsizetype SettingsDocument::Section::position(const QString& foldedKey, size_t hash) const
{
    if (!keyIndex.isEmpty())
        return keyIndex.value(foldedKey, -1);
    for (qsizetype i = 0; i < keyHashes.size(); ++i) {
        if (keyHashes[i] == hash && Folded(pairs[i].first) == foldedKey)
            return i;
    }
    return -1;
}

void SettingsDocument::Section::append(const QString& key, const QString& value, const QString& foldedKey,
                                       size_t hash)
{
    pairs.append({key, value});
    keyHashes.append(hash);
    if (!keyIndex.isEmpty()) {
        keyIndex.insert(foldedKey, pairs.size() - 1);
    } else if (pairs.size() > LongestScannedSection) {
        for (qsizetype i = 0; i < pairs.size(); ++i)
            keyIndex.insert(Folded(pairs[i].first), i);
    }
}

// Writing moves from section to section (a parse, a save of every set). The lists of a section grow in
// steps that leave a third of them unused, so the short section left behind gives that room back:
// thousands of sets make it count. A long one (the list of sets, written between the sections of its
// sets) would be copied at every step.
qsizetype SettingsDocument::sectionToWrite(const QString& name)
{
    const qsizetype section = sectionFor(name);
    if (m_written >= 0 && m_written != section && m_sections[m_written].pairs.size() <= LongestScannedSection)
        m_sections[m_written].squeeze();
    m_written = section;
    return section;
}

void SettingsDocument::Section::squeeze()
{
    pairs.squeeze();
    keyHashes.squeeze();
}

std::optional<QString> SettingsDocument::FindSetting(const QString& section, const QString& key) const
{
    const qsizetype found = findSection(section);
    if (found < 0)
        return std::nullopt;
    const Section& s = m_sections[found];
    const QString folded = Folded(key);
    const qsizetype position = s.position(folded, qHash(folded));
    return position < 0 ? std::nullopt : std::optional<QString>(s.pairs[position].second);
}

QString SettingsDocument::GetSetting(const QString& section, const QString& key,
                                     const QString& defaultValue) const
{
    return FindSetting(section, key).value_or(defaultValue);
}

void SettingsDocument::SaveSetting(const QString& section, const QString& key, const QString& value)
{
    saveInSection(m_sections[sectionToWrite(section)], key, value);
}

void SettingsDocument::saveInSection(Section& section, const QString& key, const QString& value)
{
    const QString folded = Folded(key);
    const size_t hash = qHash(folded);
    if (const qsizetype position = section.position(folded, hash); position >= 0)
        section.pairs[position].second = value;
    else
        section.append(key, value, folded, hash);
}

bool SettingsDocument::DeleteSetting(const QString& section)
{
    const qsizetype found = findSection(section);
    if (found < 0)
        return false;
    m_sections.removeAt(found);
    m_written = -1; // positions behind found moved
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
    m_written = -1;
}

bool SettingsDocument::isEmpty() const
{
    return m_sections.isEmpty();
}

// Written as UTF-8 a text at a time: the whole file is never held as UTF-16 besides.
QByteArray SettingsDocument::serialize() const
{
    QByteArray text = FileHeader.toUtf8();
    for (const Section& section : m_sections) {
        text += "\n[" + Written(section.name, SectionNeedsQuotes(section.name)).toUtf8() + "]\n";
        for (const auto& [key, value] : section.pairs) {
            text += Written(key, KeyNeedsQuotes(key)).toUtf8();
            text += " =";
            if (!value.isEmpty())
                text += ' ' + Written(value, ValueNeedsQuotes(value)).toUtf8();
            text += '\n';
        }
    }
    return text;
}

// Decoded a line at a time, so the file is never held twice. Each piece ends with its "\n", which ends
// any UTF-8 sequence, so one decoder reads the pieces exactly as it would read the whole.
bool SettingsDocument::parse(const QByteArray& bytes)
{
    clear();
    QStringDecoder decoder(QStringDecoder::Utf8);
    TextPool pool;
    qsizetype currentSection = -1;
    bool ok = true;
    for (qsizetype start = 0; ok && start < bytes.size();) {
        const qsizetype newline = bytes.indexOf('\n', start);
        const qsizetype end = newline < 0 ? bytes.size() : newline + 1;
        const QString line = decoder(QByteArrayView(bytes).sliced(start, end - start));
        start = end;
        ok = !decoder.hasError() && parseLine(TrimBlanks(WithoutLineEnd(line)), currentSection, pool);
    }
    if (!ok)
        clear();
    return ok;
}

bool SettingsDocument::parseLine(QStringView line, qsizetype& currentSection, TextPool& pool)
{
    if (line.isEmpty() || line.startsWith(u'#') || line.startsWith(u';'))
        return true;
    if (line.startsWith(u'[')) {
        if (!line.endsWith(u']') || line.size() < 2)
            return false;
        const std::optional<QString> name = ReadToken(TrimBlanks(line.sliced(1, line.size() - 2)));
        if (!name)
            return false;
        currentSection = sectionToWrite(*name);
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
    saveInSection(m_sections[currentSection], Pooled(pool, *key), Pooled(pool, *value));
    return true;
}

} // namespace kelvo
