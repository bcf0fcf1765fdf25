#include "cli/CliObserver.h"

#include "cli/Console.h"
#include "cli/Interruption.h"

#include <algorithm>

namespace kelvo::cli {

using namespace Qt::StringLiterals;

namespace {

constexpr auto RedrawInterval = std::chrono::milliseconds(100);
constexpr int BarWidth = 30;
constexpr qsizetype FileNameWidth = 40;

QString Bar(int percent)
{
    const int filled = std::clamp(percent, 0, 100) * BarWidth / 100;
    return QString(filled, u'#') + QString(BarWidth - filled, u'-');
}

QString Shortened(const QString& name)
{
    return name.size() <= FileNameWidth ? name : u"..."_s + name.right(FileNameWidth - 3);
}

} // namespace

CliObserver::CliObserver(std::FILE* terminal) : m_terminal(terminal) {}

void CliObserver::statisticsChanged(const RunStatistics& statistics)
{
    m_statistics = statistics;
    redraw();
}

void CliObserver::currentFileChanged(const QString& name)
{
    m_file = name;
    redraw();
}

void CliObserver::fileProgressChanged(int percent)
{
    m_filePercent = percent;
    redraw();
}

void CliObserver::overallProgressChanged(int percent)
{
    m_overallPercent = percent;
    redraw();
}

bool CliObserver::stopRequested() const
{
    return InterruptionRequested();
}

void CliObserver::errorReported(const QString& line)
{
    finish();
    PrintEscapedLine(stderr, line);
}

void CliObserver::finish()
{
    if (m_terminal && m_drawn)
        std::fputs("\r\033[K", m_terminal);
    m_drawn = false;
}

void CliObserver::redraw()
{
    if (!m_terminal)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (m_drawn && now - m_lastDraw < RedrawInterval)
        return;
    m_lastDraw = now;
    m_drawn = true;
    // One multi-argument arg() call, so that a file name holding "%1" is not taken for a place holder.
    // The name is escaped before it is shortened, so that the width counts what the terminal shows.
    const QString line = u"\r\033[K[%1] %2%  copied %3  errors %4  %5 %6%"_s.arg(
        Bar(m_overallPercent), QString::number(m_overallPercent).rightJustified(3),
        QString::number(m_statistics.filesCopied), QString::number(m_statistics.errors),
        Shortened(QString::fromLocal8Bit(TerminalText(m_file))), QString::number(m_filePercent));
    const QByteArray bytes = line.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), m_terminal);
    std::fflush(m_terminal);
}

} // namespace kelvo::cli
