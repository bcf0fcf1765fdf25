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

// The folder that receives kept copies, created when missing.
std::string KeptCopyFolder(const BackupSet& set, const File& destination)
{
    const std::string folder = destination.ParentFolderPath() + "/" + ToFilePath(set.ArchiveSubDir);
    if (!FolderExists(folder))
        CreateDirectory(folder);
    return folder;
}

std::string KeptCopyBase(const BackupSet& set, const File& destination)
{
    if (set.flArchiveSubDir)
        return KeptCopyFolder(set, destination) + "/" + destination.Name();
    return destination.Path();
}

bool IsNumber(std::string_view text, std::size_t shortest, std::size_t longest)
{
    return text.size() >= shortest && text.size() <= longest &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Moves file to path, replacing the kept copy that is there.
void MoveOver(File& file, const std::string& path)
{
    if (FileExists(path))
        DeleteFile(path, true);
    file.Move(path);
}

std::string FirstFreeSequencePath(const std::string& base)
{
    for (int n = 1; n <= LastSequenceNumber; ++n) {
        std::string candidate = base + "." + std::to_string(n);
        if (!FileExists(candidate))
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
    if (!set.flArchive)
        return;
    if (KeptCopyNamingOf(set) == KeptCopyNaming::Date) {
        MoveOver(destination, KeptCopyBase(set, destination) + "." + DateStamp(context.clock.now()));
    } else if (KeptCopyNamingOf(set) == KeptCopyNaming::Sequence) {
        destination.Move(FirstFreeSequencePath(KeptCopyBase(set, destination)));
    } else if (KeptCopyNamingOf(set) == KeptCopyNaming::OwnName && set.flArchiveSubDir) {
        // The sub directory holds the previous version under the file's own name.
        MoveOver(destination, KeptCopyBase(set, destination));
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
        // The open directory answers for paths too long for one call.
        const int result = handle->fd() == AT_FDCWD ? ::statfs(handle->path().c_str(), &info)
                                                    : ::fstatfs(handle->fd(), &info);
        if (result == 0 && (info.f_type == MsdosSuperMagic || info.f_type == ExfatSuperMagic))
            return TimePrecision::TwoSeconds;
    }
    return TimePrecision::OneSecond;
}

} // namespace kelvo
