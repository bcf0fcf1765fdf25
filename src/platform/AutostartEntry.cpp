#include "platform/AutostartEntry.h"

#include "platform/ReplacementFile.h"

#include <QFile>
#include <QStandardPaths>

#include <algorithm>

namespace kelvo {

namespace {

const QString ExecKey = QStringLiteral("Exec=");
const QString HiddenKey = QStringLiteral("Hidden=");

bool NeedsQuoting(const QString& argument)
{
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    return argument.isEmpty() ||
           std::any_of(argument.begin(), argument.end(), [](QChar c) { return reserved.contains(c); });
}

// Quoting rules of the Exec key: inside quotes, ", `, $ and \ are escaped with a backslash; a literal
// % is doubled so that it is not read as a field code.
QString QuotedExecArgument(const QString& argument)
{
    QString quoted = QStringLiteral("\"");
    for (const QChar c : argument) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
            quoted += u'\\';
        quoted += c;
    }
    return quoted + u'"';
}

// The file's string escapes, applied on top of the Exec quoting.
QString EscapedForFile(const QString& text)
{
    QString escaped;
    for (const QChar c : text) {
        if (c == u'\\')
            escaped += QStringLiteral("\\\\");
        else if (c == u'\n')
            escaped += QStringLiteral("\\n");
        else if (c == u'\t')
            escaped += QStringLiteral("\\t");
        else if (c == u'\r')
            escaped += QStringLiteral("\\r");
        else
            escaped += c;
    }
    return escaped;
}

QChar UnescapedCharacter(QChar code)
{
    switch (code.unicode()) {
    case u's':
        return u' ';
    case u'n':
        return u'\n';
    case u't':
        return u'\t';
    case u'r':
        return u'\r';
    default:
        return code;
    }
}

QString UnescapedFromFile(const QString& text)
{
    QString plain;
    for (qsizetype i = 0; i < text.size(); ++i)
        plain += text[i] == u'\\' && i + 1 < text.size() ? UnescapedCharacter(text[++i]) : text[i];
    return plain;
}

QString WithoutFieldCodeEscapes(const QString& argument)
{
    return QString(argument).replace(QStringLiteral("%%"), QStringLiteral("%"));
}

} // namespace

QStringList SplitCommandLine(const QString& commandLine)
{
    QStringList words;
    QString word;
    bool inWord = false;
    bool quoted = false;
    for (const QChar c : commandLine) {
        if (c == u'"') {
            quoted = !quoted;
            inWord = true;
        } else if (!quoted && (c == u' ' || c == u'\t')) {
            if (inWord)
                words.append(word);
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord)
        words.append(word);
    return words;
}

QString ExecValue(const QStringList& arguments)
{
    QStringList parts;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        QString argument = QString(arguments[i]).replace(u'%', QStringLiteral("%%"));
        // The program path is always quoted, as the start-up command line of the program has it.
        parts.append(i == 0 || NeedsQuoting(arguments[i]) ? QuotedExecArgument(argument) : argument);
    }
    return EscapedForFile(parts.join(u' '));
}

QStringList ExecArguments(const QString& value)
{
    const QString exec = UnescapedFromFile(value);
    QStringList arguments;
    QString argument;
    bool inArgument = false;
    bool quoted = false;
    for (qsizetype i = 0; i < exec.size(); ++i) {
        const QChar c = exec[i];
        if (quoted && c == u'\\' && i + 1 < exec.size()) {
            argument += exec[++i];
        } else if (c == u'"') {
            quoted = !quoted;
            inArgument = true;
        } else if (!quoted && c == u' ') {
            if (inArgument)
                arguments.append(WithoutFieldCodeEscapes(argument));
            argument.clear();
            inArgument = false;
        } else {
            argument += c;
            inArgument = true;
        }
    }
    if (inArgument)
        arguments.append(WithoutFieldCodeEscapes(argument));
    return arguments;
}

AutostartEntry::AutostartEntry()
    : m_filePath(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                 QStringLiteral("/autostart/kelvo.desktop"))
{}

QString AutostartEntry::command() const
{
    QFile file(m_filePath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QString exec;
    bool inMainGroup = false;
    for (const QString& line : QString::fromUtf8(file.readAll()).split(u'\n')) {
        if (line.startsWith(u'['))
            inMainGroup = line.trimmed() == QStringLiteral("[Desktop Entry]");
        else if (inMainGroup && line.startsWith(HiddenKey) &&
                 line.mid(HiddenKey.size()).trimmed() == QStringLiteral("true"))
            return {};
        else if (inMainGroup && line.startsWith(ExecKey))
            exec = line.mid(ExecKey.size());
    }
    QStringList arguments = ExecArguments(exec);
    if (arguments.isEmpty())
        return {};
    QStringList words{u'"' + arguments.takeFirst() + u'"'};
    for (const QString& argument : arguments)
        words.append(argument.contains(u' ') ? u'"' + argument + u'"' : argument);
    return words.join(u' ');
}

Outcome AutostartEntry::setCommand(const QString& commandLine)
{
    const QStringList arguments = SplitCommandLine(commandLine);
    QString entry = QStringLiteral("[Desktop Entry]\nType=Application\nName=Kelvo\n");
    if (arguments.isEmpty())
        entry += HiddenKey + QStringLiteral("true\n");
    else
        entry += ExecKey + ExecValue(arguments) + u'\n';
    // Readable by all, as desktop entries are; writable by the user alone, as it names a program to run.
    return ReplaceUserFile(m_filePath, entry.toUtf8(), 0644);
}

} // namespace kelvo
