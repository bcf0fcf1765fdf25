#pragma once

#include "engine/RunContext.h"
#include "platform/FileSystem.h"

#include <QtGlobal>

#include <functional>
#include <string>

namespace kelvo {

// Bytes of one chunk: progress moves and events run once per chunk.
inline constexpr qint64 CopyChunkSize = 2048;

// Copies source over destination. The new contents go to a file beside the destination that
// replaces it only when complete, with the source's times and attributes; the old destination is
// untouched by any failure. Gives the source's length (1 for an empty source), or 0 after a failure,
// which it counts as an error. A full disk (61) is counted and passed on.
// linkInstead, when given, is asked first with the source's properties: when it answers true it has put
// the copy in place itself (another name of an earlier copy of the same file) and nothing is copied.
qint64 CopyFileWithProgress(RunContext& context, const FileLocation& source, const FileLocation& destination,
                            const std::function<bool(const File& source)>& linkInstead = {});

} // namespace kelvo
