#include "platform/DirectoryListing.h"

#include "platform/DirectoryHandle.h"
#include "platform/Failure.h"
#include "platform/FileSystem.h"
#include "platform/PartialFiles.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace kelvo {

namespace {

bool IsDotEntry(const char* name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// The attributes that decide whether a listing shows an entry; read-only and archive never hide one.
// nullopt for an entry that went away while the directory was read.
std::optional<int> EntryTypeAttributes(int directoryFd, const dirent& entry)
{
    switch (entry.d_type) {
    case DT_REG:
    case DT_LNK:
        return AttrNormal;
    case DT_DIR:
        return AttrDirectory;
    case DT_UNKNOWN: {
        struct stat st = {};
        if (fstatat(directoryFd, entry.d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            return std::nullopt;
        return TypeAttributes(st.st_mode);
    }
    default:
        return AttrSystem;
    }
}

struct DirectoryCloser
{
    void operator()(DIR* dir) const { closedir(dir); }
};
using DirectoryStream = std::unique_ptr<DIR, DirectoryCloser>;

DirectoryStream OpenDirectory(const DirectoryHandle& directory)
{
    // A descriptor of its own: a stream moves the offset of the descriptor it reads.
    const int fd = ::openat(directory.fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        RaiseDirectoryFailure(errno, directory.path());
    DIR* dir = fdopendir(fd);
    if (!dir) {
        const int err = errno;
        close(fd);
        RaiseErrno(err, directory.path());
    }
    return DirectoryStream(dir);
}

} // namespace

std::vector<std::string> ListEntries(const DirectoryHandle& directory,
                                     const std::function<bool(int directoryFd, const dirent& entry)>& accept)
{
    const DirectoryStream dir = OpenDirectory(directory);
    const int fd = dirfd(dir.get());
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = readdir(dir.get())) {
        if (!IsDotEntry(entry->d_name) && accept(fd, *entry))
            names.emplace_back(entry->d_name);
        errno = 0;
    }
    if (errno != 0)
        RaiseErrno(errno, directory.path());
    std::sort(names.begin(), names.end());
    return names;
}

void RemoveDirectoryTree(const DirectoryHandle& parent, const std::string& name)
{
    {
        const DirectoryHandle directory = DirectoryHandle::OpenBelow(parent, name);
        // Every entry, unfinished copies included: none may keep the directory from going.
        for (const std::string& entry : ListEntries(directory, [](int, const dirent&) { return true; })) {
            struct stat st = {};
            if (fstatat(directory.fd(), entry.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode))
                RemoveDirectoryTree(directory, entry);
            else if (unlinkat(directory.fd(), entry.c_str(), 0) != 0 && errno != ENOENT)
                RaiseErrno(errno, directory.path() + entry);
        }
    }
    if (unlinkat(parent.fd(), name.c_str(), AT_REMOVEDIR) != 0)
        RaiseErrno(errno, parent.path() + name);
}

std::vector<std::string> ListDirectory(const DirectoryHandle& directory, int attributeMask,
                                       int* specialEntries)
{
    const int shownTypes = attributeMask & (AttrHidden | AttrSystem | AttrDirectory);
    int special = 0;
    std::vector<std::string> names = ListEntries(directory, [&](int fd, const dirent& entry) {
        const std::optional<int> type = EntryTypeAttributes(fd, entry);
        if (!type || IsPartialFileName(entry.d_name))
            return false;
        const int attributes = *type | (IsHiddenName(entry.d_name) ? AttrHidden : 0);
        const bool shown = (attributes & ~shownTypes) == 0;
        if (!shown && (attributes & AttrSystem))
            ++special;
        return shown;
    });
    if (specialEntries)
        *specialEntries = special;
    return names;
}

std::vector<std::string> ListSubdirectories(const DirectoryHandle& directory)
{
    return ListEntries(directory, [&](int fd, const dirent& entry) {
        if (entry.d_type != DT_UNKNOWN)
            return entry.d_type == DT_DIR;
        struct stat st = {};
        return fstatat(fd, entry.d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
    });
}

} // namespace kelvo
