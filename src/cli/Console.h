#pragma once

#include <QString>

#include <cstdio>

namespace kelvo::cli {

// Writes text and a newline in the locale's encoding, the one file names and arguments arrive in.
void PrintLine(std::FILE* stream, const QString& text);

} // namespace kelvo::cli
