#include "platform/FileSystem.h"

#include "platform/Failure.h"
#include "platform/FilePath.h"
#include "platform/FileRecords.h"
#include "platform/OtherAccounts.h"

#include <cerrno>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace kelvo {

namespace {

FileTime FromStatx(const struct statx_timestamp& ts)
{
    return {ts.tv_sec, static_cast<qint32>(ts.tv_nsec)};
}

FileState StateOf(const struct stat& st)
{
    return {st.st_size, {st.st_mtim.tv_sec, static_cast<qint32>(st.st_mtim.tv_nsec)}};
}

// Never through a link: a file swapped for one after it was examined keeps the link's target untouched.
void ChangeMode(const FileLocation& location, mode_t mode)
{
    if (location.at(
            [&](int fd, const char* name) { return fchmodat(fd, name, mode, AT_SYMLINK_NOFOLLOW); }) != 0)
        RaiseErrno(errno, location.path);
}

RecordTarget FileRecords(const FileLocation& location, quint32 mode, FileKey key)
{
    return {location, -1, key, S_ISLNK(mode)};
}

int StatAt(const FileLocation& location, struct stat& st, int flags)
{
    return location.at([&](int fd, const char* name) { return fstatat(fd, name, &st, flags); });
}

} // namespace

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
    const int result = location.at([&](int fd, const char* name) {
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
            m_archive = record != ArchiveRecord(State(), {m_device, m_inode});
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
            WriteRecord(target, ArchiveRecordName, ArchiveRecord(State(), target.key));
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
    return record ? ParseStateRecord(*record) : std::nullopt;
}

void File::RecordSynced() const
{
    const RecordTarget target = FileRecords(m_location, m_mode, {m_device, m_inode});
    const std::string state = StateRecord(State());
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
                 Attributes() & AttrArchive, StateOf(copy));
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
                 StateOf(copy));
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

} // namespace kelvo
