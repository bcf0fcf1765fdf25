#include "engine/Comparison.h"

#include "platform/Failure.h"
#include "platform/FileSystem.h"

#include <algorithm>
#include <sys/stat.h>
#include <sys/vfs.h>

namespace kelvo {

namespace {

constexpr long MsdosSuperMagic = 0x4d44;
constexpr long ExfatSuperMagic = 0x2011BAB0;
constexpr int LastSequenceNumber = 3000000;

bool ModifiedLater(const File& source, const File& destination, TimePrecision precision)
{
    const FileTime from = source.DateLastModified();
    const FileTime to = destination.DateLastModified();
    if (precision == TimePrecision::TwoSeconds)
        return from.seconds - to.seconds >= 2;
    // A copy carries its source's time to the nanosecond, so a change made within the second of the
    // last copy still shows. A destination that keeps whole seconds only is compared by seconds.
    if (to.nanoseconds == 0 && from.nanoseconds != 0)
        return from.seconds > to.seconds;
    return from > to;
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

bool NeedsCopyByCriterion(const BackupSet& set, const File& source, const std::optional<File>& destination,
                          TimePrecision precision)
{
    // Read-only and hidden (every dot-file) say nothing about whether a file changed.
    if (CopyCriterionOf(set) == CopyCriterion::ArchiveFlag)
        return (source.Attributes() & AttrArchive) != 0;
    if (CopyCriterionOf(set) == CopyCriterion::Date)
        return NeedsCopyByDate(source, destination, precision);
    if (CopyCriterionOf(set) == CopyCriterion::Size)
        return !destination || source.Size() != destination->Size();
    return false;
}

// Zero-padded, so that no two times of a day share a stamp.
std::string DateStamp(const QDateTime& now)
{
    return now.toString(QStringLiteral("ddMMyyyy-hhmmss")).toStdString();
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

bool IsNumber(std::string_view text, std::size_t shortest, std::size_t longest)
{
    return text.size() >= shortest && text.size() <= longest &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "ddMMyyyy-hhmmss", or the stamp of older versions, whose hour, minute and second had no leading
// zeros ("-hms", three to six digits).
bool IsDateStamp(std::string_view text)
{
    return text.size() > 9 && text[8] == '-' && IsNumber(text.substr(0, 8), 8, 8) &&
           IsNumber(text.substr(9), 3, 6);
}

// What follows the last "." of name, or nothing when name has no such suffix.
std::optional<std::string_view> LastSuffix(std::string_view name)
{
    const auto dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0)
        return std::nullopt;
    return name.substr(dot + 1);
}

// A stamped name, with or without the number added when the stamp was taken ("a.txt.07122026-091115.2").
bool IsStampedName(std::string_view name)
{
    const std::optional<std::string_view> suffix = LastSuffix(name);
    if (!suffix)
        return false;
    if (IsDateStamp(*suffix))
        return true;
    if (!IsNumber(*suffix, 1, 7))
        return false;
    const std::optional<std::string_view> stamp =
        LastSuffix(name.substr(0, name.size() - suffix->size() - 1));
    return stamp && IsDateStamp(*stamp);
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

} // namespace

bool NeedsCopy(RunContext& context, qint16 setIndex, const FileLocation& source,
               const FileLocation& destination, CopyCheck check, TimePrecision precision)
{
    const BackupSet& set = context.configuration.sets.at(static_cast<std::size_t>(setIndex));
    const File sourceFile = File::GetFile(source);
    std::optional<File> destinationFile = File::TryGetFile(destination);
    if (destinationFile && !set.flOverwrite)
        return false;
    bool answer = NeedsCopyByCriterion(set, sourceFile, destinationFile, precision);
    // A link, folder or special file where a file's backup belongs (or a file where a link's belongs)
    // is no backup of it, whatever its date. In a two-way set either side may be the user's own.
    if (destinationFile && !sourceFile.SameTypeAs(*destinationFile) && SyncModeOf(set) != SyncMode::TwoWay)
        answer = true;
    // In a two-way set each side may hold the user's latest edit: only the newer file ever travels, so
    // an edit made in place on the other side is never overwritten by the older original.
    if (answer && destinationFile && SyncModeOf(set) == SyncMode::TwoWay)
        answer = ModifiedLater(sourceFile, *destinationFile, precision);
    if (answer && destinationFile && check == CopyCheck::BeforeCopy)
        KeepBeforeReplacing(context, setIndex, source, *destinationFile);
    return answer;
}

bool KeepsCopies(const BackupSet& set)
{
    return set.flArchive && (set.flArchiveSubDir || KeptCopyNamingOf(set) != KeptCopyNaming::OwnName);
}

void KeepBeforeReplacing(RunContext& context, qint16 setIndex, const FileLocation& copyingSide,
                         File& destination)
{
    const BackupSet& set = context.configuration.sets.at(static_cast<std::size_t>(setIndex));
    if (!KeepsCopies(set))
        return;
    RefuseKeptCopyFolderThatIsBackedUp(set, copyingSide, destination);
    KeepExistingCopy(context, setIndex, destination);
}

void KeepExistingCopy(RunContext& context, qint16 setIndex, File& destination)
{
    const BackupSet& set = context.configuration.sets.at(static_cast<std::size_t>(setIndex));
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
        destination.Move(FreeStampedLocation(base, name, DateStamp(context.clock.now())));
    } else if (naming == KeptCopyNaming::Sequence) {
        destination.Move(FirstFreeNumberedLocation(base, name, 1));
    } else if (naming == KeptCopyNaming::OwnName) {
        // The sub directory holds the previous version under the file's own name.
        MoveOver(destination, base);
    }
}

bool IsKeptCopyName(const BackupSet& set, std::string_view name)
{
    if (!set.flArchive || set.flArchiveSubDir)
        return false;
    if (KeptCopyNamingOf(set) == KeptCopyNaming::Sequence) {
        const std::optional<std::string_view> suffix = LastSuffix(name);
        return suffix && IsNumber(*suffix, 1, 7);
    }
    return KeptCopyNamingOf(set) == KeptCopyNaming::Date && IsStampedName(name);
}

bool IsKeptCopyFolder(const BackupSet& set, std::string_view directory)
{
    if (!set.flArchive || !set.flArchiveSubDir || set.ArchiveSubDir.isEmpty())
        return false;
    while (!directory.empty() && directory.back() == '/')
        directory.remove_suffix(1);
    return GetFileName(std::string(directory)) == ToFilePath(set.ArchiveSubDir);
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
