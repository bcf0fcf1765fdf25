#pragma once

#include "platform/DirectoryHandle.h"

#include <QtGlobal>

#include <compare>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

// The files a run examines and what it keeps of them: stat, attributes and the program's records.
// Failures raise kelvo::Failure.
namespace kelvo {

enum FileAttribute : int {
    AttrNormal = 0,
    AttrReadOnly = 1, // the owner's write permission is cleared
    AttrHidden = 2,   // the name begins with "."
    AttrSystem = 4,   // a device, FIFO or socket; a symbolic link counts as a file and is copied as a link
    AttrDirectory = 16,
    AttrArchive = 32, // changed since the last backup
};

struct FileTime
{
    qint64 seconds = 0;
    qint32 nanoseconds = 0;

    friend auto operator<=>(const FileTime&, const FileTime&) = default;
};

// What a comparison knows of a file's contents without reading them.
struct FileState
{
    qint64 size = 0;
    FileTime modified;

    friend bool operator==(const FileState&, const FileState&) = default;
};

// A file's properties, read with one stat when the object is made. A symbolic link is never followed:
// its own times, and its size is the length of its target text. The archive flag and the creation
// time cost an extended-attribute read, so they are read only when asked for.
class File final
{
public:
    // Raises 53 when the file is missing.
    static File GetFile(const FileLocation& location);
    // nullopt when the file system says there is no such file; other failures raise.
    static std::optional<File> TryGetFile(const FileLocation& location);

    const std::string& Path() const { return m_location.path; }
    const FileLocation& Location() const { return m_location; }
    std::string Name() const;

    qint64 Size() const { return m_size; }
    quint64 LinkCount() const { return m_links; }
    quint64 Device() const { return m_device; }
    quint64 Inode() const { return m_inode; }
    qint64 AllocatedBytes() const { return m_allocated; }
    bool IsSymbolicLink() const;
    bool IsDirectory() const;
    bool SameTypeAs(const File& other) const; // file, link, directory or a special file alike
    FileTime DateLastModified() const { return m_modified; }
    FileTime DateLastAccessed() const { return m_accessed; }
    FileTime DateCreated() const;
    int Attributes() const;
    // Only read-only (1) and archive (32) can change; the other bits are ignored.
    void SetAttributes(int attributes);

    FileState State() const { return {m_size, m_modified}; }
    // The state a two-way run recorded as what it left the file with; nullopt when none did (a new
    // file, one that a new file replaced, one from before the records). An extended-attribute read, so
    // it is read only when asked for.
    std::optional<FileState> SyncedRecord() const;
    // Records the state this object read as what the run leaves the file with.
    void RecordSynced() const;

    // Keeps contents, times and attributes; never replaces what is at to (raises 75 then).
    void Move(const FileLocation& to);

    // Carries this file's creation time, read-only state and archive state to an open copy whose
    // contents and last-write time are final (the archive record names the copy's own size and time).
    void CarryAttributesTo(int destinationFd) const;
    // The same for a symbolic link copied from this one, found by its (temporary) name in directoryFd:
    // a link holds no extended attributes, so its records live in the per-user store.
    void CarryAttributesToLink(int directoryFd, const std::string& name) const;

private:
    explicit File(const FileLocation& location) : m_location(location) {}

    FileLocation m_location;
    qint64 m_size = 0;
    qint64 m_allocated = 0;
    FileTime m_modified;
    FileTime m_accessed;
    FileTime m_birth; // the file system's birth time, zero when it keeps none
    quint32 m_mode = 0;
    quint32 m_owner = 0;
    quint32 m_group = 0;
    quint64 m_device = 0;
    quint64 m_inode = 0;
    quint64 m_links = 1;
    mutable std::optional<FileTime> m_created;
    mutable std::optional<bool> m_archive;
};

void DeleteFile(const FileLocation& location, bool force); // force: read-only files too; never a directory

// The attributes a file's type gives it: directory, system (devices, FIFOs, sockets) or none.
int TypeAttributes(mode_t mode);
bool IsHiddenName(std::string_view name); // a name that begins with "."

} // namespace kelvo
