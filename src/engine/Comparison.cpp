#include "engine/Comparison.h"

#include "platform/Failure.h"
#include "platform/FilePath.h"
#include "platform/FileSystem.h"

#include <algorithm>
#include <sys/stat.h>
#include <sys/vfs.h>

namespace kelvo {

namespace {

constexpr long MsdosSuperMagic = 0x4d44;
constexpr long ExfatSuperMagic = 0x2011BAB0;
constexpr int LastSequenceNumber = 3000000;
// A clock set a little apart from the file server's is not the future yet.
constexpr qint64 FutureSlackSeconds = 2;

bool Later(FileTime from, FileTime to, TimePrecision precision)
{
    // Two seconds or more, to the nanosecond: whole seconds alone would take 1.1 s for 2.
    if (precision == TimePrecision::TwoSeconds) {
        const qint64 seconds = from.seconds - to.seconds;
        return seconds > 2 || (seconds == 2 && from.nanoseconds >= to.nanoseconds);
    }
    // A copy carries its source's time to the nanosecond, so a change made within the second of the
    // last copy still shows. A destination that keeps whole seconds only is compared by seconds.
    if (to.nanoseconds == 0 && from.nanoseconds != 0)
        return from.seconds > to.seconds;
    return from > to;
}

bool ModifiedLater(const File& source, const File& destination, TimePrecision precision)
{
    return Later(source.DateLastModified(), destination.DateLastModified(), precision);
}

bool NeedsCopyByDate(const File& source, const std::optional<File>& destination, TimePrecision precision)
{
    if (!destination)
        return true;
    if (ModifiedLater(source, *destination, precision))
        return true;
    // A copy made by this program carries its source's creation time.
    return source.Size() != destination->Size() && source.DateCreated() == destination->DateCreated();
}

// The same size and, as finely as both sides keep it, the same time.
bool SameState(const FileState& one, const FileState& other, TimePrecision precision)
{
    return one.size == other.size && !Later(one.modified, other.modified, precision) &&
           !Later(other.modified, one.modified, precision);
}

// The two files as a copy leaves them.
bool InAgreement(const File& one, const File& other, TimePrecision precision)
{
    return SameState(one.State(), other.State(), precision);
}

// The archive flag says whether this file changed since it was backed up, not whether its backup is
// there: a file renamed or moved keeps its flag, and its old name's backup may be deleted. So a file
// without a counterpart is copied, and so is one whose counterpart is not a copy of it (a copy carries
// its source's size and time), as after `mv` of one backed-up file over another.
bool NeedsCopyByArchiveFlag(const File& source, const std::optional<File>& destination,
                            TimePrecision precision)
{
    // Read-only and hidden (every dot-file) say nothing about whether a file changed.
    return !destination || (source.Attributes() & AttrArchive) != 0 ||
           !InAgreement(source, *destination, precision);
}

bool NeedsCopyByCriterion(const BackupSet& set, const File& source, const std::optional<File>& destination,
                          TimePrecision precision)
{
    if (CopyCriterionOf(set) == CopyCriterion::ArchiveFlag)
        return NeedsCopyByArchiveFlag(source, destination, precision);
    if (CopyCriterionOf(set) == CopyCriterion::Date)
        return NeedsCopyByDate(source, destination, precision);
    if (CopyCriterionOf(set) == CopyCriterion::Size)
        return !destination || source.Size() != destination->Size();
    return false;
}

// The set's sub directory of kept copies beside destination, made private when missing. A link or a
// file in its place is never followed: nothing is kept there, and so nothing is replaced (75).
DirectoryHandle KeptCopyFolder(const BackupSet& set, const File& destination)
{
    const FileLocation folder = destination.Location().sibling(ToFilePath(set.ArchiveSubDir));
    bool created = false;
    std::optional<DirectoryHandle> handle = OpenOrCreateDirectory(folder, created);
    if (!handle)
        throw Failure(ErrPathFileAccess, folder.path);
    return std::move(*handle);
}

bool Exists(const FileLocation& location)
{
    return File::TryGetFile(location).has_value();
}

// The first of stem.first, stem.(first + 1), ... that names nothing. When every number is taken, the
// file stays where it is: a kept copy never replaces another.
FileLocation FirstFreeNumberedLocation(const FileLocation& base, const std::string& stem, int first)
{
    for (int n = first; n <= LastSequenceNumber; ++n) {
        FileLocation candidate = base.sibling(stem + "." + std::to_string(n));
        if (!Exists(candidate))
            return candidate;
    }
    throw Failure(ErrPathFileAccess, base.sibling(stem + "." + std::to_string(LastSequenceNumber)).path);
}

// The stamped name, or with a number added when a kept copy of the same second has it.
FileLocation FreeStampedLocation(const FileLocation& base, const std::string& name, const std::string& stamp)
{
    const std::string stamped = name + "." + stamp;
    FileLocation candidate = base.sibling(stamped);
    if (!Exists(candidate))
        return candidate;
    return FirstFreeNumberedLocation(base, stamped, 2);
}

// Moves file to kept, replacing the kept copy that is there.
void MoveOver(File& file, const FileLocation& kept)
{
    if (Exists(kept))
        DeleteFile(kept, true);
    file.Move(kept);
}

// A directory of its own (not a link) at location.
bool IsDirectoryAt(const FileLocation& location)
{
    struct stat st = {};
    return location.lookupError == 0 &&
           ::fstatat(location.directoryFd, location.lookupName(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISDIR(st.st_mode);
}

// In a one-way set a folder of the copying side under the name of the kept-copies folder is backed
// up into that very folder: a kept copy there would replace or mix with its backup. A two-way set
// never carries its kept-copies folders across, so each side's folder of that name holds kept copies.
void RefuseKeptCopyFolderThatIsBackedUp(const BackupSet& set, const FileLocation& copyingSide,
                                        const File& destination)
{
    if (!set.flArchiveSubDir || SyncModeOf(set) == SyncMode::TwoWay)
        return;
    const std::string folderName = ToFilePath(set.ArchiveSubDir);
    const FileLocation copyingFolder = copyingSide.sibling(folderName);
    if (!IsDirectoryAt(copyingFolder))
        return;
    throw Failure(ErrPathFileAccess, destination.Location().sibling(folderName).path +
                                         ": it is the backup of " + copyingFolder.path +
                                         ", so no copy is kept there and " + destination.Path() +
                                         " is left as it is");
}

// The records are a help, never a reason to fail a file: one that cannot take them (a read-only medium)
// is compared by its times on the next run.
void RecordQuietly(const File& file)
{
    try {
        file.RecordSynced();
    } catch (const Failure&) {
    }
}

enum class PairChange { Unknown, SourceOnly, DestinationOnly, Both };

// Whether file moved from the state the last run left it in: its own record, or without one the record
// of its counterpart, since the run left both in agreement. So a file that a new one replaced (an
// editor that saves by renaming its new version over the old) counts as changed, and one whose record
// was lost (kept in the per-user store under a device number that a drive plugged in again no longer
// has) counts as changed only when it differs from what its counterpart was left with.
bool ChangedSince(const File& file, const std::optional<FileState>& own, const FileState& counterpart,
                  TimePrecision precision)
{
    return own ? *own != file.State() : !SameState(file.State(), counterpart, precision);
}

// Which sides changed since the last run left the pair in agreement; with no record on either side
// nothing is known.
PairChange ChangeSinceLastRun(const File& source, const File& destination, TimePrecision precision)
{
    const std::optional<FileState> from = source.SyncedRecord();
    const std::optional<FileState> to = destination.SyncedRecord();
    if (!from && !to)
        return PairChange::Unknown;
    const bool sourceChanged = ChangedSince(source, from, to ? *to : *from, precision);
    const bool destinationChanged = ChangedSince(destination, to, from ? *from : *to, precision);
    if (sourceChanged && destinationChanged)
        return PairChange::Both;
    if (sourceChanged)
        return PairChange::SourceOnly;
    return destinationChanged ? PairChange::DestinationOnly : PairChange::Unknown;
}

// Cameras, unpacked archives and a wrong clock date files ahead: such a file is "newer" than any edit.
bool DatedInTheFuture(const File& file, const Clock& clock)
{
    return file.DateLastModified() > FileTime{clock.currentSecond() + FutureSlackSeconds, 0};
}

// The destination's version goes aside before the copy replaces it: as one of the set's kept copies
// when the set keeps them, else as a conflict copy beside it.
void KeepConflictingVersion(const Clock& clock, const BackupSet& set, File& destination,
                            SyncConflict& conflict)
{
    if (KeepsCopies(set))
        KeepExistingCopy(clock, set, destination);
    else
        destination.Move(destination.Location().sibling(ConflictCopyName(destination.Name(), clock.now())));
    conflict.keptAs = destination.Path();
}

// In a two-way set each side may hold the user's latest edit. A side that changed since the last run
// replaces one that did not; when both changed, the destination's version is kept before it is
// replaced. Without records of the last run only the newer file travels, and one dated in the future
// never replaces the other side's version without keeping it.
bool NeedsTwoWayCopy(const Clock& clock, const BackupSet& set, const File& source, File& destination,
                     bool byCriterion, CopyCheck check, TimePrecision precision, SyncConflict& conflict)
{
    if (InAgreement(source, destination, precision)) {
        // Each side's visit records its own file, so a pair costs one record read per side and run.
        if (check == CopyCheck::BeforeCopy)
            RecordQuietly(source);
        return false;
    }
    bool conflicting = false;
    switch (ChangeSinceLastRun(source, destination, precision)) {
    case PairChange::SourceOnly:
        break;
    case PairChange::DestinationOnly:
        return false; // the other side's visit carries it here
    case PairChange::Both:
        conflicting = true;
        break;
    case PairChange::Unknown:
        if (!byCriterion || !ModifiedLater(source, destination, precision))
            return false;
        conflicting = DatedInTheFuture(source, clock);
        conflict.futureDated = conflicting;
        break;
    }
    if (check == CopyCheck::AfterCopy)
        return true;
    if (conflicting)
        KeepConflictingVersion(clock, set, destination, conflict);
    else
        KeepExistingCopy(clock, set, destination);
    return true;
}

// A destination file that a keep moved away from where it was is now the kept copy.
void TellKeptName(const BackupSet& set, const File& destination, const FileLocation& was,
                  std::string* keptName)
{
    if (keptName && KeepsCopies(set) && destination.Path() != was.path)
        *keptName = destination.Name();
}

} // namespace

bool NeedsCopy(const Clock& clock, const BackupSet& set, const FileLocation& source,
               const FileLocation& destination, CopyCheck check, TimePrecision precision,
               SyncConflict* conflict, std::string* keptName)
{
    const File sourceFile = File::GetFile(source);
    std::optional<File> destinationFile = File::TryGetFile(destination);
    if (destinationFile && !set.flOverwrite)
        return false;
    bool answer = NeedsCopyByCriterion(set, sourceFile, destinationFile, precision);
    if (destinationFile && SyncModeOf(set) == SyncMode::TwoWay) {
        SyncConflict found;
        const bool copy =
            NeedsTwoWayCopy(clock, set, sourceFile, *destinationFile, answer, check, precision, found);
        if (conflict)
            *conflict = found;
        TellKeptName(set, *destinationFile, destination, keptName);
        return copy;
    }
    // A link, folder or special file where a file's backup belongs (or a file where a link's belongs)
    // is no backup of it, whatever its date.
    if (destinationFile && !sourceFile.SameTypeAs(*destinationFile))
        answer = true;
    if (answer && destinationFile && check == CopyCheck::BeforeCopy) {
        KeepBeforeReplacing(clock, set, source, *destinationFile);
        TellKeptName(set, *destinationFile, destination, keptName);
    }
    return answer;
}

bool KeepsCopies(const BackupSet& set)
{
    return set.flArchive && (set.flArchiveSubDir || KeptCopyNamingOf(set) != KeptCopyNaming::OwnName);
}

void KeepBeforeReplacing(const Clock& clock, const BackupSet& set, const FileLocation& copyingSide,
                         File& destination)
{
    if (!KeepsCopies(set))
        return;
    RefuseKeptCopyFolderThatIsBackedUp(set, copyingSide, destination);
    KeepExistingCopy(clock, set, destination);
}

void RecordSynced(const File& source, const FileLocation& destination)
{
    RecordQuietly(source);
    try {
        if (const std::optional<File> copy = File::TryGetFile(destination))
            RecordQuietly(*copy);
    } catch (const Failure&) {
    }
}

void KeepExistingCopy(const Clock& clock, const BackupSet& set, File& destination)
{
    const KeptCopyNaming naming = KeptCopyNamingOf(set);
    if (!KeepsCopies(set))
        return;
    // Every name below is reached through the open destination directory or the open folder of kept
    // copies, so a link planted in either never carries the move elsewhere.
    std::optional<DirectoryHandle> folder;
    if (set.flArchiveSubDir)
        folder.emplace(KeptCopyFolder(set, destination));
    const std::string name = destination.Name();
    const FileLocation base = folder ? FileLocation(*folder, name) : destination.Location();
    if (naming == KeptCopyNaming::Date) {
        destination.Move(FreeStampedLocation(base, name, DateStamp(clock.now())));
    } else if (naming == KeptCopyNaming::Sequence) {
        destination.Move(FirstFreeNumberedLocation(base, name, 1));
    } else if (naming == KeptCopyNaming::OwnName) {
        // The sub directory holds the previous version under the file's own name.
        MoveOver(destination, base);
    }
}

TimePrecision TimePrecisionOf(const DirectoryHandle& directory, const DirectoryHandle& otherDirectory)
{
    for (const DirectoryHandle* handle : {&directory, &otherDirectory}) {
        struct statfs info = {};
        if (::fstatfs(handle->fd(), &info) == 0 &&
            (info.f_type == MsdosSuperMagic || info.f_type == ExfatSuperMagic))
            return TimePrecision::TwoSeconds;
    }
    return TimePrecision::OneSecond;
}

} // namespace kelvo
