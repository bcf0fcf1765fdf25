#include "cli/SetValidation.h"

#include "cli/UsageError.h"
#include "platform/FileSystem.h"

#include <filesystem>
#include <optional>
#include <sys/stat.h>
#include <utility>

namespace kelvo::cli {

using namespace Qt::StringLiterals;

namespace {

void ValidateName(const BackupSets& sets, std::size_t index)
{
    const QString& name = sets[index].SetName;
    if (name.trimmed().isEmpty())
        throw UsageError(u"a set needs a name"_s);
    // The name is a key of the file and is matched exactly by the watch: blanks around it would be
    // invisible in every list and lost by a hand edit.
    if (name.trimmed() != name)
        throw UsageError(u"set name \"%1\" begins or ends with a space"_s.arg(name));
    if (!IsValidSetName(name))
        throw UsageError(u"set name \"%1\": use only letters a-z, A-Z, digits 0-9 and spaces"_s.arg(name));
    for (std::size_t other = 0; other < sets.size(); ++other) {
        if (other != index && !sets[other].flRemoved &&
            sets[other].SetName.compare(name, Qt::CaseInsensitive) == 0)
            throw UsageError(u"a set named \"%1\" already exists"_s.arg(sets[other].SetName));
    }
}

void ValidateSource(const QString& source, bool force)
{
    if (source.isEmpty())
        throw UsageError(u"a source directory is required (--source)"_s);
    if (FolderExists(ToFilePath(source)))
        return;
    // The run always treats the source as a directory, so a file here would back up nothing.
    if (FileExists(ToFilePath(source)))
        throw UsageError(u"source %1 is a file; a set backs up a directory"_s.arg(source));
    if (!force)
        throw UsageError(u"source directory %1 does not exist (--force adds the set anyway)"_s.arg(source));
}

// Links and "." or ".." resolved as far as the path exists, so that a link cannot hide where it leads.
std::string CanonicalPath(const std::string& path)
{
    std::error_code error;
    std::string canonical = std::filesystem::weakly_canonical(path, error).string();
    if (error)
        canonical = path;
    while (canonical.size() > 1 && canonical.ends_with('/'))
        canonical.pop_back();
    return canonical;
}

std::optional<std::pair<dev_t, ino_t>> DirectoryIdentity(const std::string& path)
{
    struct stat info;
    if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return std::nullopt;
    return std::pair(info.st_dev, info.st_ino);
}

std::string ParentPath(const std::string& path)
{
    const auto slash = path.find_last_of('/', path.size() > 1 ? path.size() - 2 : 0);
    return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

bool SameDirectory(const std::string& a, const std::string& b)
{
    if (CanonicalPath(a) == CanonicalPath(b))
        return true;
    const auto identity = DirectoryIdentity(a);
    return identity && identity == DirectoryIdentity(b);
}

// By path once links are resolved, and by device and inode of the directories above inner, which
// also sees through a bind mount of outer.
bool IsInside(const std::string& inner, const std::string& outer)
{
    const std::string canonicalOuter = CanonicalPath(outer);
    const std::string prefix = canonicalOuter.ends_with('/') ? canonicalOuter : canonicalOuter + '/';
    std::string ancestor = CanonicalPath(inner);
    if (ancestor.starts_with(prefix))
        return true;
    const auto outerIdentity = DirectoryIdentity(outer);
    if (!outerIdentity)
        return false;
    while (ancestor != "/") {
        ancestor = ParentPath(ancestor);
        if (DirectoryIdentity(ancestor) == outerIdentity)
            return true;
    }
    return false;
}

void ValidateTrees(const BackupSet& set)
{
    const std::string source = ToFilePath(set.SourceDirFile);
    const std::string destination = ToFilePath(set.DestDir);
    if (SameDirectory(source, destination))
        throw UsageError(u"source and destination are the same directory"_s);
    if (!set.flSubDirectories)
        return;
    if (IsInside(destination, source))
        throw UsageError(u"the destination lies inside the source; the set would back up its own copy"_s);
    if (IsInside(source, destination))
        throw UsageError(u"the source lies inside the destination; the set would back up its own copy"_s);
}

void ValidateKeptCopies(const BackupSet& set)
{
    if (set.flArchive && !set.flArchiveSubDir && KeptCopyNamingOf(set) == KeptCopyNaming::OwnName)
        throw UsageError(
            u"--keep name needs --keep-subdir: a kept copy of the same name needs its own directory"_s);
    if (!set.flArchiveSubDir)
        return;
    const QString& subDir = set.ArchiveSubDir;
    if (subDir.isEmpty() || subDir == u"."_s || subDir == u".."_s || subDir.contains(u'/'))
        throw UsageError(u"--keep-subdir takes the name of one sub directory, not \"%1\""_s.arg(subDir));
}

} // namespace

bool IsValidSetName(const QString& name)
{
    for (const QChar c : name) {
        const char16_t u = c.unicode();
        const bool allowed =
            (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9') || u == u' ';
        if (!allowed)
            return false;
    }
    return true;
}

void ValidateSet(const BackupSets& sets, std::size_t index, bool force)
{
    const BackupSet& set = sets[index];
    ValidateName(sets, index);
    ValidateSource(set.SourceDirFile, force);
    if (set.DestDir.isEmpty())
        throw UsageError(u"a destination directory is required (--dest)"_s);
    ValidateTrees(set);
    ValidateKeptCopies(set);
}

} // namespace kelvo::cli
