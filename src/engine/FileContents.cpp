#include "engine/FileContents.h"

#include "engine/RunObserver.h"
#include "engine/RunStopped.h"
#include "platform/Failure.h"
#include "platform/ReplacementFile.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

namespace kelvo {

namespace {

// Bytes the kernel copies between two turns of the progress bar and the event loop: large enough that
// the calls cost nothing beside the copying, small enough that a Stop lands within a blink.
constexpr qint64 SliceSize = 4 << 20;
// Bytes read and written at a time where the kernel cannot copy: they stay in the processor's cache.
constexpr std::size_t IoBlockSize = 256 * 1024;

int CloneFile(int destinationFd, int sourceFd)
{
    return ::ioctl(destinationFd, FICLONE, sourceFd);
}

ssize_t CopyRange(int sourceFd, off_t* sourceOffset, int destinationFd, off_t* destinationOffset,
                  std::size_t length)
{
    return ::copy_file_range(sourceFd, sourceOffset, destinationFd, destinationOffset, length, 0);
}

KernelCopyCalls g_kernelCopyCalls = SystemKernelCopyCalls();

// The file system, or the pair of them, cannot do it: the next way down is taken. The first four say
// so of the file system and hold for all its files; EINVAL may concern one file only (a btrfs file
// that keeps no checksums cannot share blocks with one that does).
bool RefusedByFileSystem(int err)
{
    return err == EOPNOTSUPP || err == ENOTTY || err == EXDEV || err == ENOSYS;
}

bool Refused(int err)
{
    return RefusedByFileSystem(err) || err == EINVAL;
}

} // namespace

KernelCopyCalls SystemKernelCopyCalls()
{
    return {CloneFile, CopyRange};
}

void UseKernelCopyCalls(const KernelCopyCalls& calls)
{
    g_kernelCopyCalls = calls;
}

FileProgress::FileProgress(RunObserver& observer, qint64 size) : m_observer(observer), m_size(size)
{
    m_observer.fileProgressChanged(0);
}

void FileProgress::copied(qint64 bytesDone)
{
    const qint64 size = m_size > 0 ? m_size : 1;
    const qint64 remaining = m_size > 0 ? m_size - bytesDone : 0;
    const int percent = std::clamp(100 - static_cast<int>(std::floor(100.0 * static_cast<double>(remaining) /
                                                                     static_cast<double>(size))),
                                   0, 100);
    if (percent > m_shown) {
        m_shown = percent;
        m_observer.fileProgressChanged(percent);
    }
}

namespace {

// One file's bytes on their way into its replacement.
class ContentsCopy final
{
public:
    ContentsCopy(RunObserver& observer, CopyRefusals& refusals, int sourceFd, const File& sourceFile,
                 ReplacementFile& target, const std::string& sourcePath, const std::string& destination)
        : m_observer(observer), m_refusals(refusals), m_sourceFd(sourceFd), m_device(sourceFile.Device()),
          m_size(sourceFile.Size()), m_sparse(sourceFile.AllocatedBytes() < m_size), m_target(target),
          m_sourcePath(sourcePath), m_destination(destination), m_progress(observer, m_size)
    {}

    void run()
    {
        if (!cloned())
            copyData();
    }

private:
    // A clone shares the source's blocks: no byte is copied and no room is taken until one side
    // changes. It takes the file as it is now, holes included.
    bool cloned()
    {
        if (m_refusals.clone.contains(m_device))
            return false;
        if (g_kernelCopyCalls.clone(m_target.fd(), m_sourceFd) == 0) {
            stepTo(m_size);
            return true;
        }
        noteRefusal(errno, m_refusals.clone);
        return false;
    }

    // Only the data of a file that takes less room than its length is copied; the holes come from
    // the offsets and the final length.
    void copyData()
    {
        qint64 done = 0;
        while (done < m_size) {
            const qint64 data = m_sparse ? seekSource(done, SEEK_DATA, done) : done;
            passHole(done, data);
            if (data >= m_size) {
                done = m_size;
                break;
            }
            const qint64 hole = m_sparse ? seekSource(data, SEEK_HOLE, m_size) : m_size;
            // A file that takes less room than its length, yet all data to the seeks: a file system
            // that cannot tell holes, where only the reads find them.
            if (m_sparse && data == 0 && hole == m_size)
                m_readsOnly = true;
            done = copyRange(data, hole);
            if (done < hole)
                break; // the source shrank
        }
        if (m_sparse && ::ftruncate(m_target.fd(), done) != 0)
            RaiseErrno(errno, m_destination);
        if (m_size == 0)
            stepTo(0);
    }

    // Where the next data (or hole) at or after offset begins, never past the length examined; a file
    // system that cannot tell holes answers with unknown.
    qint64 seekSource(qint64 offset, int whence, qint64 unknown) const
    {
        const off_t found = ::lseek(m_sourceFd, offset, whence);
        if (found >= 0)
            return std::min<qint64>(found, m_size);
        if (errno == ENXIO)
            return m_size;
        if (errno == EINVAL || errno == EOPNOTSUPP)
            return unknown;
        RaiseErrno(errno, m_sourcePath);
    }

    // A hole costs no copying, but the progress bar and the yields move over it as over data.
    void passHole(qint64 from, qint64 to)
    {
        for (qint64 done = from; done < to;)
            stepTo(done = std::min(done + SliceSize, to));
    }

    // Gives where the copy ended: before to when the source shrank meanwhile.
    qint64 copyRange(qint64 from, qint64 to)
    {
        if (m_readsOnly || m_refusals.inKernel.contains(m_device))
            return readAndWrite(from, to);
        const qint64 copied = copyInKernel(from, to);
        if (copied == to)
            return copied;
        const qint64 done = readAndWrite(copied, to);
        // The kernel found no data where the reads did: a file system that copies nothing this way.
        if (m_kernelCopiedNothing && done > copied)
            m_refusals.inKernel.insert(m_device);
        return done;
    }

    qint64 copyInKernel(qint64 from, qint64 to)
    {
        off_t in = from;
        off_t out = from;
        while (in < to) {
            const ssize_t copied = g_kernelCopyCalls.copyRange(
                m_sourceFd, &in, m_target.fd(), &out, static_cast<std::size_t>(std::min(SliceSize, to - in)));
            if (copied < 0 && errno == EINTR)
                continue;
            if (copied < 0) {
                noteRefusal(errno, m_refusals.inKernel);
                m_readsOnly = true;
                break;
            }
            // The end of a source that shrank, or a file system (some FUSE and pseudo file systems)
            // that copies nothing: the reads tell which.
            if (copied == 0) {
                m_readsOnly = m_kernelCopiedNothing = true;
                break;
            }
            stepTo(in);
        }
        return in;
    }

    qint64 readAndWrite(qint64 from, qint64 to)
    {
        static thread_local std::vector<char> buffer(IoBlockSize);
        qint64 done = from;
        while (done < to) {
            const std::size_t got = readAt(buffer.data(), std::min<qint64>(IoBlockSize, to - done), done);
            if (got == 0)
                break;
            writeBlock(std::string_view(buffer.data(), got), done);
            stepTo(done += static_cast<qint64>(got));
        }
        return done;
    }

    // In a file with holes, a block of zeros becomes a hole too: some file systems (FUSE ones among
    // them) cannot say where the holes are, and the copy would otherwise fill them.
    void writeBlock(std::string_view block, qint64 offset)
    {
        if (m_sparse && std::all_of(block.begin(), block.end(), [](char c) { return c == 0; }))
            return;
        if (m_targetPosition != offset && ::lseek(m_target.fd(), offset, SEEK_SET) < 0)
            RaiseErrno(errno, m_destination);
        m_target.write(block);
        m_targetPosition = offset + static_cast<qint64>(block.size());
    }

    // Fills as much of the buffer as the file still has from offset; 0 at its end.
    std::size_t readAt(char* buffer, qint64 size, qint64 offset) const
    {
        std::size_t filled = 0;
        while (filled < static_cast<std::size_t>(size)) {
            const ssize_t got = ::pread(m_sourceFd, buffer + filled, static_cast<std::size_t>(size) - filled,
                                        offset + static_cast<qint64>(filled));
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0)
                RaiseErrno(errno, m_sourcePath);
            if (got == 0)
                break;
            filled += static_cast<std::size_t>(got);
        }
        return filled;
    }

    // A refusal is the next way down; anything else (a full disk, a failing drive) is a failure.
    void noteRefusal(int err, std::set<quint64>& refusedDevices)
    {
        if (!Refused(err))
            RaiseErrno(err, m_destination);
        if (RefusedByFileSystem(err))
            refusedDevices.insert(m_device);
    }

    void stepTo(qint64 done)
    {
        startWritingBack(done);
        m_progress.copied(done);
        YieldToEvents(m_observer);
    }

    // A large copy goes to the disk as it is made, a slice at a time: the sync at the set's end then
    // waits for its last slice rather than the whole file, and one file does not fill the page cache.
    // Small files are left to that sync, which writes them together. A failed write shows there.
    void startWritingBack(qint64 done)
    {
        if (done - m_writtenBack < SliceSize)
            return;
        ::sync_file_range(m_target.fd(), m_writtenBack, done - m_writtenBack, SYNC_FILE_RANGE_WRITE);
        m_writtenBack = done;
    }

    RunObserver& m_observer;
    CopyRefusals& m_refusals;
    const int m_sourceFd;
    const quint64 m_device;
    const qint64 m_size;
    const bool m_sparse;
    ReplacementFile& m_target;
    const std::string& m_sourcePath;
    const std::string& m_destination;
    FileProgress m_progress;
    qint64 m_writtenBack = 0;           // the copy before this has been sent to the disk
    bool m_readsOnly = false;           // the kernel would not copy a part of this file
    bool m_kernelCopiedNothing = false; // where there was still data to copy
    qint64 m_targetPosition = 0;        // the kernel's copies write at offsets of their own
};

} // namespace

void CopyFileContents(RunObserver& observer, CopyRefusals& refusals, int sourceFd, const File& sourceFile,
                      ReplacementFile& target, const std::string& sourcePath, const std::string& destination)
{
    ContentsCopy(observer, refusals, sourceFd, sourceFile, target, sourcePath, destination).run();
}

} // namespace kelvo
