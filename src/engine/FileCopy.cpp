#include "engine/FileCopy.h"

#include "engine/FileContents.h"
#include "engine/RunStopped.h"
#include "platform/CarriedAttributes.h"
#include "platform/Failure.h"
#include "platform/FileDescriptor.h"
#include "platform/FileSystem.h"
#include "platform/ReplacementFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kelvo {

namespace {

// A link that takes the file's place after it was examined is not followed: the copy fails instead.
FileDescriptor OpenSource(const FileLocation& location)
{
    location.raiseLookupError();
    FileDescriptor fd(
        ::openat(location.directoryFd, location.lookupName(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.isOpen())
        RaiseErrno(errno, location.path);
    return fd;
}

// Keeps "Edit Sets" and "Run now" disabled for the life of one copy, however it ends.
class CopyActiveScope final
{
public:
    explicit CopyActiveScope(RunObserver& observer) : m_observer(observer) { m_observer.copyActive(true); }
    ~CopyActiveScope() { m_observer.copyActive(false); }
    CopyActiveScope(const CopyActiveScope&) = delete;
    CopyActiveScope& operator=(const CopyActiveScope&) = delete;

private:
    RunObserver& m_observer;
};

timespec ToTimespec(FileTime time)
{
    return {time.seconds, time.nanoseconds};
}

void CarryTimes(const File& source, int destinationFd, const std::string& destination)
{
    const timespec times[2] = {ToTimespec(source.DateLastAccessed()), ToTimespec(source.DateLastModified())};
    if (::futimens(destinationFd, times) != 0)
        RaiseErrno(errno, destination);
}

std::string ReadLinkText(const FileLocation& source, qint64 size)
{
    source.raiseLookupError();
    std::string text(static_cast<std::size_t>(size) + 1, '\0');
    for (;;) {
        const ssize_t got = ::readlinkat(source.directoryFd, source.lookupName(), text.data(), text.size());
        if (got < 0)
            RaiseErrno(errno, source.path);
        if (static_cast<std::size_t>(got) < text.size()) {
            text.resize(static_cast<std::size_t>(got));
            return text;
        }
        text.resize(text.size() * 2); // the link was made longer after it was examined
    }
}

// A symbolic link is copied as a link with the same text, never followed, with its own times.
qint64 CopyLink(RunObserver& observer, const File& sourceFile, const FileLocation& source,
                const FileLocation& destination)
{
    FileProgress progress(observer, sourceFile.Size());
    const std::string text = ReadLinkText(source, sourceFile.Size());
    ReplaceWithSymbolicLink(destination, text, [&](int directoryFd, const std::string& name) {
        const timespec times[2] = {ToTimespec(sourceFile.DateLastAccessed()),
                                   ToTimespec(sourceFile.DateLastModified())};
        if (::utimensat(directoryFd, name.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
            RaiseErrno(errno, destination.path);
        sourceFile.CarryAttributesToLink(directoryFd, name);
    });
    progress.copied(sourceFile.Size());
    YieldToEvents(observer);
    return text.empty() ? 1 : static_cast<qint64>(text.size());
}

void CountCopyError(RunContext& context)
{
    ++context.statistics.errors;
    context.observer.statisticsChanged(context.statistics);
}

} // namespace

qint64 CopyFileOver(RunObserver& observer, CopyRefusals& refusals, const FileLocation& source,
                    const FileLocation& destination,
                    const std::function<bool(const File& source)>& linkInstead)
{
    // The length and times are those from before the first read: a source that changes while it is
    // copied then looks newer than its copy, and the next run copies it again.
    const File sourceFile = File::GetFile(source);
    if (sourceFile.IsSymbolicLink())
        return CopyLink(observer, sourceFile, source, destination);
    if (linkInstead && linkInstead(sourceFile)) {
        FileProgress(observer, sourceFile.Size()).copied(sourceFile.Size());
        YieldToEvents(observer);
        return sourceFile.Size() > 0 ? sourceFile.Size() : 1;
    }
    const FileDescriptor input = OpenSource(source);
    ReplacementFile output(destination);
    CopyFileContents(observer, refusals, input.get(), sourceFile, output, source.path, destination.path);
    CarryExtendedAttributes(input.get(), output.fd(), destination.path);
    CarryTimes(sourceFile, output.fd(), destination.path);
    sourceFile.CarryAttributesTo(output.fd());
    output.commit();
    return sourceFile.Size() > 0 ? sourceFile.Size() : 1;
}

qint64 CopyFileWithProgress(RunContext& context, CopyRefusals& refusals, const FileLocation& source,
                            const FileLocation& destination,
                            const std::function<bool(const File& source)>& linkInstead)
{
    CopyActiveScope activeScope(context.observer);
    try {
        return CopyFileOver(context.observer, refusals, source, destination, linkInstead);
    } catch (const Failure& failure) {
        // A full disk is counted once, by the run's handler that it is passed on to.
        if (failure.number() == ErrDiskFull)
            throw;
        if (failure.number() != ErrInvalidArgument)
            CountCopyError(context);
        return 0;
    }
}

} // namespace kelvo
