#pragma once

#include <QtGlobal>

#include <string>
#include <string_view>

// The unfinished replacements of files: hidden names beside their targets, held by a lock for as long
// as the replacement that wrote them lives, so that what a killed process left can be told apart.
namespace kelvo {

class DirectoryHandle;

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

} // namespace kelvo
