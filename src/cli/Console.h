#pragma once

#include <QByteArray>
#include <QString>

#include <cstdio>
#include <initializer_list>
#include <utility>

namespace kelvo::cli {

// Text in the locale's encoding, the one file names and arguments arrive in, with its control
// characters escaped as the log escapes them: a file name, a path, a set name, a setting or an
// argument cannot move the cursor, retitle the terminal or write its clipboard.
QByteArray TerminalText(const QString& text);

// Writes text as one line: TerminalText and a newline.
void PrintLine(std::FILE* stream, const QString& text);

// Writes "Label: count" lines, one per counter, to stdout: the summary a command ends with.
void PrintCounters(std::initializer_list<std::pair<const char*, qint64>> counters);

// Writes a line that the log has escaped already (a run's error line) and a newline.
void PrintEscapedLine(std::FILE* stream, const QString& line);

} // namespace kelvo::cli
