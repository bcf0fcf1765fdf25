#pragma once

#include <string>
#include <sys/types.h>

// What other accounts own: a destination may be a folder that others can write to, and what they put
// there must neither run with the user's rights nor lead a run out of the set's trees.
namespace kelvo {

class DirectoryHandle;

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

} // namespace kelvo
