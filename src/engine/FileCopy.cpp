#include "engine/FileCopy.h"

#include "engine/RunStopped.h"
#include "platform/Failure.h"
#include "platform/FileDescriptor.h"
#include "platform/FileSystem.h"
#include "platform/ReplacementFile.h"

#include <cerrno>
#include <cmath>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kelvo {

namespace {

// Reads and writes go through a buffer of many chunks; the chunks still pace the progress and the
// event yields.
constexpr std::size_t IoBlockSize = 256 * 1024;

class SourceFile final
{
public:
    // A link that takes the file's place after it was examined is not followed: the copy fails instead.
    explicit SourceFile(const FileLocation& location) : m_path(location.path)
    {
        location.raiseLookupError();
        m_fd = FileDescriptor(
            ::openat(location.directoryFd, location.lookupName(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        if (!m_fd.isOpen())
            RaiseErrno(errno, m_path);
    }

    int fd() const { return m_fd.get(); }

    // Fills as much of the buffer as the file still has; 0 at its end.
    std::size_t read(char* buffer, std::size_t size)
    {
        std::size_t filled = 0;
        while (filled < size) {
            const ssize_t got = ::read(m_fd.get(), buffer + filled, size - filled);
            if (got < 0) {
                if (errno == EINTR)
                    continue;
                RaiseErrno(errno, m_path);
            }
            if (got == 0)
                break;
            filled += static_cast<std::size_t>(got);
        }
        return filled;
    }

    // Where the next data at or after offset begins (end when only a hole follows), and where it ends.
    // A file system that cannot tell holes has data everywhere.
    qint64 dataFrom(qint64 offset, qint64 end) const { return seek(offset, SEEK_DATA, offset, end); }
    qint64 holeFrom(qint64 offset, qint64 end) const { return seek(offset, SEEK_HOLE, end, end); }

    void moveTo(qint64 offset)
    {
        if (::lseek(m_fd.get(), offset, SEEK_SET) < 0)
            RaiseErrno(errno, m_path);
    }

private:
    qint64 seek(qint64 offset, int whence, qint64 unknown, qint64 end) const
    {
        const off_t found = ::lseek(m_fd.get(), offset, whence);
        if (found >= 0)
            return std::min<qint64>(found, end);
        if (errno == ENXIO)
            return end;
        if (errno == EINVAL || errno == EOPNOTSUPP)
            return unknown;
        RaiseErrno(errno, m_path);
    }

    std::string m_path;
    FileDescriptor m_fd;
};

// The copy's progress bar: 100 minus the remaining share, and it never moves back within one file.
class FileProgress final
{
public:
    FileProgress(RunObserver& observer, qint64 size) : m_observer(observer), m_size(size)
    {
        m_observer.fileProgressChanged(0);
    }

    void copied(qint64 bytesDone)
    {
        const qint64 size = m_size > 0 ? m_size : 1;
        const qint64 remaining = m_size > 0 ? m_size - bytesDone : 0;
        int percent =
            100 -
            static_cast<int>(std::floor(100.0 * static_cast<double>(remaining) / static_cast<double>(size)));
        percent = std::clamp(percent, 0, 100);
        if (percent > m_shown) {
            m_shown = percent;
            m_observer.fileProgressChanged(percent);
        }
    }

private:
    RunObserver& m_observer;
    qint64 m_size;
    int m_shown = 0;
};

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

// Copies the bytes from offset done up to end, block by block; each block is paced in chunks for the
// progress bar and the yields. Gives where the copy ended: before end when the source shrank meanwhile.
qint64 CopyRange(RunObserver& observer, FileProgress& progress, SourceFile& source, ReplacementFile& target,
                 qint64 done, qint64 end)
{
    static thread_local std::vector<char> buffer(IoBlockSize);
    while (done < end) {
        const std::size_t want = static_cast<std::size_t>(std::min<qint64>(IoBlockSize, end - done));
        const std::size_t got = source.read(buffer.data(), want);
        if (got == 0)
            break;
        target.write(std::string_view(buffer.data(), got));
        for (std::size_t chunkEnd = 0; chunkEnd < got;) {
            chunkEnd = std::min<std::size_t>(chunkEnd + CopyChunkSize, got);
            progress.copied(done + static_cast<qint64>(chunkEnd));
            YieldToEvents(observer);
        }
        done += static_cast<qint64>(got);
    }
    return done;
}

// A hole costs no reading or writing, but the progress bar and the yields move over it as over data.
void PassHole(RunObserver& observer, FileProgress& progress, qint64 from, qint64 to)
{
    for (qint64 done = from; done < to;) {
        done = std::min<qint64>(done + static_cast<qint64>(IoBlockSize), to);
        progress.copied(done);
        YieldToEvents(observer);
    }
}

// Writes only the data of a file with holes; the copy gets its holes from the seeks and the final length.
void CopySparseContents(RunObserver& observer, FileProgress& progress, SourceFile& source,
                        ReplacementFile& target, qint64 size, const std::string& destination)
{
    qint64 done = 0;
    while (done < size) {
        const qint64 data = source.dataFrom(done, size);
        PassHole(observer, progress, done, data);
        if (data >= size) {
            done = size;
            break;
        }
        const qint64 hole = source.holeFrom(data, size);
        source.moveTo(data);
        if (::lseek(target.fd(), data, SEEK_SET) < 0)
            RaiseErrno(errno, destination);
        done = CopyRange(observer, progress, source, target, data, hole);
        if (done < hole)
            break; // the source shrank
    }
    if (::ftruncate(target.fd(), done) != 0)
        RaiseErrno(errno, destination);
}

// The copy takes the length the source had when it was opened; one that changes meanwhile is newer
// than its copy and is copied again by the next run. Only a file that takes less room than its length
// has holes worth looking for.
void CopyContents(RunObserver& observer, SourceFile& source, ReplacementFile& target, const File& sourceFile,
                  const std::string& destination)
{
    const qint64 size = sourceFile.Size();
    FileProgress progress(observer, size);
    if (sourceFile.AllocatedBytes() < size) {
        CopySparseContents(observer, progress, source, target, size, destination);
    } else {
        CopyRange(observer, progress, source, target, 0, size);
    }
    if (size == 0) {
        progress.copied(0);
        YieldToEvents(observer);
    }
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

qint64 CopyReplacingDestination(RunContext& context, const FileLocation& source,
                                const FileLocation& destination,
                                const std::function<bool(const File& source)>& linkInstead)
{
    // The length and times are those from before the first read: a source that changes while it is
    // copied then looks newer than its copy, and the next run copies it again.
    const File sourceFile = File::GetFile(source);
    if (sourceFile.IsSymbolicLink())
        return CopyLink(context.observer, sourceFile, source, destination);
    if (linkInstead && linkInstead(sourceFile)) {
        FileProgress(context.observer, sourceFile.Size()).copied(sourceFile.Size());
        YieldToEvents(context.observer);
        return sourceFile.Size() > 0 ? sourceFile.Size() : 1;
    }
    SourceFile input(source);
    ReplacementFile output(destination);
    CopyContents(context.observer, input, output, sourceFile, destination.path);
    CarryExtendedAttributes(input.fd(), output.fd(), destination.path);
    CarryTimes(sourceFile, output.fd(), destination.path);
    sourceFile.CarryAttributesTo(output.fd());
    output.commit();
    return sourceFile.Size() > 0 ? sourceFile.Size() : 1;
}

void CountCopyError(RunContext& context)
{
    ++context.statistics.errors;
    context.observer.statisticsChanged(context.statistics);
}

} // namespace

qint64 CopyFileWithProgress(RunContext& context, const FileLocation& source, const FileLocation& destination,
                            const std::function<bool(const File& source)>& linkInstead)
{
    CopyActiveScope activeScope(context.observer);
    try {
        return CopyReplacingDestination(context, source, destination, linkInstead);
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
