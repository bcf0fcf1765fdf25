#pragma once

#include "platform/FileDescriptor.h"

#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>

// Where the program finds files: through open directories below a set's roots, never through a path
// that the kernel would resolve again. Failures raise kelvo::Failure.
namespace kelvo {

class DirectoryHandle;

// Where a file is: its full path, and where it was found through an open directory, its name there.
// A path too long for one system call is looked up from its directory, opened in pieces that each fit
// one; a directory on the way that cannot be opened leaves its errno in lookupError, and every lookup
// through the location then fails with it. A location found through a DirectoryHandle is valid only
// while that handle is open.
struct FileLocation
{
    FileLocation(std::string fullPath); // NOLINT: a path is a location
    FileLocation(const DirectoryHandle& directory, const std::string& fileName);

    const char* lookupName() const { return name.empty() ? path.c_str() : name.c_str(); }
    // Raises kelvo::Failure for path when the directory could not be reached.
    void raiseLookupError() const;
    // The entry called otherName in the same directory, reached the same way.
    FileLocation sibling(const std::string& otherName) const;
    // Runs a *at call (directory descriptor, name) on the location, or fails it (-1, errno) as the
    // lookup of the location's directory failed.
    template <typename Call> int at(Call call) const
    {
        if (lookupError != 0) {
            errno = lookupError;
            return -1;
        }
        return call(directoryFd, lookupName());
    }

    std::string path;
    int directoryFd = AT_FDCWD;
    std::string name;
    int lookupError = 0;

private:
    void openDirectoryInPieces();

    std::shared_ptr<const FileDescriptor> m_heldDirectory;
};

// An open directory: the entries in it are reached relative to it, never through a path that the
// kernel would resolve again. A set's roots are opened by their paths (a link there is the user's own
// choice); every directory below them is opened with OpenBelow or OpenOrCreateDirectory, which follow
// no symbolic link: a link planted in a destination that other accounts can write to never leads a run
// out of the set's trees.
class DirectoryHandle final
{
public:
    // Raises 76 when path is missing, else the failure number of the errno.
    explicit DirectoryHandle(std::string path); // path ends with "/"
    DirectoryHandle(std::string path, FileDescriptor fd) : m_path(std::move(path)), m_fd(std::move(fd)) {}

    // The directory at relative below root (names joined by "/", "" for root itself), reached without
    // following any symbolic link. Raises as the constructor does; a link or a file on the way raises
    // 75 (Path/File access error).
    static DirectoryHandle OpenBelow(const DirectoryHandle& root, std::string_view relative);

    const std::string& path() const { return m_path; }
    int fd() const { return m_fd.get(); }
    // The directory's own stat; raises when the file system cannot give it.
    struct stat status() const;

private:
    std::string m_path;
    FileDescriptor m_fd;
};

// The directory at location, made private (0700) when missing, opened without following a link in its
// place. created tells whether this call made it. nullopt when something that is not a directory (a
// symbolic link, a file) has its name. Other failures raise.
std::optional<DirectoryHandle> OpenOrCreateDirectory(const FileLocation& location, bool& created);

// The directory at path (absolute or relative, ending with "/"), made with its missing parents. Each
// new level is made private (0700) relative to its parent's descriptor and opened without following a
// link, so nothing slipped into a shared folder in the meantime is entered; a missing level that
// another account made in that instant is refused (75). The part of path that exists is resolved as the
// kernel does: the caller checks it with LeadsThroughAnotherAccountsLink first.
DirectoryHandle OpenOrCreateDirectoryPath(const std::string& path);

// Raises the failure of a directory that could not be opened (errno err): 76 when it is missing, 75 when
// a link or a file has its name.
[[noreturn]] void RaiseDirectoryFailure(int err, const std::string& directory);

// Lets a test act in the instant between a run making a directory and opening it, as another account
// that can write into the destination could.
void SetDirectoryCreatedHook(std::function<void(const std::string& path)> hook);

} // namespace kelvo
