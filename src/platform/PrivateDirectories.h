#pragma once

#include <string>

// Kelvo's configuration, data and autostart folders hold what decides which files it reads and writes
// and what the desktop starts: another account that could write there could replace them. So every
// folder Kelvo makes is 0700 whatever the umask, and a folder of its own that it finds open to others
// is closed.
namespace kelvo {

// Makes directory and each missing folder above it, every new one 0700; folders already there are left
// as they are. 0, or the errno value of the failure.
int MakePrivateDirectories(const std::string& directory);

// As MakePrivateDirectories, for a folder that is Kelvo's alone ($XDG_CONFIG_HOME/kelvo, its run-locks,
// $XDG_DATA_HOME/kelvo): found already there, it loses group and other write permission.
int MakeOwnDirectory(const std::string& directory);

// Takes group and other write permission from this user's file or folder at path, as far as the file
// system allows; a symbolic link is left alone, and so is what it names.
void WithholdWriteFromOthers(const std::string& path);

} // namespace kelvo
