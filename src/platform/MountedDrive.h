#pragma once

#include <optional>
#include <string>

namespace kelvo {

// Which mounted file system holds directory: its mount point and its type, as "/media/me/Backup ext4"
// (the mount point escaped as /proc/self/mountinfo escapes it, so the text has no blank or control
// character of its own). Nothing when directory does not exist.
//
// A backup drive that is not plugged in leaves its mount point as an empty folder of the system disk,
// or no folder at all; the mount point of what holds the directory then changes. The mount point and
// the type stay the same across reboots and replugging, unlike the device numbers (a USB drive is
// sdb1 one day and sdc1 the next, tmpfs and btrfs numbers are made up at each mount), and every file
// system has them, unlike a UUID (tmpfs and network shares have none).
std::optional<std::string> DriveOf(const std::string& directory);

// The same for a path without links, from the text of a mountinfo file: the mount whose mount point
// is the longest that holds the path, the later of two at the same point (it lies on top).
std::optional<std::string> DriveIn(const std::string& mountInfo, const std::string& resolvedPath);

} // namespace kelvo
