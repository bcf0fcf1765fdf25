#pragma once

#include <optional>
#include <string>
#include <sys/types.h>

// What a copy carries of its source besides its contents: permission bits, ACLs, the user's extended
// attributes and, for a directory, its times.
namespace kelvo {

class DirectoryHandle;

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

} // namespace kelvo
