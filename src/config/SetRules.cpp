#include "config/SetRules.h"

#include "platform/FilePath.h"

#include <QList>

#include <filesystem>
#include <sys/stat.h>
#include <utility>

namespace kelvo {

using namespace Qt::StringLiterals;

namespace {

std::optional<SetProblem> NameProblem(const BackupSets& sets, std::size_t index)
{
    const QString& name = sets[index].SetName;
    if (name.trimmed().isEmpty())
        return SetProblem{SetProblemKind::NoName, name};
    // The name is a key of the file and is matched exactly by the watch: blanks around it would be
    // invisible in every list and lost by a hand edit.
    if (name.trimmed() != name)
        return SetProblem{SetProblemKind::PaddedName, name};
    if (!IsValidSetName(name))
        return SetProblem{SetProblemKind::NameCharacters, name};
    for (std::size_t other = 0; other < sets.size(); ++other) {
        if (other != index && !sets[other].flRemoved &&
            sets[other].SetName.compare(name, Qt::CaseInsensitive) == 0)
            return SetProblem{SetProblemKind::DuplicateName, sets[other].SetName};
    }
    return std::nullopt;
}

std::optional<SetProblem> SourceProblem(const QString& source, bool sourceMayBeMissing)
{
    if (source.isEmpty())
        return SetProblem{SetProblemKind::NoSource, source};
    if (!source.startsWith(u'/'))
        return SetProblem{SetProblemKind::RelativeSource, source};
    if (FolderExists(ToFilePath(source)))
        return std::nullopt;
    // The run always treats the source as a directory, so a file here would back up nothing.
    if (FileExists(ToFilePath(source)))
        return SetProblem{SetProblemKind::SourceIsAFile, source};
    if (!sourceMayBeMissing)
        return SetProblem{SetProblemKind::SourceMissing, source};
    return std::nullopt;
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

std::optional<SetProblem> TreeProblem(const BackupSet& set)
{
    const std::string source = ToFilePath(set.SourceDirFile);
    const std::string destination = ToFilePath(set.DestDir);
    if (SameDirectory(source, destination))
        return SetProblem{SetProblemKind::SameDirectory, set.DestDir};
    if (!set.flSubDirectories)
        return std::nullopt;
    if (IsInside(destination, source))
        return SetProblem{SetProblemKind::DestinationInsideSource, set.DestDir};
    if (IsInside(source, destination))
        return SetProblem{SetProblemKind::SourceInsideDestination, set.SourceDirFile};
    return std::nullopt;
}

// A folder of the copied tree under the kept-copies folder's name would be backed up into that
// folder, where kept copies replace its files (the run refuses to keep anything there, so its files
// are no longer replaced). Checked at the top of the tree only, as the rules run once, not per run.
// A two-way set keeps its kept-copies folders on their sides, so a folder of that name is one of them.
std::optional<SetProblem> BackedUpSubDirectoryProblem(const BackupSet& set)
{
    if (!set.flArchive || SyncModeOf(set) == SyncMode::TwoWay)
        return std::nullopt;
    const QString& copied = SyncModeOf(set) == SyncMode::Reverse ? set.DestDir : set.SourceDirFile;
    const QString folder = copied + (copied.endsWith(u'/') ? u""_s : u"/"_s) + set.ArchiveSubDir;
    if (FolderExists(ToFilePath(folder)))
        return SetProblem{SetProblemKind::SubDirectoryBackedUp, folder};
    return std::nullopt;
}

std::optional<SetProblem> KeptCopyProblem(const BackupSet& set)
{
    if (set.flArchive && !set.flArchiveSubDir && KeptCopyNamingOf(set) == KeptCopyNaming::OwnName)
        return SetProblem{SetProblemKind::OwnNameWithoutSubDirectory, set.SetName};
    if (!set.flArchiveSubDir)
        return std::nullopt;
    const QString& subDir = set.ArchiveSubDir;
    if (subDir.isEmpty() || subDir == u"."_s || subDir == u".."_s || subDir.contains(u'/'))
        return SetProblem{SetProblemKind::SubDirectoryName, subDir};
    return BackedUpSubDirectoryProblem(set);
}

} // namespace

// Letters and digits of every script, by code point so that letters beyond the first plane count. A
// combining mark belongs to the letter before it: many scripts write vowels with them, and a name
// typed in decomposed form ("u" and a diaeresis) is the same name to the person who typed it.
bool IsValidSetName(const QString& name)
{
    bool afterLetter = false;
    for (const char32_t c : name.toUcs4()) {
        const bool allowed = QChar::isLetterOrNumber(c) || c == U' ' || (afterLetter && QChar::isMark(c));
        if (!allowed)
            return false;
        afterLetter = c != U' ';
    }
    return true;
}

std::optional<SetProblem> FindSetProblem(const BackupSets& sets, std::size_t index, bool sourceMayBeMissing)
{
    const BackupSet& set = sets[index];
    if (auto problem = NameProblem(sets, index))
        return problem;
    if (auto problem = SourceProblem(set.SourceDirFile, sourceMayBeMissing))
        return problem;
    if (set.DestDir.isEmpty())
        return SetProblem{SetProblemKind::NoDestination, set.DestDir};
    // The desktop program, kelvo-cli and cron each start in another working directory.
    if (!set.DestDir.startsWith(u'/'))
        return SetProblem{SetProblemKind::RelativeDestination, set.DestDir};
    if (auto problem = TreeProblem(set))
        return problem;
    return KeptCopyProblem(set);
}

} // namespace kelvo
