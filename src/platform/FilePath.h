#pragma once

#include <QString>

#include <string>

// Paths are byte strings, as the kernel knows them, so that a file whose name is not valid UTF-8 is
// backed up like any other.
namespace kelvo {

// A path kept as text (settings, the command line) in the bytes the kernel knows it by.
std::string ToFilePath(const QString& text);
// path with "/" appended unless it already ends with one.
std::string WithTrailingSeparator(std::string path);

// true only for an existing file (not a directory); a dangling symbolic link is there, so it counts.
bool FileExists(const std::string& path);
bool FolderExists(const std::string& path);       // true only for an existing directory
std::string GetFileName(const std::string& path); // the last path component
// The path up to and with its last "/": "a/b/" for "a/b/c.txt", "" for a plain name.
std::string GetFolderPart(const std::string& path);

} // namespace kelvo
