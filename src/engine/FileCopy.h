#pragma once

#include "engine/FileContents.h"
#include "engine/RunContext.h"
#include "platform/FileSystem.h"

#include <QtGlobal>

#include <functional>
#include <string>

namespace kelvo {

// Copies source over destination. The new contents go to a file beside the destination that
// replaces it only when complete, with the source's times and attributes; the old destination is
// untouched by any failure. Gives the source's length (1 for an empty source), or 0 after a failure,
// which it counts as an error. A full disk (61) is counted and passed on. refusals keeps what the file
// systems of one set would not do, so that they are asked once.
// linkInstead, when given, is asked first with the source's properties: when it answers true it has put
// the copy in place itself (another name of an earlier copy of the same file) and nothing is copied.
qint64 CopyFileWithProgress(RunContext& context, CopyRefusals& refusals, const FileLocation& source,
                            const FileLocation& destination,
                            const std::function<bool(const File& source)>& linkInstead = {});

// The same copy for a caller that handles its failures itself: raises them, and RunStopped on a Stop.
qint64 CopyFileOver(RunObserver& observer, CopyRefusals& refusals, const FileLocation& source,
                    const FileLocation& destination,
                    const std::function<bool(const File& source)>& linkInstead = {});

} // namespace kelvo
