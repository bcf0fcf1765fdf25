#pragma once

#include <dirent.h>
#include <functional>
#include <string>
#include <vector>

// The entries of an open directory, and the removal of a whole tree, following no symbolic link.
namespace kelvo {

class DirectoryHandle;

// Attribute masks of a directory listing.
enum ListingMask : int {
    MaskFiles = 3, // normal, read-only and hidden files
    MaskAll = 31,  // every entry, directories and system files included
};

// The names of a directory that pass the attribute mask, sorted byte-wise for a stable order. A
// symbolic link is a file entry, whatever it points to. specialEntries, when given, receives how many
// devices, FIFOs and sockets the mask left out. The unfinished files of replacements are never listed.
// Raises 76 when the directory is missing, 70 when it cannot be read.
std::vector<std::string> ListDirectory(const DirectoryHandle& directory, int attributeMask,
                                       int* specialEntries = nullptr);

// The sub directories of a directory, sorted byte-wise. Symbolic links are never included, so a walk
// over them cannot loop. Costs no stat per entry where the file system reports entry types.
std::vector<std::string> ListSubdirectories(const DirectoryHandle& directory);

// The names of a directory ("." and ".." aside) that accept takes, given the descriptor the entries
// are read through, sorted byte-wise. Raises as ListDirectory does.
std::vector<std::string> ListEntries(const DirectoryHandle& directory,
                                     const std::function<bool(int directoryFd, const dirent& entry)>& accept);

// Deletes the directory name in parent and everything below it, following no link. Raises on the
// first entry that cannot be deleted; what was deleted before it stays deleted.
void RemoveDirectoryTree(const DirectoryHandle& parent, const std::string& name);

} // namespace kelvo
