#include "cli/SetValidation.h"

#include "cli/UsageError.h"
#include "platform/FileSystem.h"


namespace kelvo::cli {

using namespace Qt::StringLiterals;

namespace {

void ValidateName(const BackupSets& sets, std::size_t index)
{
    const QString& name = sets[index].SetName;
    if (name.isEmpty())
        throw UsageError(u"a set needs a name"_s);
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

bool IsInside(const QString& path, const QString& directory)
{
    const QString prefix = directory.endsWith(u'/') ? directory : directory + u'/';
    return path.startsWith(prefix);
}

void ValidateTrees(const BackupSet& set)
{
    if (set.SourceDirFile == set.DestDir)
        throw UsageError(u"source and destination are the same directory"_s);
    if (!set.flSubDirectories)
        return;
    if (IsInside(set.DestDir, set.SourceDirFile))
        throw UsageError(u"the destination lies inside the source; the set would back up its own copy"_s);
    if (IsInside(set.SourceDirFile, set.DestDir))
        throw UsageError(u"the source lies inside the destination; the set would back up its own copy"_s);
}

void ValidateKeptCopies(const BackupSet& set)
{
    if (set.flArchive && !set.flArchiveSubDir && set.ArchiveOptions == u"OpKeep"_s)
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
