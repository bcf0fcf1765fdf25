#include "platform/FileSystem.h"

#include "platform/AttributeRecordStore.h"
#include "platform/Failure.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace kelvo {

namespace {

constexpr const char* ArchiveRecordName = "user.kelvo.archive";
constexpr const char* CreatedRecordName = "user.kelvo.created";

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

// The record that marks a file as backed up: it holds only while the file keeps this size and time.
std::string ArchiveRecord(qint64 size, FileTime modified)
{
    return std::to_string(size) + " " + FormatTime(modified);
}

bool IsDirectory(const std::string& path)
{
    struct stat st = {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string StripTrailingSlashes(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

std::string JoinPath(const std::string& directory, const std::string& name)
{
    if (!directory.empty() && directory.back() == '/')
        return directory + name;
    return directory + "/" + name;
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
    return S_ISREG(mode) ? AttrNormal : AttrSystem;
}

// The attributes that decide whether a listing shows an entry; read-only and archive never hide one.
int EntryTypeAttributes(const std::string& directory, const dirent& entry)
{
    switch (entry.d_type) {
    case DT_REG:
        return AttrNormal;
    case DT_DIR:
        return AttrDirectory;
    case DT_UNKNOWN:
    case DT_LNK: {
        struct stat st = {};
        if (stat(JoinPath(directory, entry.d_name).c_str(), &st) != 0)
            return AttrSystem; // a dangling link is no file a run could copy
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

DirectoryStream OpenDirectory(const std::string& directory)
{
    DIR* dir = opendir(directory.c_str());
    if (!dir) {
        const int err = errno;
        throw Failure(err == ENOENT ? ErrPathNotFound : ErrorNumberFromErrno(err), directory);
    }
    return DirectoryStream(dir);
}

template <typename Accept> std::vector<std::string> ReadDirectory(const std::string& directory, Accept accept)
{
    const DirectoryStream dir = OpenDirectory(directory);
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = readdir(dir.get())) {
        if (!IsDotEntry(entry->d_name) && accept(*entry))
            names.emplace_back(entry->d_name);
        errno = 0;
    }
    if (errno != 0)
        RaiseErrno(errno, directory);
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

void ChangeMode(const std::string& path, mode_t mode)
{
    if (chmod(path.c_str(), mode) != 0)
        RaiseErrno(errno, path);
}

} // namespace

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

DirectoryHandle::DirectoryHandle(std::string path)
    : m_path(std::move(path)), m_fd(open(m_path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC))
{
    if (m_fd < 0)
        m_fd = AT_FDCWD;
}

DirectoryHandle::~DirectoryHandle()
{
    if (m_fd != AT_FDCWD)
        close(m_fd);
}

FileLocation::FileLocation(const DirectoryHandle& directory, const std::string& fileName)
    : path(directory.path() + fileName), directoryFd(directory.fd())
{
    if (directoryFd != AT_FDCWD)
        name = fileName;
}

bool FileExists(const std::string& path)
{
    struct stat st = {};
    return !path.empty() && stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
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
    if (statx(location.directoryFd, location.lookupName(), 0, STATX_BASIC_STATS | STATX_BTIME, &stx) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return std::nullopt;
        RaiseErrno(errno, location.path);
    }
    File file;
    file.m_path = location.path;
    file.m_size = static_cast<qint64>(stx.stx_size);
    file.m_modified = FromStatx(stx.stx_mtime);
    file.m_accessed = FromStatx(stx.stx_atime);
    if (stx.stx_mask & STATX_BTIME)
        file.m_birth = FromStatx(stx.stx_btime);
    file.m_mode = stx.stx_mode;
    file.m_owner = stx.stx_uid;
    file.m_group = stx.stx_gid;
    file.m_device = makedev(stx.stx_dev_major, stx.stx_dev_minor);
    file.m_inode = stx.stx_ino;
    return file;
}

std::string File::Name() const
{
    return GetFileName(m_path);
}

std::string File::ParentFolderPath() const
{
    const std::string stripped = StripTrailingSlashes(m_path);
    const auto slash = stripped.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : stripped.substr(0, slash);
}

FileTime File::DateCreated() const
{
    if (!m_created) {
        const std::optional<std::string> carried =
            ReadRecord({m_path, -1, {m_device, m_inode}}, CreatedRecordName);
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
                S_ISREG(m_mode) ? ReadRecord({m_path, -1, {m_device, m_inode}}, ArchiveRecordName)
                                : std::nullopt;
            m_archive = record != ArchiveRecord(m_size, m_modified);
        }
        if (*m_archive)
            attributes |= AttrArchive;
    }
    return attributes;
}

void File::SetAttributes(int attributes)
{
    const bool readOnly = attributes & AttrReadOnly;
    // A user record needs write permission on the file, so the write bit is given before the record is
    // written and taken away after.
    if (!readOnly && !(m_mode & S_IWUSR)) {
        m_mode |= S_IWUSR;
        ChangeMode(m_path, m_mode & 07777);
    }
    const bool archive = attributes & AttrArchive;
    if (S_ISREG(m_mode) && archive != static_cast<bool>(Attributes() & AttrArchive)) {
        const RecordTarget target{m_path, -1, {m_device, m_inode}};
        if (archive)
            RemoveRecord(target, ArchiveRecordName);
        else
            WriteRecord(target, ArchiveRecordName, ArchiveRecord(m_size, m_modified));
        m_archive = archive;
    }
    if (readOnly && (m_mode & S_IWUSR)) {
        m_mode &= ~S_IWUSR;
        ChangeMode(m_path, m_mode & 07777);
    }
}

void File::Move(const std::string& newPath)
{
    if (newPath == m_path)
        return;
    // Never replace what is already there: the old name might be a kept copy of the user's.
    if (renameat2(AT_FDCWD, m_path.c_str(), AT_FDCWD, newPath.c_str(), RENAME_NOREPLACE) != 0) {
        int err = errno;
        if (err == EINVAL || err == ENOSYS) {
            struct stat st = {};
            if (lstat(newPath.c_str(), &st) == 0)
                throw Failure(ErrPathFileAccess, newPath);
            err = rename(m_path.c_str(), newPath.c_str()) == 0 ? 0 : errno;
        }
        if (err != 0) {
            struct stat st = {};
            RaiseErrno(err, lstat(m_path.c_str(), &st) == 0 ? newPath : m_path);
        }
    }
    m_path = newPath;
}

void File::Delete()
{
    DeleteFile(m_path, false);
}

void File::CarryAttributesTo(int destinationFd) const
{
    struct stat copy = {};
    if (fstat(destinationFd, &copy) != 0)
        RaiseErrno(errno, m_path);
    const std::string noPath;
    const RecordTarget target{noPath, destinationFd, {copy.st_dev, copy.st_ino}};
    // The records go first: once the copy is read-only, only root could still write them.
    if (!(copy.st_mode & S_IWUSR) && fchmod(destinationFd, (copy.st_mode | S_IWUSR) & 07777) != 0)
        RaiseErrno(errno, m_path);
    WriteRecord(target, CreatedRecordName, FormatTime(DateCreated()));
    if (Attributes() & AttrArchive)
        RemoveRecord(target, ArchiveRecordName);
    else
        WriteRecord(
            target, ArchiveRecordName,
            ArchiveRecord(copy.st_size, {copy.st_mtim.tv_sec, static_cast<qint32>(copy.st_mtim.tv_nsec)}));
    // A new file already belongs to us; only root can give it another owner, as the source has.
    static const bool runningAsRoot = geteuid() == 0;
    if (runningAsRoot && (m_owner != copy.st_uid || m_group != copy.st_gid))
        (void)!fchown(destinationFd, m_owner, m_group); // a file system without owners keeps the copy as made
    if (fchmod(destinationFd, m_mode & 07777) != 0)
        RaiseErrno(errno, m_path);
}

void DeleteFile(const std::string& path, bool force)
{
    struct stat st = {};
    if (lstat(path.c_str(), &st) != 0)
        RaiseErrno(errno, path);
    if (!force && S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR))
        throw Failure(ErrPermissionDenied, path);
    if (unlink(path.c_str()) != 0)
        RaiseErrno(errno, path);
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
    if (mkdir(path.c_str(), 0777) != 0)
        RaiseErrno(errno, path);
}

std::vector<std::string> ListDirectory(const std::string& directory, int attributeMask)
{
    const int shownTypes = attributeMask & (AttrHidden | AttrSystem | AttrDirectory);
    return ReadDirectory(directory, [&](const dirent& entry) {
        int attributes = EntryTypeAttributes(directory, entry);
        if (IsHiddenName(entry.d_name))
            attributes |= AttrHidden;
        return (attributes & ~shownTypes) == 0;
    });
}

std::vector<std::string> ListSubdirectories(const std::string& directory)
{
    return ReadDirectory(directory, [&](const dirent& entry) {
        if (entry.d_type != DT_UNKNOWN)
            return entry.d_type == DT_DIR;
        struct stat st = {};
        return lstat(JoinPath(directory, entry.d_name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    });
}

bool MatchesPattern(std::string_view name, std::string_view pattern)
{
    if (pattern == "*.*")
        return true;
    return MatchesFrom(name, pattern);
}

} // namespace kelvo
