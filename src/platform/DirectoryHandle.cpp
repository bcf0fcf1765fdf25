#include "platform/DirectoryHandle.h"

#include "platform/Failure.h"
#include "platform/FilePath.h"
#include "platform/OtherAccounts.h"

#include <atomic>
#include <climits>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace kelvo {

namespace {

constexpr int DirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// One name at a time, each opened without following a link: for kernels without openat2 and for
// relative paths too long for one call.
int OpenEachNameBelow(int rootFd, std::string_view relative)
{
    FileDescriptor current(::openat(rootFd, ".", DirectoryFlags));
    while (current.isOpen() && !relative.empty()) {
        const auto slash = relative.find('/');
        const std::string name(relative.substr(0, slash));
        relative.remove_prefix(slash == std::string_view::npos ? relative.size() : slash + 1);
        if (!name.empty())
            current = FileDescriptor(::openat(current.get(), name.c_str(), DirectoryFlags));
    }
    return current.release();
}

// The kernel resolves the whole relative path at once and refuses any link on the way.
int OpenBelowWithoutLinks(int rootFd, const std::string& relative)
{
    static std::atomic<bool> unavailable{false};
    if (!unavailable && relative.size() < PATH_MAX) {
        open_how how = {};
        how.flags = DirectoryFlags;
        how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
        for (int attempt = 0; attempt < 8; ++attempt) {
            const long fd =
                ::syscall(SYS_openat2, rootFd, relative.empty() ? "." : relative.c_str(), &how, sizeof how);
            if (fd >= 0 || (errno != EAGAIN && errno != ENOSYS && errno != EPERM))
                return static_cast<int>(fd);
            if (errno != EAGAIN)
                break;
        }
        if (errno == ENOSYS || errno == EPERM) // an old kernel, or a sandbox that forbids the call
            unavailable = true;
    }
    return OpenEachNameBelow(rootFd, relative);
}

std::function<void(const std::string&)> g_directoryCreatedHook;

} // namespace

void RaiseDirectoryFailure(int err, const std::string& directory)
{
    if (err == ELOOP || err == ENOTDIR)
        throw Failure(ErrPathFileAccess, directory); // a link or a file where a directory should be
    throw Failure(err == ENOENT ? ErrPathNotFound : ErrorNumberFromErrno(err), directory);
}

DirectoryHandle::DirectoryHandle(std::string path) : m_path(std::move(path))
{
    const FileLocation location(m_path);
    m_fd = FileDescriptor(location.at(
        [](int at, const char* name) { return openat(at, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    if (!m_fd.isOpen())
        RaiseDirectoryFailure(errno, m_path);
}

DirectoryHandle DirectoryHandle::OpenBelow(const DirectoryHandle& root, std::string_view relative)
{
    std::string path = root.path() + std::string(relative);
    while (!relative.empty() && relative.back() == '/')
        relative.remove_suffix(1);
    FileDescriptor fd(OpenBelowWithoutLinks(root.fd(), std::string(relative)));
    if (!fd.isOpen())
        RaiseDirectoryFailure(errno, path);
    return DirectoryHandle(WithTrailingSeparator(std::move(path)), std::move(fd));
}

std::optional<DirectoryHandle> OpenOrCreateDirectory(const FileLocation& location, bool& created)
{
    created = false;
    location.raiseLookupError();
    // A second try covers a directory made by another run in the instant between the look and the make.
    for (int attempt = 0; attempt < 3; ++attempt) {
        FileDescriptor fd(::openat(location.directoryFd, location.lookupName(), DirectoryFlags));
        if (fd.isOpen())
            return DirectoryHandle(WithTrailingSeparator(location.path), std::move(fd));
        if (errno == ELOOP || errno == ENOTDIR)
            return std::nullopt;
        if (errno != ENOENT)
            RaiseDirectoryFailure(errno, location.path);
        if (::mkdirat(location.directoryFd, location.lookupName(), 0700) == 0) {
            created = true;
            if (g_directoryCreatedHook)
                g_directoryCreatedHook(location.path);
        } else if (errno != EEXIST) {
            RaiseErrno(errno, location.path);
        }
    }
    throw Failure(ErrPathFileAccess, location.path);
}

DirectoryHandle OpenOrCreateDirectoryPath(const std::string& path)
{
    std::string existing = path;
    while (existing.size() > 1 && existing.ends_with('/'))
        existing.pop_back();
    std::vector<std::string> missing; // the deepest first
    while (!existing.empty() && !FolderExists(existing)) {
        const auto slash = existing.rfind('/');
        const std::size_t cut = slash == std::string::npos ? 0 : slash + 1;
        missing.push_back(existing.substr(cut));
        existing.erase(slash == 0 ? 1 : cut == 0 ? 0 : slash);
    }
    if (missing.empty())
        return DirectoryHandle(WithTrailingSeparator(path));
    // A relative path's levels keep their relative names, as its root's path does.
    DirectoryHandle parent = existing.empty()
                                 ? DirectoryHandle(std::string(), FileDescriptor(::open(".", DirectoryFlags)))
                                 : DirectoryHandle(WithTrailingSeparator(existing));
    for (auto name = missing.rbegin(); name != missing.rend(); ++name) {
        bool created = false;
        std::optional<DirectoryHandle> level = OpenOrCreateDirectory(FileLocation(parent, *name), created);
        if (!level || (!created && BelongsToAnotherAccount(*level)))
            throw Failure(ErrPathFileAccess, parent.path() + *name);
        parent = std::move(*level);
    }
    return parent;
}

void SetDirectoryCreatedHook(std::function<void(const std::string& path)> hook)
{
    g_directoryCreatedHook = std::move(hook);
}

FileLocation::FileLocation(std::string fullPath) : path(std::move(fullPath))
{
    if (path.size() >= PATH_MAX)
        openDirectoryInPieces();
}

FileLocation::FileLocation(const DirectoryHandle& directory, const std::string& fileName)
    : path(directory.path() + fileName), directoryFd(directory.fd()), name(fileName)
{}

FileLocation FileLocation::sibling(const std::string& otherName) const
{
    FileLocation other = *this;
    other.path = GetFolderPart(path) + otherName;
    if (!name.empty())
        other.name = otherName;
    return other;
}

void FileLocation::raiseLookupError() const
{
    if (lookupError != 0)
        RaiseErrno(lookupError, path);
}

// Opens the directory part of path in pieces that each fit one system call, each relative to the last.
void FileLocation::openDirectoryInPieces()
{
    std::string_view whole = path;
    while (whole.size() > 1 && whole.back() == '/')
        whole.remove_suffix(1);
    const auto slash = whole.rfind('/');
    if (slash == std::string_view::npos)
        return; // one name too long for any file system: the call itself says so
    const std::string_view directory = whole.substr(0, slash + 1);
    FileDescriptor held;
    int fd = AT_FDCWD;
    for (std::size_t start = 0; start < directory.size();) {
        std::size_t end = directory.size();
        if (end - start >= PATH_MAX) {
            const auto cut = directory.rfind('/', start + PATH_MAX - 2);
            end = cut == std::string_view::npos ? 0 : cut + 1;
        }
        if (end <= start) {
            lookupError = ENAMETOOLONG;
            return;
        }
        const std::string piece(directory.substr(start, end - start));
        FileDescriptor next(openat(fd, piece.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!next.isOpen()) {
            lookupError = errno;
            return;
        }
        held = std::move(next);
        fd = held.get();
        start = end;
    }
    name = std::string(whole.substr(slash + 1));
    directoryFd = fd;
    m_heldDirectory = std::make_shared<const FileDescriptor>(std::move(held));
}

struct stat DirectoryHandle::status() const
{
    struct stat st = {};
    if (fstat(fd(), &st) != 0)
        RaiseErrno(errno, path());
    return st;
}

} // namespace kelvo
