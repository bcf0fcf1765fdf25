#include "engine/Comparison.h"

#include "platform/Failure.h"
#include "platform/FileSystem.h"


#include <sys/vfs.h>

namespace kelvo {

namespace {

constexpr long MsdosSuperMagic = 0x4d44;
constexpr long ExfatSuperMagic = 0x2011BAB0;
constexpr int LastSequenceNumber = 3000000;

bool ModifiedLater(const File& source, const File& destination, TimePrecision precision)
{
    // Whole seconds, as the program's date values compare.
    const qint64 difference = source.DateLastModified().seconds - destination.DateLastModified().seconds;
    return difference >= (precision == TimePrecision::TwoSeconds ? 2 : 1);
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
    if (set.CopyOptions == QLatin1String("OpArchive"))
        return source.Attributes() == AttrArchive;
    if (set.CopyOptions == QLatin1String("OpDate"))
        return NeedsCopyByDate(source, destination, precision);
    if (set.CopyOptions == QLatin1String("OpFileSize"))
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

bool NeedsCopy(RunContext& context, qint16 setIndex, const FileLocation& source, const FileLocation& destination,
               CopyCheck check, TimePrecision precision)
{
    const BackupSet& set = context.configuration.sets.at(static_cast<std::size_t>(setIndex));
    const File sourceFile = File::GetFile(source);
    std::optional<File> destinationFile = File::TryGetFile(destination);
    if (destinationFile && !set.flOverwrite)
        return false;
    const bool answer = NeedsCopyByCriterion(set, sourceFile, destinationFile, precision);
    if (answer && destinationFile && check == CopyCheck::BeforeCopy)
        KeepExistingCopy(context, setIndex, *destinationFile);
    return answer;
}

void KeepExistingCopy(RunContext& context, qint16 setIndex, File& destination)
{
    const BackupSet& set = context.configuration.sets.at(static_cast<std::size_t>(setIndex));
    if (!set.flArchive)
        return;
    if (set.ArchiveOptions == QLatin1String("OpDate")) {
        const std::string keptPath = KeptCopyBase(set, destination) + "." + DateStamp(context.clock.now());
        if (FileExists(keptPath))
            DeleteFile(keptPath, true);
        destination.Move(keptPath);
    } else if (set.ArchiveOptions == QLatin1String("OpSeq")) {
        destination.Move(FirstFreeSequencePath(KeptCopyBase(set, destination)));
    }
}

TimePrecision TimePrecisionOf(const std::string& directory, const std::string& otherDirectory)
{
    for (const std::string* path : {&directory, &otherDirectory}) {
        struct statfs info{};
        if (::statfs(path->c_str(), &info) == 0 &&
            (info.f_type == MsdosSuperMagic || info.f_type == ExfatSuperMagic))
            return TimePrecision::TwoSeconds;
    }
    return TimePrecision::OneSecond;
}

} // namespace kelvo
