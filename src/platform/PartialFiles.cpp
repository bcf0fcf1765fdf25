#include "platform/PartialFiles.h"

#include "platform/DirectoryHandle.h"
#include "platform/DirectoryListing.h"
#include "platform/Failure.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <ctime>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kelvo {

namespace {

constexpr std::string_view PartialMark = ".kelvo-partial-";
constexpr std::size_t PartialDigits = 16;
// A partial file whose lock cannot be taken (a file system without locks) is stale only when nothing
// wrote to it for this long; a live copy writes all the time.
constexpr qint64 UnlockableStaleSeconds = 3600;

bool IsLowerHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

// Removes name when it is a partial file that no live replacement holds. The lock is kept until the
// name is gone, so a replacement that takes the lock after this checks in vain and picks another name.
// A partial link cannot be locked; it lives only for the instant between its making and its rename.
void RemoveIfStale(int directoryFd, const char* name)
{
    struct stat st = {};
    if (fstatat(directoryFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return;
    // A link's times are its source's; its change time says when it was made.
    const qint64 age = time(nullptr) - (S_ISLNK(st.st_mode) ? st.st_ctim.tv_sec : st.st_mtim.tv_sec);
    if (S_ISLNK(st.st_mode)) {
        if (age >= UnlockableStaleSeconds)
            unlinkat(directoryFd, name, 0);
        return;
    }
    const FileDescriptor file(openat(directoryFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!file.isOpen() || fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return;
    if (flock(file.get(), LOCK_EX | LOCK_NB) != 0 && (errno == EWOULDBLOCK || age < UnlockableStaleSeconds))
        return;
    unlinkat(directoryFd, name, 0);
}

} // namespace

std::string PartialFileName(const std::string& fileName, quint64 random)
{
    static constexpr char Digits[] = "0123456789abcdef";
    std::string name = ".";
    name += fileName.substr(0, NAME_MAX - 1 - PartialMark.size() - PartialDigits);
    name += PartialMark;
    for (std::size_t i = 0; i < PartialDigits; ++i, random >>= 4)
        name += Digits[random & 0xf];
    return name;
}

bool IsPartialFileName(std::string_view name)
{
    if (name.size() < 1 + PartialMark.size() + PartialDigits || name.front() != '.')
        return false;
    const std::string_view digits = name.substr(name.size() - PartialDigits);
    return name.substr(name.size() - PartialDigits - PartialMark.size(), PartialMark.size()) == PartialMark &&
           std::all_of(digits.begin(), digits.end(), IsLowerHex);
}

bool ClaimPartialFile(int fd)
{
    while (flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR)
            return true; // no locks here: a cleaner goes by the file's age instead
    }
    struct stat st = {};
    return fstat(fd, &st) == 0 && st.st_nlink > 0;
}

void RemoveStaleReplacements(const DirectoryHandle& directory)
{
    // Leftovers are never listed, so one that cannot be removed now does no harm until the next run.
    std::vector<std::string> stale;
    try {
        stale =
            ListEntries(directory, [](int, const dirent& entry) { return IsPartialFileName(entry.d_name); });
    } catch (const Failure&) {
        return;
    }
    for (const std::string& name : stale)
        RemoveIfStale(directory.fd(), name.c_str());
}

} // namespace kelvo
