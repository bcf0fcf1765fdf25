#pragma once

#include "config/BackupSet.h"
#include "platform/FileSystem.h"

#include <optional>
#include <string>
#include <vector>

// The versions of the user's files that a set's backup holds: the backup copy and the kept copies,
// whatever naming the set has or had.
namespace kelvo {

// A set's two trees as a restore sees them: the one that holds the user's files, and their backup. A
// two-way set's trees are each other's backup; which one is the user's is the one the path was named in.
struct RestoreSides
{
    std::string live;   // ends with "/"
    std::string backup; // ends with "/"
    bool twoWay = false;
};

// A file or folder of a set: the sides, and the path below the live root ("" for the root itself, names
// joined by "/", no "/" at the end).
struct RestorePlace
{
    RestoreSides sides;
    std::string relative;
};

// path, relative to the set's source or absolute inside it (inside either tree of a two-way set), as a
// place of the set; nullopt when it lies outside, or climbs out with "..".
std::optional<RestorePlace> ResolveRestorePlace(const BackupSet& set, const std::string& path);

// One version of one file.
struct FileVersion
{
    int number = 0;       // 1 is the backup copy; kept copies follow from 2, newest content first
    std::string root;     // the tree it lies in
    std::string relative; // its path below that root
    FileState state;      // size and the time of its content

    std::string path() const { return root + relative; }
};

// Every version of the file at place, the backup copy first. Empty when the backup holds none.
std::vector<FileVersion> VersionsOf(const BackupSet& set, const RestorePlace& place);

// A file below a folder, with its versions.
struct VersionedFile
{
    std::string relative; // below the live root
    std::vector<FileVersion> versions;
};

// One folder of a set's backup as a restore shows it: its sub folders without the folders of kept copies,
// and the files of which it holds a version, each once by the name it has in the user's tree (also a
// file that only kept copies remain of). Each sorted by name.
struct BackupFolderEntries
{
    std::vector<std::string> folders;
    std::vector<std::string> files;
};

BackupFolderEntries ListBackupFolder(const BackupSet& set, const RestorePlace& place);

// Every file below the folder at place (at any depth) of which the backup holds a version, in a stable
// order. Links are never followed; the folders of kept copies are read as such, not as folders.
std::vector<VersionedFile> VersionsBelow(const BackupSet& set, const RestorePlace& place);

// A folder as it was at one point in time: each file at its newest version not newer than time.
struct FolderVersion
{
    int number = 0; // 1 is the backup as it stands
    FileTime time;
    qint64 size = 0;
    int files = 0;
};

// The points in time a folder's files can be restored to, newest first: the backup as it stands, then
// the time of each older version of any file below it.
std::vector<FolderVersion> FolderVersions(const std::vector<VersionedFile>& files);

// The version of file that a folder restored to time takes; nullptr when the file is newer than that.
const FileVersion* VersionAt(const VersionedFile& file, FileTime time);

// A tree's root, opened by its path as a run opens it; nullopt when it is missing. Raises 75 for a root
// reached through another account's link.
std::optional<DirectoryHandle> OpenTreeRoot(const std::string& root);

// Whether the backup holds a folder at place (and not a file).
bool IsBackedUpFolder(const RestorePlace& place);

} // namespace kelvo
