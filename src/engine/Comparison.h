#pragma once

#include "engine/BackupRun.h"

#include <string>

namespace kelvo {

class File;
struct FileLocation;

// When NeedsCopy is asked: before a copy it may keep the old destination aside; after a copy it only
// confirms that the pair now agrees.
enum class CopyCheck { BeforeCopy, AfterCopy };

// How finely the two sides keep modification times. FAT and exFAT keep them to two seconds, so a
// copy there can look up to two seconds older than its source without being out of date.
enum class TimePrecision { OneSecond, TwoSeconds };

// Whether the file at source must be copied over destination, by the set's criterion and overwrite
// rule. Before a copy that replaces an existing file, moves that file aside when the set keeps
// copies. Raises 53 when the source has gone.
bool NeedsCopy(RunContext& context, qint16 setIndex, const FileLocation& source, const FileLocation& destination,
               CopyCheck check, TimePrecision precision = TimePrecision::OneSecond);

// Moves the existing destination file to its kept name: stamped with the date ("ddmmyyyy-hms") or
// numbered with the first free sequence number, beside it or in the set's sub directory.
void KeepExistingCopy(RunContext& context, qint16 setIndex, File& destination);

// The precision of the coarser of the two directories' file systems.
TimePrecision TimePrecisionOf(const std::string& directory, const std::string& otherDirectory);

} // namespace kelvo
