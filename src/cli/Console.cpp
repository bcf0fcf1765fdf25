#include "cli/Console.h"

#include "engine/LogFile.h"

namespace kelvo::cli {

namespace {

void WriteLine(std::FILE* stream, const QByteArray& bytes)
{
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stream);
    std::fputc('\n', stream);
}

} // namespace

QByteArray TerminalText(const QString& text)
{
    return QByteArray::fromStdString(EscapedLine(text.toLocal8Bit().toStdString()));
}

void PrintLine(std::FILE* stream, const QString& text)
{
    WriteLine(stream, TerminalText(text));
}

void PrintEscapedLine(std::FILE* stream, const QString& line)
{
    WriteLine(stream, line.toLocal8Bit());
}

void PrintCounters(std::initializer_list<std::pair<const char*, qint64>> counters)
{
    for (const auto& [label, count] : counters)
        PrintLine(stdout, QStringLiteral("%1: %2").arg(QLatin1StringView(label)).arg(count));
}

} // namespace kelvo::cli
