#pragma once

#include "engine/RunContext.h"
#include "platform/FileSystem.h"

#include <QtGlobal>

#include <string>

namespace kelvo {

// Bytes of one chunk: progress moves and events run once per chunk.
inline constexpr qint64 CopyChunkSize = 2048;

// Copies source over destination. The new contents go to a file beside the destination that
// replaces it only when complete, with the source's times and attributes; the old destination is
// untouched by any failure. Gives the source's length (1 for an empty source), or 0 after a failure,
// which it counts as an error. A full disk (61) is counted and passed on.
qint64 CopyFileWithProgress(RunContext& context, const FileLocation& source, const FileLocation& destination);

} // namespace kelvo
