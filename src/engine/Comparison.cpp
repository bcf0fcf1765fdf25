#include "engine/Comparison.h"

#include "platform/Failure.h"
#include "platform/FileSystem.h"

#include <algorithm>
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

std::string DateStamp(const QDateTime& now)
{
    const QTime time = now.time();
    return now.date().toString(QStringLiteral("ddMMyyyy")).toStdString() + "-" + std::to_string(time.hour()) +
           std::to_string(time.minute()) + std::to_string(time.second());
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

bool Exists(const FileLocation& location)
{
    return File::TryGetFile(location).has_value();
}

// Moves file to kept, replacing the kept copy that is there.
void MoveOver(File& file, const FileLocation& kept)
{
    if (Exists(kept))
        DeleteFile(kept, true);
    file.Move(kept);
}

FileLocation FirstFreeSequenceLocation(const FileLocation& base, const std::string& name)
{
    for (int n = 1; n <= LastSequenceNumber; ++n) {
        FileLocation candidate = base.sibling(name + "." + std::to_string(n));
        if (!Exists(candidate))
            return candidate;
    }
    return base;
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
        KeepExistingCopy(context, setIndex, *destinationFile);
    return answer;
}

void KeepExistingCopy(RunContext& context, qint16 setIndex, File& destination)
{
    const BackupSet& set = context.configuration.sets.at(static_cast<std::size_t>(setIndex));
    const KeptCopyNaming naming = KeptCopyNamingOf(set);
    if (!set.flArchive || (naming == KeptCopyNaming::OwnName && !set.flArchiveSubDir))
        return;
    // Every name below is reached through the open destination directory or the open folder of kept
    // copies, so a link planted in either never carries the move elsewhere.
    std::optional<DirectoryHandle> folder;
    if (set.flArchiveSubDir)
        folder.emplace(KeptCopyFolder(set, destination));
    const std::string name = destination.Name();
    const FileLocation base = folder ? FileLocation(*folder, name) : destination.Location();
    if (naming == KeptCopyNaming::Date) {
        MoveOver(destination, base.sibling(name + "." + DateStamp(context.clock.now())));
    } else if (naming == KeptCopyNaming::Sequence) {
        destination.Move(FirstFreeSequenceLocation(base, name));
    } else if (naming == KeptCopyNaming::OwnName) {
        // The sub directory holds the previous version under the file's own name.
        MoveOver(destination, base);
    }
}

bool IsKeptCopyName(const BackupSet& set, std::string_view name)
{
    if (!set.flArchive || set.flArchiveSubDir)
        return false;
    const auto dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0)
        return false;
    const std::string_view suffix = name.substr(dot + 1);
    if (KeptCopyNamingOf(set) == KeptCopyNaming::Sequence)
        return IsNumber(suffix, 1, 7);
    if (KeptCopyNamingOf(set) == KeptCopyNaming::Date) {
        const auto dash = suffix.find('-');
        return dash == 8 && IsNumber(suffix.substr(0, 8), 8, 8) && IsNumber(suffix.substr(9), 3, 6);
    }
    return false;
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
