#include "platform/FileSystem.h"

#include "platform/AttributeRecordStore.h"
#include "platform/Failure.h"

#include <QFile>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <memory>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace kelvo {

namespace {

constexpr const char* ArchiveRecordName = "user.kelvo.archive";
constexpr const char* CreatedRecordName = "user.kelvo.created";
constexpr const char* SyncedRecordName = "user.kelvo.synced";

FileTime FromStatx(const struct statx_timestamp& ts)
{
    return {ts.tv_sec, static_cast<qint32>(ts.tv_nsec)};
}

std::string FormatTime(FileTime time)
{
    return std::to_string(time.seconds) + "." + std::to_string(time.nanoseconds);
}

std::optional<FileTime> ParseTime(std::string_view text)
{
    const auto dot = text.find('.');
    if (dot == std::string_view::npos)
        return std::nullopt;
    FileTime time;
    const char* end = text.data() + text.size();
    const auto sec = std::from_chars(text.data(), text.data() + dot, time.seconds);
    const auto nsec = std::from_chars(text.data() + dot + 1, end, time.nanoseconds);
    if (sec.ec != std::errc() || sec.ptr != text.data() + dot || nsec.ec != std::errc() || nsec.ptr != end)
        return std::nullopt;
    return time;
}

std::string StateRecord(qint64 size, FileTime modified)
{
    return std::to_string(size) + " " + FormatTime(modified);
}

// The record that marks a file as backed up: it holds only while the file keeps this size and time,
// and only for the file it was written on. `mv` and `cp -a` carry the record to another file (another
// inode, or another file system), which must not count as backed up; old records without the
// identity read as not backed up, which costs one copy.
std::string ArchiveRecord(qint64 size, FileTime modified, FileKey key)
{
    return StateRecord(size, modified) + " " + std::to_string(key.device) + " " + std::to_string(key.inode);
}

// Runs a *at call on location, or fails it as the lookup of the location's directory failed.
template <typename Call> int AtLocation(const FileLocation& location, Call call)
{
    if (location.lookupError != 0) {
        errno = location.lookupError;
        return -1;
    }
    return call(location.directoryFd, location.lookupName());
}

int StatAt(const FileLocation& location, struct stat& st, int flags)
{
    return AtLocation(location, [&](int fd, const char* name) { return fstatat(fd, name, &st, flags); });
}

bool IsDirectory(const std::string& path)
{
    struct stat st = {};
    return StatAt(path, st, 0) == 0 && S_ISDIR(st.st_mode);
}

std::string StripTrailingSlashes(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

bool IsDotEntry(const char* name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

bool IsHiddenName(std::string_view name)
{
    return !name.empty() && name.front() == '.';
}

int TypeAttributes(mode_t mode)
{
    if (S_ISDIR(mode))
        return AttrDirectory;
    return S_ISREG(mode) || S_ISLNK(mode) ? AttrNormal : AttrSystem;
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

int OpenDirectoryAt(const FileLocation& location, int flags)
{
    return AtLocation(location, [&](int at, const char* name) {
        return openat(at, name, flags | O_DIRECTORY | O_CLOEXEC);
    });
}

[[noreturn]] void RaiseDirectoryFailure(int err, const std::string& directory)
{
    if (err == ELOOP || err == ENOTDIR)
        throw Failure(ErrPathFileAccess, directory); // a link or a file where a directory should be
    throw Failure(err == ENOENT ? ErrPathNotFound : ErrorNumberFromErrno(err), directory);
}

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

template <typename Accept>
std::vector<std::string> ReadDirectory(const DirectoryHandle& directory, Accept accept)
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

char FoldCase(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool MatchesFrom(std::string_view name, std::string_view pattern)
{
    // Greedy matching with a single back-track point: linear enough for file names, no recursion.
    std::size_t n = 0, p = 0;
    std::size_t starP = std::string_view::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
        } else if (p < pattern.size() && (pattern[p] == '?' || FoldCase(pattern[p]) == FoldCase(name[n]))) {
            ++p;
            ++n;
        } else if (starP != std::string_view::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

// Never through a link: a file swapped for one after it was examined keeps the link's target untouched.
void ChangeMode(const FileLocation& location, mode_t mode)
{
    if (AtLocation(location, [&](int fd, const char* name) {
            return fchmodat(fd, name, mode, AT_SYMLINK_NOFOLLOW);
        }) != 0)
        RaiseErrno(errno, location.path);
}

RecordTarget FileRecords(const FileLocation& location, quint32 mode, FileKey key)
{
    return {location, -1, key, S_ISLNK(mode)};
}

// Writes the records that make a copy carry its source's creation time and archive state; the archive
// record names the copy's own size and time.
void CarryRecords(const RecordTarget& copy, FileTime created, bool archive, qint64 copySize,
                  FileTime copyModified)
{
    WriteRecord(copy, CreatedRecordName, FormatTime(created));
    if (archive)
        RemoveRecord(copy, ArchiveRecordName);
    else
        WriteRecord(copy, ArchiveRecordName, ArchiveRecord(copySize, copyModified, copy.key));
}

FileTime FromTimespec(const timespec& ts)
{
    return {ts.tv_sec, static_cast<qint32>(ts.tv_nsec)};
}

bool Refused(int err)
{
    return err == ENOTSUP || err == EOPNOTSUPP || err == EPERM || err == EACCES || err == ENOSPC ||
           err == E2BIG || err == ERANGE;
}

// The names of a file's extended attributes, as the kernel lists them: each ends with a NUL.
std::string AttributeNames(int fd)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        const ssize_t size = flistxattr(fd, nullptr, 0);
        if (size <= 0)
            return {};
        std::string names(static_cast<std::size_t>(size), '\0');
        const ssize_t got = flistxattr(fd, names.data(), names.size());
        if (got >= 0) {
            names.resize(static_cast<std::size_t>(got));
            return names;
        }
        if (errno != ERANGE) // another process added one meanwhile
            return {};
    }
    return {};
}

std::optional<std::string> AttributeValue(int fd, const char* name)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        const ssize_t size = fgetxattr(fd, name, nullptr, 0);
        if (size < 0)
            return std::nullopt;
        std::string value(static_cast<std::size_t>(size), '\0');
        const ssize_t got = fgetxattr(fd, name, value.data(), value.size());
        if (got >= 0) {
            value.resize(static_cast<std::size_t>(got));
            return value;
        }
        if (errno != ERANGE)
            return std::nullopt;
    }
    return std::nullopt;
}

// The user's own attributes and the POSIX ACLs (a folder's default ACL too) travel with a copy.
bool IsCarriedAttribute(std::string_view name)
{
    return (name.starts_with("user.") && !name.starts_with("user.kelvo.")) ||
           name == "system.posix_acl_access" || name == "system.posix_acl_default";
}

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

struct stat StatOf(const DirectoryHandle& directory)
{
    struct stat st = {};
    if (fstat(directory.fd(), &st) != 0)
        RaiseErrno(errno, directory.path());
    return st;
}

bool IsForeignOwner(uid_t owner)
{
    return owner != geteuid() && owner != 0;
}

} // namespace

mode_t CarriedMode(mode_t mode, uid_t owner)
{
    mode &= 07777;
    if (geteuid() != 0 && owner != geteuid())
        mode &= ~mode_t(S_ISUID | S_ISGID | S_IWGRP | S_IWOTH);
    return mode;
}

bool BelongsToAnotherAccount(const DirectoryHandle& directory)
{
    return geteuid() != 0 && IsForeignOwner(StatOf(directory).st_uid);
}

bool LeadsThroughAnotherAccountsLink(const std::string& path)
{
    std::vector<std::string> names; // still to resolve, the next one last
    const auto push = [&](std::string_view text) {
        std::vector<std::string> parts;
        for (std::size_t start = 0; start <= text.size();) {
            const auto slash = std::min(text.find('/', start), text.size());
            if (slash > start)
                parts.emplace_back(text.substr(start, slash - start));
            start = slash + 1;
        }
        names.insert(names.end(), parts.rbegin(), parts.rend());
    };
    push(path);
    std::string resolved = path.starts_with('/') ? "" : ".";
    for (int links = 0; !names.empty();) {
        const std::string name = std::move(names.back());
        names.pop_back();
        if (name == ".")
            continue;
        if (name == "..") {
            resolved = resolved.substr(0, resolved.rfind('/') == std::string::npos ? 0 : resolved.rfind('/'));
            continue;
        }
        const std::string candidate = resolved + "/" + name;
        struct stat st = {};
        if (lstat(candidate.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            resolved = candidate; // what cannot be looked at fails when the root is opened
            continue;
        }
        if (IsForeignOwner(st.st_uid))
            return true;
        std::string target(PATH_MAX, '\0');
        const ssize_t length = readlink(candidate.c_str(), target.data(), target.size());
        if (length < 0 || ++links > 40)
            return false;
        target.resize(static_cast<std::size_t>(length));
        if (target.starts_with('/'))
            resolved.clear();
        push(target);
    }
    return false;
}

std::string ToFilePath(const QString& text)
{
    return QFile::encodeName(text).toStdString();
}

std::string WithTrailingSeparator(std::string path)
{
    if (!path.ends_with('/'))
        path += '/';
    return path;
}

DirectoryHandle::DirectoryHandle(std::string path) : m_path(std::move(path))
{
    m_fd = FileDescriptor(OpenDirectoryAt(m_path, O_RDONLY));
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
    const auto slash = path.rfind('/');
    other.path = path.substr(0, slash == std::string::npos ? 0 : slash + 1) + otherName;
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

bool FileExists(const std::string& path)
{
    if (path.empty())
        return false;
    const FileLocation location(path);
    struct stat st = {};
    if (StatAt(location, st, 0) == 0)
        return !S_ISDIR(st.st_mode);
    return errno == ENOENT && StatAt(location, st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

bool FolderExists(const std::string& path)
{
    return !path.empty() && IsDirectory(path);
}

std::string GetFileName(const std::string& path)
{
    const std::string stripped = StripTrailingSlashes(path);
    if (stripped == "/")
        return {};
    const auto slash = stripped.rfind('/');
    return slash == std::string::npos ? stripped : stripped.substr(slash + 1);
}

File File::GetFile(const FileLocation& location)
{
    std::optional<File> file = TryGetFile(location);
    if (!file)
        RaiseErrno(ENOENT, location.path);
    return std::move(*file);
}

std::optional<File> File::TryGetFile(const FileLocation& location)
{
    struct statx stx = {};
    const int result = AtLocation(location, [&](int fd, const char* name) {
        return statx(fd, name, AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &stx);
    });
    if (result != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return std::nullopt;
        RaiseErrno(errno, location.path);
    }
    File file(location);
    file.m_size = static_cast<qint64>(stx.stx_size);
    file.m_allocated = static_cast<qint64>(stx.stx_blocks) * 512;
    file.m_modified = FromStatx(stx.stx_mtime);
    file.m_accessed = FromStatx(stx.stx_atime);
    if (stx.stx_mask & STATX_BTIME)
        file.m_birth = FromStatx(stx.stx_btime);
    file.m_mode = stx.stx_mode;
    file.m_owner = stx.stx_uid;
    file.m_group = stx.stx_gid;
    file.m_device = makedev(stx.stx_dev_major, stx.stx_dev_minor);
    file.m_inode = stx.stx_ino;
    file.m_links = stx.stx_nlink;
    return file;
}

bool File::IsSymbolicLink() const
{
    return S_ISLNK(m_mode);
}

bool File::IsDirectory() const
{
    return S_ISDIR(m_mode);
}

bool File::SameTypeAs(const File& other) const
{
    return (m_mode & S_IFMT) == (other.m_mode & S_IFMT);
}

std::string File::Name() const
{
    return GetFileName(m_location.path);
}

FileTime File::DateCreated() const
{
    if (!m_created) {
        const std::optional<std::string> carried =
            ReadRecord(FileRecords(m_location, m_mode, {m_device, m_inode}), CreatedRecordName);
        std::optional<FileTime> time = carried ? ParseTime(*carried) : std::nullopt;
        if (!time)
            time = m_birth != FileTime{} ? m_birth : m_modified;
        m_created = time;
    }
    return *m_created;
}

int File::Attributes() const
{
    int attributes = TypeAttributes(m_mode);
    if (!(m_mode & S_IWUSR))
        attributes |= AttrReadOnly;
    if (IsHiddenName(Name()))
        attributes |= AttrHidden;
    if (!(attributes & AttrDirectory)) {
        if (!m_archive) {
            // Devices and FIFOs cannot carry user records; they are never backed up anyway.
            const std::optional<std::string> record =
                attributes & AttrSystem
                    ? std::nullopt
                    : ReadRecord(FileRecords(m_location, m_mode, {m_device, m_inode}), ArchiveRecordName);
            m_archive = record != ArchiveRecord(m_size, m_modified, {m_device, m_inode});
        }
        if (*m_archive)
            attributes |= AttrArchive;
    }
    return attributes;
}

void File::SetAttributes(int attributes)
{
    // A symbolic link has no permission bits of its own: changing them would change its target's.
    const bool readOnly = IsSymbolicLink() ? false : attributes & AttrReadOnly;
    // A user record needs write permission on the file, so the write bit is given before the record is
    // written and taken away after.
    if (!readOnly && !(m_mode & S_IWUSR) && !IsSymbolicLink()) {
        m_mode |= S_IWUSR;
        ChangeMode(m_location, m_mode & 07777);
    }
    const bool archive = attributes & AttrArchive;
    if ((S_ISREG(m_mode) || IsSymbolicLink()) && archive != static_cast<bool>(Attributes() & AttrArchive)) {
        const RecordTarget target = FileRecords(m_location, m_mode, {m_device, m_inode});
        if (archive)
            RemoveRecord(target, ArchiveRecordName);
        else
            WriteRecord(target, ArchiveRecordName, ArchiveRecord(m_size, m_modified, target.key));
        m_archive = archive;
    }
    if (readOnly && (m_mode & S_IWUSR)) {
        m_mode &= ~S_IWUSR;
        ChangeMode(m_location, m_mode & 07777);
    }
}

std::optional<FileState> File::SyncedRecord() const
{
    const std::optional<std::string> record =
        ReadRecord(FileRecords(m_location, m_mode, {m_device, m_inode}), SyncedRecordName);
    if (!record)
        return std::nullopt;
    const auto blank = record->find(' ');
    if (blank == std::string::npos)
        return std::nullopt;
    FileState state;
    const char* end = record->data() + blank;
    const auto size = std::from_chars(record->data(), end, state.size);
    const std::optional<FileTime> modified = ParseTime(std::string_view(*record).substr(blank + 1));
    if (size.ec != std::errc() || size.ptr != end || !modified)
        return std::nullopt;
    state.modified = *modified;
    return state;
}

void File::RecordSynced() const
{
    const RecordTarget target = FileRecords(m_location, m_mode, {m_device, m_inode});
    const std::string state = StateRecord(m_size, m_modified);
    if (ReadRecord(target, SyncedRecordName) != state)
        WriteRecord(target, SyncedRecordName, state);
}

void File::Move(const FileLocation& to)
{
    if (to.path == m_location.path)
        return;
    const FileLocation& from = m_location;
    from.raiseLookupError();
    to.raiseLookupError();
    // Never replace what is already there: the old name might be a kept copy of the user's.
    if (renameat2(from.directoryFd, from.lookupName(), to.directoryFd, to.lookupName(), RENAME_NOREPLACE) !=
        0) {
        int err = errno;
        struct stat st = {};
        if (err == EINVAL || err == ENOSYS) {
            if (StatAt(to, st, AT_SYMLINK_NOFOLLOW) == 0)
                throw Failure(ErrPathFileAccess, to.path);
            err = renameat(from.directoryFd, from.lookupName(), to.directoryFd, to.lookupName()) == 0 ? 0
                                                                                                      : errno;
        }
        if (err != 0)
            RaiseErrno(err, StatAt(from, st, AT_SYMLINK_NOFOLLOW) == 0 ? to.path : from.path);
    }
    m_location = to;
}

void File::CarryAttributesTo(int destinationFd) const
{
    struct stat copy = {};
    if (fstat(destinationFd, &copy) != 0)
        RaiseErrno(errno, m_location.path);
    const FileLocation noPath(std::string{});
    // The records go first: once the copy is read-only, only root could still write them.
    if (!(copy.st_mode & S_IWUSR) && fchmod(destinationFd, (copy.st_mode | S_IWUSR) & 07777) != 0)
        RaiseErrno(errno, m_location.path);
    CarryRecords({noPath, destinationFd, {copy.st_dev, copy.st_ino}, false}, DateCreated(),
                 Attributes() & AttrArchive, copy.st_size, FromTimespec(copy.st_mtim));
    // A new file already belongs to us; only root can give it another owner, as the source has.
    static const bool runningAsRoot = geteuid() == 0;
    if (runningAsRoot && (m_owner != copy.st_uid || m_group != copy.st_gid))
        (void)!fchown(destinationFd, m_owner, m_group); // a file system without owners keeps the copy as made
    if (fchmod(destinationFd, CarriedMode(m_mode, m_owner)) != 0)
        RaiseErrno(errno, m_location.path);
}

void File::CarryAttributesToLink(int directoryFd, const std::string& name) const
{
    struct stat copy = {};
    if (fstatat(directoryFd, name.c_str(), &copy, AT_SYMLINK_NOFOLLOW) != 0)
        RaiseErrno(errno, m_location.path);
    const FileLocation noPath(std::string{});
    CarryRecords({noPath, -1, {copy.st_dev, copy.st_ino}, true}, DateCreated(), Attributes() & AttrArchive,
                 copy.st_size, FromTimespec(copy.st_mtim));
    static const bool runningAsRoot = geteuid() == 0;
    if (runningAsRoot && (m_owner != copy.st_uid || m_group != copy.st_gid))
        (void)!fchownat(directoryFd, name.c_str(), m_owner, m_group, AT_SYMLINK_NOFOLLOW);
}

void DeleteFile(const FileLocation& location, bool force)
{
    struct stat st = {};
    if (StatAt(location, st, AT_SYMLINK_NOFOLLOW) != 0)
        RaiseErrno(errno, location.path);
    if (!force && S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR))
        throw Failure(ErrPermissionDenied, location.path);
    if (unlinkat(location.directoryFd, location.lookupName(), 0) != 0)
        RaiseErrno(errno, location.path);
    if (st.st_nlink == 1)
        ForgetRecords({st.st_dev, st.st_ino});
}

int GetAttributes(const std::string& path)
{
    return File::GetFile(path).Attributes();
}

void SetAttributes(const std::string& path, int attributes)
{
    File::GetFile(path).SetAttributes(attributes);
}

void CreateDirectory(const std::string& path)
{
    if (AtLocation(path, [](int fd, const char* name) { return mkdirat(fd, name, 0700); }) != 0)
        RaiseErrno(errno, path);
}

void RemoveDirectoryTree(const DirectoryHandle& parent, const std::string& name)
{
    {
        const DirectoryHandle directory = DirectoryHandle::OpenBelow(parent, name);
        // Every entry, unfinished copies included: none may keep the directory from going.
        for (const std::string& entry : ReadDirectory(directory, [](int, const dirent&) { return true; })) {
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
    std::vector<std::string> names = ReadDirectory(directory, [&](int fd, const dirent& entry) {
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
    return ReadDirectory(directory, [&](int fd, const dirent& entry) {
        if (entry.d_type != DT_UNKNOWN)
            return entry.d_type == DT_DIR;
        struct stat st = {};
        return fstatat(fd, entry.d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
    });
}

void CarryExtendedAttributes(int sourceFd, int destinationFd, const std::string& destination)
{
    const std::string names = AttributeNames(sourceFd);
    for (std::size_t start = 0; start < names.size();) {
        const char* name = names.c_str() + start;
        start += std::strlen(name) + 1;
        if (!IsCarriedAttribute(name))
            continue;
        const std::optional<std::string> value = AttributeValue(sourceFd, name);
        if (value && fsetxattr(destinationFd, name, value->data(), value->size(), 0) != 0 && !Refused(errno))
            RaiseErrno(errno, destination);
    }
}

void CarryDirectoryMode(const DirectoryHandle& source, const DirectoryHandle& target, OwnerAccess access)
{
    const struct stat from = StatOf(source);
    const struct stat to = StatOf(target);
    const mode_t mode = CarriedMode(from.st_mode, from.st_uid) | (access == OwnerAccess::Full ? S_IRWXU : 0);
    if ((to.st_mode & 07777) != mode && fchmod(target.fd(), mode) != 0)
        RaiseErrno(errno, target.path());
    CarryExtendedAttributes(source.fd(), target.fd(), target.path());
}

std::optional<mode_t> GiveOwnerFullAccess(const DirectoryHandle& directory)
{
    const struct stat st = StatOf(directory);
    if ((st.st_mode & S_IRWXU) == S_IRWXU)
        return std::nullopt;
    if (fchmod(directory.fd(), (st.st_mode & 07777) | S_IRWXU) != 0)
        RaiseErrno(errno, directory.path());
    return st.st_mode & 07777;
}

void RestoreMode(const DirectoryHandle& directory, mode_t mode)
{
    if (fchmod(directory.fd(), mode) != 0)
        RaiseErrno(errno, directory.path());
}

void CarryDirectoryTimes(const DirectoryHandle& source, const DirectoryHandle& target)
{
    const struct stat from = StatOf(source);
    const struct stat to = StatOf(target);
    if (FromTimespec(to.st_atim) == FromTimespec(from.st_atim) &&
        FromTimespec(to.st_mtim) == FromTimespec(from.st_mtim))
        return;
    const timespec times[2] = {from.st_atim, from.st_mtim};
    if (futimens(target.fd(), times) != 0)
        RaiseErrno(errno, target.path());
}

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
    DirectoryStream dir;
    try {
        dir = OpenDirectory(directory);
    } catch (const Failure&) {
        return;
    }
    std::vector<std::string> stale;
    while (const dirent* entry = readdir(dir.get())) {
        if (IsPartialFileName(entry->d_name))
            stale.emplace_back(entry->d_name);
    }
    for (const std::string& name : stale)
        RemoveIfStale(dirfd(dir.get()), name.c_str());
}

bool MatchesPattern(std::string_view name, std::string_view pattern)
{
    if (pattern == "*.*")
        return true;
    return MatchesFrom(name, pattern);
}

} // namespace kelvo
