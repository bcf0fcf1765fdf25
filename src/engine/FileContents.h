#pragma once

#include "platform/FileSystem.h"

#include <QtGlobal>

#include <set>
#include <string>
#include <sys/types.h>

namespace kelvo {

class ReplacementFile;
class RunObserver;

// The kernel's calls that copy a file without bringing its bytes through the program. A test replaces
// them to play a file system that refuses them; each behaves as its system call, errno set on -1.
struct KernelCopyCalls
{
    int (*clone)(int destinationFd, int sourceFd);
    ssize_t (*copyRange)(int sourceFd, off_t* sourceOffset, int destinationFd, off_t* destinationOffset,
                         std::size_t length);
};

KernelCopyCalls SystemKernelCopyCalls();
void UseKernelCopyCalls(const KernelCopyCalls& calls);

// The copy's progress bar: 100 minus the remaining share, and it never moves back within one file.
class FileProgress final
{
public:
    FileProgress(RunObserver& observer, qint64 size);
    void copied(qint64 bytesDone);

private:
    RunObserver& m_observer;
    qint64 m_size;
    int m_shown = 0;
};

// The source file systems whose files the kernel would not clone, or not copy in itself, into the
// destination of one set. Kept for one set's run, so each refusal costs one system call, not one per
// file; a set's destination lies on one file system, save mount points inside it, where a refusal
// learnt elsewhere only means the slower way.
struct CopyRefusals
{
    std::set<quint64> clone;
    std::set<quint64> inKernel;
};

// Copies the contents of the open source, which had sourceFile's length when it was examined, into
// target: a clone that shares the source's blocks where the file system can, else a copy inside the
// kernel, else reads and writes. Holes stay holes. Progress and the event yields come between slices
// of a few MiB, so a Stop lands within one. A source that shrinks meanwhile is copied as far as it
// goes; its copy keeps the time from before, so the next run copies it again.
void CopyFileContents(RunObserver& observer, CopyRefusals& refusals, int sourceFd, const File& sourceFile,
                      ReplacementFile& target, const std::string& sourcePath, const std::string& destination);

} // namespace kelvo
