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
    explicit SourceFile(const FileLocation& location)
        : m_path(location.path),
          m_fd(::openat(location.directoryFd, location.lookupName(), O_RDONLY | O_CLOEXEC))
    {
        if (!m_fd.isOpen())
            RaiseErrno(errno, m_path);
    }

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

private:
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

void CarryTimes(const File& source, int destinationFd, const std::string& destination)
{
    const auto toTimespec = [](FileTime time) { return timespec{time.seconds, time.nanoseconds}; };
    const timespec times[2] = {toTimespec(source.DateLastAccessed()), toTimespec(source.DateLastModified())};
    if (::futimens(destinationFd, times) != 0)
        RaiseErrno(errno, destination);
}

// Copies the bytes block by block; each block is paced in chunks for the progress bar and the yields.
void CopyContents(RunObserver& observer, SourceFile& source, ReplacementFile& target, qint64 size)
{
    FileProgress progress(observer, size);
    static thread_local std::vector<char> buffer(IoBlockSize);
    qint64 done = 0;
    // The copy takes the length the source had when it was opened; one that changes meanwhile is
    // newer than its copy and is copied again by the next run.
    while (done < size) {
        const std::size_t want = static_cast<std::size_t>(std::min<qint64>(IoBlockSize, size - done));
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
    if (size == 0) {
        progress.copied(0);
        YieldToEvents(observer);
    }
}

qint64 CopyReplacingDestination(RunContext& context, const FileLocation& source,
                                const FileLocation& destination)
{
    // The length and times are those from before the first read: a source that changes while it is
    // copied then looks newer than its copy, and the next run copies it again.
    const File sourceFile = File::GetFile(source);
    SourceFile input(source);
    ReplacementFile output(destination);
    CopyContents(context.observer, input, output, sourceFile.Size());
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

qint64 CopyFileWithProgress(RunContext& context, const FileLocation& source, const FileLocation& destination)
{
    CopyActiveScope activeScope(context.observer);
    try {
        return CopyReplacingDestination(context, source, destination);
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
