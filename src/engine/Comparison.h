#pragma once

#include "config/Configuration.h"
#include "engine/Clock.h"
#include "engine/KeptCopyNames.h"

#include <string>
#include <string_view>

namespace kelvo {

class DirectoryHandle;
class File;
struct FileLocation;

// When NeedsCopy is asked: before a copy it may keep the old destination aside; after a copy it only
// confirms that the pair now agrees.
enum class CopyCheck { BeforeCopy, AfterCopy };

// How finely the two sides keep modification times. FAT and exFAT keep them to two seconds, so a
// copy there can look up to two seconds older than its source without being out of date.
enum class TimePrecision { OneSecond, TwoSeconds };

// A two-way pair whose destination holds a version that the copy must not simply replace: both sides
// changed since the set's last run, or the copying side is dated in the future and no record tells.
struct SyncConflict
{
    std::string keptAs; // where the destination's version now is; empty when there was no conflict
    bool futureDated = false;
};

// Whether the file at source must be copied over destination, by the set's criterion and overwrite
// rule, and in a two-way set by what each side did since the set's last run. Before a copy that
// replaces an existing file, moves that file aside when the set keeps copies, or in a conflict as a
// conflict copy, and says so in conflict; keptName receives the name of the kept copy made (in the
// destination's directory or the set's sub directory), or stays empty. Raises 53 when the source has
// gone.
bool NeedsCopy(const Clock& clock, const BackupSet& set, const FileLocation& source,
               const FileLocation& destination, CopyCheck check,
               TimePrecision precision = TimePrecision::OneSecond, SyncConflict* conflict = nullptr,
               std::string* keptName = nullptr);

// Records on both files of a two-way pair that the run left them in agreement, so that the next run
// can tell which side changed. A file that cannot take the record only loses that knowledge.
void RecordSynced(const File& source, const FileLocation& destination);

// Moves the existing destination file to its kept name: stamped with the date and time
// ("ddMMyyyy-hhmmss", with ".2", ".3", ... added when a kept copy of the same second has the name) or
// numbered with the first free sequence number, beside it or in the set's sub directory. A kept copy
// never replaces another, except under the file's own name in the sub directory, which holds the
// version last replaced. Afterwards destination names the kept copy.
void KeepExistingCopy(const Clock& clock, const BackupSet& set, File& destination);

// Whether the set keeps a file it replaces or removes: under its own name beside itself there is no
// name to keep it under.
bool KeepsCopies(const BackupSet& set);

// Keeps destination, about to be replaced or removed, when the set keeps copies (KeepExistingCopy).
// copyingSide is the file's place on the copying side. When the directory there holds a folder of
// the kept-copies folder's name, that folder's backup is the kept-copies folder: nothing is kept, and
// the failure (75, naming the folder) says the file must be left as it is.
void KeepBeforeReplacing(const Clock& clock, const BackupSet& set, const FileLocation& copyingSide,
                         File& destination);

// The precision of the coarser of the two directories' file systems.
TimePrecision TimePrecisionOf(const DirectoryHandle& directory, const DirectoryHandle& otherDirectory);

} // namespace kelvo
