#pragma once

#include "platform/FileDescriptor.h"

#include <QString>
#include <QtGlobal>

#include <compare>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

// File-system operations of the program. Paths are byte strings, as the kernel knows them, so that a
// file whose name is not valid UTF-8 is backed up like any other. Failures raise kelvo::Failure.
namespace kelvo {

enum FileAttribute : int {
    AttrNormal = 0,
    AttrReadOnly = 1, // the owner's write permission is cleared
    AttrHidden = 2,   // the name begins with "."
    AttrSystem = 4,   // a device, FIFO or socket; a symbolic link counts as a file and is copied as a link
    AttrDirectory = 16,
    AttrArchive = 32, // changed since the last backup
};

// Attribute masks of a directory listing.
enum ListingMask : int {
    MaskFiles = 3, // normal, read-only and hidden files
    MaskAll = 31,  // every entry, directories and system files included
};

struct FileTime
{
    qint64 seconds = 0;
    qint32 nanoseconds = 0;

    friend auto operator<=>(const FileTime&, const FileTime&) = default;
};

class DirectoryHandle;

// What a comparison knows of a file's contents without reading them.
struct FileState
{
    qint64 size = 0;
    FileTime modified;

    friend bool operator==(const FileState&, const FileState&) = default;
};

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

// The permission bits a copy of a file or folder of owner gets. What another account owns (a file it
// planted in a shared destination, copied back by a two-way or reverse set) never runs with the user's
// rights nor lends that account write access to the user's tree: set-user-ID, set-group-ID and write
// for group and others are dropped, as cp does when it cannot carry the owner. Root carries owners.
mode_t CarriedMode(mode_t mode, uid_t owner);

// Whether a directory belongs to an account other than the user and root, when the user is not root:
// that account could read and change whatever the run puts there.
bool BelongsToAnotherAccount(const DirectoryHandle& directory);

// Whether resolving path follows a symbolic link owned by an account other than the user and root: a
// link planted in a shared folder in place of a set's root, or of a folder on its way.
bool LeadsThroughAnotherAccountsLink(const std::string& path);

// Lets a test act in the instant between a run making a directory and opening it, as another account
// that can write into the destination could.
void SetDirectoryCreatedHook(std::function<void(const std::string& path)> hook);

// A path kept as text (settings, the command line) in the bytes the kernel knows it by.
std::string ToFilePath(const QString& text);
// path with "/" appended unless it already ends with one.
std::string WithTrailingSeparator(std::string path);

// true only for an existing file (not a directory); a dangling symbolic link is there, so it counts.
bool FileExists(const std::string& path);
bool FolderExists(const std::string& path);       // true only for an existing directory
std::string GetFileName(const std::string& path); // the last path component

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
int GetAttributes(const std::string& path);
void SetAttributes(const std::string& path, int attributes);
void CreateDirectory(const std::string& path); // one level, private (0700)
// Deletes the directory name in parent and everything below it, following no link. Raises on the
// first entry that cannot be deleted; what was deleted before it stays deleted.
void RemoveDirectoryTree(const DirectoryHandle& parent, const std::string& name);

// The names of a directory that pass the attribute mask, sorted byte-wise for a stable order. A
// symbolic link is a file entry, whatever it points to. specialEntries, when given, receives how many
// devices, FIFOs and sockets the mask left out. The unfinished files of replacements are never listed.
// Raises 76 when the directory is missing, 70 when it cannot be read.
std::vector<std::string> ListDirectory(const DirectoryHandle& directory, int attributeMask,
                                       int* specialEntries = nullptr);

// The sub directories of a directory, sorted byte-wise. Symbolic links are never included, so a walk
// over them cannot loop. Costs no stat per entry where the file system reports entry types.
std::vector<std::string> ListSubdirectories(const DirectoryHandle& directory);

// While a run writes into a backup directory its owner has full access to it, whatever its source's
// mode; the exact mode is given when the run is done with it.
enum class OwnerAccess { Full, AsSource };

// Gives target the permission bits, ACLs and user extended attributes of source.
void CarryDirectoryMode(const DirectoryHandle& source, const DirectoryHandle& target, OwnerAccess access);
// Gives the owner full access to a directory the run is about to write into (a backup of a read-only
// folder). Returns the mode it had when that changed it.
std::optional<mode_t> GiveOwnerFullAccess(const DirectoryHandle& directory);
// Puts back a mode that GiveOwnerFullAccess changed.
void RestoreMode(const DirectoryHandle& directory, mode_t mode);
// Gives target the access and modification times of source. Meant for after the directory's contents
// are written: writing them moves its times.
void CarryDirectoryTimes(const DirectoryHandle& source, const DirectoryHandle& target);

// Copies the user's extended attributes (user.*, except the program's own user.kelvo.*) and the POSIX
// ACLs from one open file to another. A destination that refuses them (no support, no room, not permitted)
// keeps the copy without them: the contents are what a backup must hold.
void CarryExtendedAttributes(int sourceFd, int destinationFd, const std::string& destination);

// The hidden name of the unfinished replacement of fileName: "." + fileName + ".kelvo-partial-" and
// 16 hexadecimal digits from random, the name shortened so that the whole fits one name.
std::string PartialFileName(const std::string& fileName, quint64 random);
bool IsPartialFileName(std::string_view name);
// Marks a just named partial file (open as fd) as held by a live replacement, for as long as fd stays
// open. false when a cleaner removed the name in the instant before: the caller takes another name.
bool ClaimPartialFile(int fd);
// Removes the unfinished replacements that a killed process left in directory: only names of that
// form that no live replacement holds.
void RemoveStaleReplacements(const DirectoryHandle& directory);

// Wildcards of a listing: "*" any run, "?" one character, letters without regard to case;
// "*.*" matches every name.
bool MatchesPattern(std::string_view name, std::string_view pattern);

} // namespace kelvo
