#include "engine/Run.h"
#include "engine/RunStopped.h"
#include "platform/DirectoryListing.h"
#include "platform/FileSystem.h"
#include "platform/ReplacementFile.h"

#include <QFile>

#include <sys/stat.h>
#include <unordered_set>

namespace kelvo {

// A file or link where the copying side now has a folder, or a folder where it now has a file: what is
// in the way is the old version of that name. A one-way set keeps it as a kept copy when it keeps
// copies; otherwise a file is replaced as any overwritten file is, and a whole folder only when the set
// deletes removed files, since its files were removed from the copying side. A two-way set replaces
// nothing: either side may be the user's newest. false when the old version stays.
bool Run::clearOldVersion(const DirectoryHandle& parent, const std::string& name)
{
    const BackupSet& set = m_walk.set;
    const FileLocation location(parent, name);
    std::optional<File> old = File::TryGetFile(location);
    if (!old)
        return true;
    if (SyncModeOf(set) == SyncMode::TwoWay || !set.flOverwrite)
        return false;
    const bool folder = old->IsDirectory();
    m_walk.wrote = true;
    if (KeepsCopies(set)) {
        const std::string was = old->Path();
        KeepExistingCopy(m_context.clock, set, *old);
        m_log.Note("Kept " + was + " as " + old->Path() + ": the source has a " +
                   (folder ? "file" : "folder") + " of that name now");
        return true;
    }
    if (folder && !set.flRemovedDeletedFiles)
        return false;
    if (folder)
        RemoveDirectoryTree(parent, name);
    else
        DeleteFile(location, true);
    m_log.Deleted(parent.path(), name);
    return true;
}

void Run::deleteRemovedFiles(const DirectoryHandle& directory, const DirectoryHandle& target,
                             const std::vector<std::string>& names, int specialEntries,
                             KeptCopyRetention& keptCopies)
{
    const BackupSet& set = m_walk.set;
    if (IsKeptCopyFolder(set, target.path()))
        return;
    const std::unordered_set<std::string> present(names.begin(), names.end());
    std::vector<std::string> removed;
    for (const std::string& name : ListDirectory(target, MaskFiles)) {
        // Only a file the file system reports as absent is gone; anything else keeps the backup.
        if (!present.count(name) && !IsKeptCopyName(set, name) &&
            !File::TryGetFile(FileLocation(directory, name)))
            removed.push_back(name);
    }
    if (removed.empty())
        return;
    // A folder with nothing at all in it while its backup holds files is the mount point of a drive or
    // share that is not there, or a folder emptied by mistake: the scan would take the backup with it.
    if (names.empty() && specialEntries == 0 && ListSubdirectories(directory).empty()) {
        m_log.Problem("Error : " + directory.path() + " is empty. Nothing is deleted from " + target.path());
        countError();
        return;
    }
    m_walk.wrote = true;
    for (const std::string& name : removed) {
        m_lastSeen = name;
        removeFile(FileLocation(directory, name), target, name, keptCopies);
    }
    m_lastSeen.clear();
}

// A set that keeps copies keeps a removed file as it keeps a replaced one, so that a file deleted by
// mistake can be got back from the backup.
void Run::removeFile(const FileLocation& copyingSide, const DirectoryHandle& target, const std::string& name,
                     KeptCopyRetention& keptCopies)
{
    const FileLocation backup(target, name);
    if (!KeepsCopies(m_walk.set)) {
        DeleteFile(backup, true);
        m_log.Deleted(target.path(), name);
        return;
    }
    File file = File::GetFile(backup);
    try {
        KeepBeforeReplacing(m_context.clock, m_walk.set, copyingSide, file);
    } catch (const Failure& failure) {
        // The kept-copies folder cannot be reached or is a backed-up folder: the file stays.
        if (failure.number() != ErrPathFileAccess)
            throw;
        handleFailure(failure);
        return;
    }
    m_log.DeletedAndKept(target.path(), name, file.Path());
    trimKeptCopies(keptCopies, name, file.Name());
}

void Run::examineFile(const DirectoryHandle& directory, const DirectoryHandle& target,
                      const std::string& name, TimePrecision precision, KeptCopyRetention& keptCopies)
{
    YieldToEvents(m_context.observer);
    ++m_context.statistics.filesExamined;
    m_context.observer.statisticsChanged(m_context.statistics);
    stampLastDate(storedSet());

    const FilePair pair{directory, target, name};
    try {
        SyncConflict conflict;
        std::string keptName;
        if (NeedsCopy(m_context.clock, m_walk.set, pair.source, pair.destination, CopyCheck::BeforeCopy,
                      precision, &conflict, &keptName)) {
            if (!conflict.keptAs.empty())
                reportConflict(pair, conflict);
            copyFile(pair, precision);
        }
        if (!keptName.empty())
            trimKeptCopies(keptCopies, name, keptName);
    } catch (const Failure& failure) {
        // A file that vanished, an invalid argument, or a file or its kept copy that cannot be reached
        // (a link in the place of the kept-copies folder) costs this file only.
        if (failure.number() != ErrFileNotFound && failure.number() != ErrInvalidArgument &&
            failure.number() != ErrPathFileAccess)
            throw;
        handleFailure(failure);
    }
    if (m_context.screenSaverMode)
        m_context.observer.screenSaverStep();
}

// The copies that the set's limits take away are deletes of the run; one that cannot be removed is an
// error of its own and leaves the rest of the run as it is.
void Run::trimKeptCopies(KeptCopyRetention& keptCopies, const std::string& name, const std::string& keptName)
{
    for (const KeptCopyRemoval& removal : keptCopies.trim(name, keptName)) {
        if (removal.failure) {
            m_log.Problem("Error : Cannot delete the kept copy " + removal.path + " : " +
                          removal.failure->description().toStdString());
            countError();
        } else {
            m_walk.wrote = true;
            m_log.DeletedKeptCopy(removal.path);
        }
    }
}

// Both versions are kept, and the user is told as of an error: only a person can merge them.
void Run::reportConflict(const FilePair& pair, const SyncConflict& conflict)
{
    const std::string& source = pair.source.path;
    const std::string& destination = pair.destination.path;
    if (conflict.futureDated)
        m_log.Problem("Conflict : " + source + " is dated in the future. The version of " + destination +
                      " it replaces is kept as " + conflict.keptAs);
    else
        m_log.Problem("Conflict : " + source + " and " + destination +
                      " both changed since the last run. The version of " + destination + " is kept as " +
                      conflict.keptAs);
    countError();
}

void Run::copyFile(const FilePair& pair, TimePrecision precision)
{
    const BackupSet& set = m_walk.set;
    const bool clearsArchiveFlag = CopyCriterionOf(set) == CopyCriterion::ArchiveFlag;
    // What the source was when it was copied: a change made while it is copied must count as a change.
    const std::optional<File> copied =
        SyncModeOf(set) == SyncMode::TwoWay ? File::TryGetFile(pair.source) : std::nullopt;
    m_context.observer.currentFileChanged(QFile::decodeName(QByteArray::fromStdString(pair.name)));
    if (const std::optional<File> inTheWay = File::TryGetFile(pair.destination);
        inTheWay && inTheWay->IsDirectory())
        clearOldVersion(pair.target, pair.name);
    std::optional<File> firstOfItsLinks;
    const qint64 result = CopyFileWithProgress(m_context, m_walk.copyRefusals, pair.source, pair.destination,
                                               [&](const File& source) {
                                                   if (source.LinkCount() < 2)
                                                       return false;
                                                   if (linkToFirstCopy(source, pair.destination))
                                                       return true;
                                                   firstOfItsLinks = source;
                                                   return false;
                                               });
    if (result > 0 && firstOfItsLinks)
        rememberFirstCopy(*firstOfItsLinks, pair.destination);
    const bool success = result > 0 || !NeedsCopy(m_context.clock, set, pair.source, pair.destination,
                                                  CopyCheck::AfterCopy, precision);
    if (!success) {
        m_log.CopyFailed(pair.directory.path(), pair.target.path(), pair.name);
        return;
    }
    ++m_context.statistics.filesCopied;
    m_walk.wrote = true;
    m_context.observer.statisticsChanged(m_context.statistics);
    m_log.Copied(pair.directory.path(), pair.target.path(), pair.name);
    if (copied)
        RecordSynced(*copied, pair.destination);
    if (clearsArchiveFlag) {
        File source = File::GetFile(pair.source);
        source.SetAttributes(source.Attributes() & ~AttrArchive);
    }
}

// The first copy of a multiply linked file is found again without following links, and the destination
// becomes one more name of it, so long as it is still the copy this run made.
bool Run::linkToFirstCopy(const File& source, const FileLocation& destination)
{
    const auto first = m_walk.hardLinks.find({source.Device(), source.Inode()});
    if (first == m_walk.hardLinks.end())
        return false;
    const FirstCopy& copy = first->second;
    try {
        const DirectoryHandle directory = DirectoryHandle::OpenBelow(
            rootOf(copy.inSource ? m_walk.source : m_walk.destination, true), copy.relative);
        ReplaceWithHardLink(destination, FileLocation(directory, copy.name),
                            [&](int directoryFd, const std::string& name) {
                                struct stat st = {};
                                if (::fstatat(directoryFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
                                    st.st_dev != copy.device || st.st_ino != copy.inode)
                                    throw Failure(ErrPathFileAccess, destination.path);
                            });
        return true;
    } catch (const Failure&) {
        return false; // the first copy is gone or was replaced: this one is copied on its own
    }
}

void Run::rememberFirstCopy(const File& source, const FileLocation& destination)
{
    const std::optional<File> copy = File::TryGetFile(destination);
    if (copy)
        m_walk.hardLinks[{source.Device(), source.Inode()}] =
            FirstCopy{m_targetInSource, m_targetRelative, destination.name, copy->Device(), copy->Inode()};
}

} // namespace kelvo
