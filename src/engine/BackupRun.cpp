#include "engine/BackupRun.h"

#include "config/RunRecords.h"
#include "engine/Comparison.h"
#include "engine/FileCopy.h"
#include "engine/LogFile.h"
#include "engine/RunStopped.h"
#include "engine/SetRunLock.h"
#include "platform/Failure.h"
#include "platform/FileSystem.h"
#include "platform/ReplacementFile.h"
#include "platform/RunPriority.h"

#include <QFile>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <future>
#include <map>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>

namespace kelvo {

namespace {

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

// Splits the filter text at ";" and trims each piece, so that "*.txt; *.h" means both patterns;
// empty pieces are ignored, and a text without any pattern means every file.
std::vector<std::string> SplitFilters(const std::string& text)
{
    std::vector<std::string> filters;
    std::string::size_type start = 0;
    while (start <= text.size()) {
        auto end = text.find(';', start);
        if (end == std::string::npos)
            end = text.size();
        auto first = start;
        auto last = end;
        while (first < last && IsBlank(text[first]))
            ++first;
        while (last > first && IsBlank(text[last - 1]))
            --last;
        if (last > first)
            filters.push_back(text.substr(first, last - first));
        start = end + 1;
    }
    if (filters.empty())
        filters.emplace_back("*.*");
    return filters;
}

// Nearest whole percentage, halfway to even, within 0..100.
int OverallPercent(qint64 directoriesDone, qint64 totalDirectories)
{
    if (totalDirectories <= 0)
        return 100;
    const double percent = std::nearbyint(100.0 * directoriesDone / totalDirectories);
    return static_cast<int>(std::clamp(percent, 0.0, 100.0));
}

bool StartsWith(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

// Which directory a path names, whatever link or mount it is reached through.
struct DirectoryIdentity
{
    dev_t device = 0;
    ino_t inode = 0;

    bool operator==(const DirectoryIdentity&) const = default;
};

std::optional<DirectoryIdentity> IdentityOf(const DirectoryHandle& directory)
{
    struct stat st = {};
    if (::fstat(directory.fd(), &st) != 0)
        return std::nullopt;
    return DirectoryIdentity{st.st_dev, st.st_ino};
}

std::optional<DirectoryIdentity> IdentityOf(const std::string& root)
{
    struct stat st = {};
    if (::stat(root.c_str(), &st) != 0)
        return std::nullopt;
    return DirectoryIdentity{st.st_dev, st.st_ino};
}

// Failures after which nothing else of the set can succeed.
bool EndsTheSet(const Failure& failure)
{
    return failure.number() == ErrDiskFull || failure.number() == ErrOverflow;
}

// The directory part of a relative path ("a/b/" gives "a/"), and its last name ("b").
std::string ParentOf(const std::string& relative)
{
    const auto slash = relative.rfind('/', relative.size() - 2);
    return slash == std::string::npos ? std::string() : relative.substr(0, slash + 1);
}

std::string LastNameOf(const std::string& relative)
{
    const std::string parent = ParentOf(relative);
    return relative.substr(parent.size(), relative.size() - parent.size() - 1);
}

// One file examined: where it is on the copying side, and where its copy goes.
struct FilePair
{
    const DirectoryHandle& directory; // D
    const DirectoryHandle& target;    // T
    const std::string& name;
    FileLocation source{directory, name};
    FileLocation destination{target, name};
};

// A directory visited and the directory it was copied into, for the times carried at the end.
struct VisitedDirectory
{
    bool sourceSide = true;
    std::string relative; // below its root, ending with "/", or "" for the root
    bool targetCreated = false;
    std::optional<mode_t> lentMode; // the target's own mode, while its owner was lent full access
};

// The first copy made in this run of a file with several hard links: the later links become links
// to it, as they are in the source.
struct FirstCopy
{
    bool inSource = false; // the tree the copy was made in
    std::string relative;  // its directory below that tree's root
    std::string name;
    quint64 device = 0;
    quint64 inode = 0;
};

// One of a set's two trees: its root, opened once per walk, and what that root is on disk.
struct Tree
{
    std::string root; // with a trailing "/"
    std::optional<DirectoryHandle> handle;
    std::optional<DirectoryIdentity> identity;
    bool received = false; // the run opened this tree to write into it
    // Whether a missing root may be made with its missing parents: only before the set's first
    // completed run. After it, a missing root is a drive that is not plugged in (onItsDrive).
    bool firstRun = false;
};

// What the run knows of the set it is working on.
struct SetWalk
{
    Tree source;
    Tree destination;
    bool sameRootsReported = false;
    // Directories whose failure or whose being the backup itself excludes them and all below them.
    std::vector<std::string> excluded;
    std::vector<VisitedDirectory> visited;
    std::map<std::pair<quint64, quint64>, FirstCopy> hardLinks; // by the source file's device and inode
    bool wrote = false; // anything copied, made, kept aside or deleted
    CopyRefusals copyRefusals;
};

// One run over the chosen sets: the working values that live only as long as the run.
class Run final
{
public:
    explicit Run(RunContext& context)
        : m_context(context), m_log(context.configuration.settings, context.clock, context.observer)
    {}

    void execute(qint16 setIndex);

private:
    void start();
    void runSet(qint16 setIndex);
    void walkSet(qint16 setIndex, const DirectoryList& list);
    void walkPrepared(qint16 setIndex, const DirectoryList& list);
    bool isRunnable(const BackupSet& set);
    bool prepareWalk(const BackupSet& set);
    bool onItsDrive(const std::string& root, const QString& drive, const std::string& side);
    void recordDrives(BackupSet& set) const;
    void visitDirectory(qint16 setIndex, const std::string& entry);
    bool isExcluded(const std::string& directory) const;
    bool isSetRoot(const std::string& directory) const;
    std::optional<std::string> targetOf(const BackupSet& set, const std::string& directory) const;
    void copyDirectory(qint16 setIndex, const std::string& directory, const std::string& target);
    bool onSourceSide(const std::string& directory) const;
    const DirectoryHandle& rootOf(Tree& tree, bool receiving);
    DirectoryHandle openTarget(Tree& tree, const std::string& relative, const std::string& target,
                               bool& created);
    bool clearOldVersion(const DirectoryHandle& parent, const std::string& name);
    bool isTheOtherRoot(const DirectoryHandle& directory);
    std::optional<mode_t> lendOwnerAccess(const DirectoryHandle& target);
    bool linkToFirstCopy(const File& source, const FileLocation& destination);
    void rememberFirstCopy(const File& source, const FileLocation& destination);
    void deleteRemovedFiles(qint16 setIndex, const DirectoryHandle& directory, const DirectoryHandle& target,
                            const std::vector<std::string>& names, int specialEntries);
    void removeFile(qint16 setIndex, const FileLocation& copyingSide, const DirectoryHandle& target,
                    const std::string& name);
    bool isKeptCopyFolderOfTwoWaySet(const BackupSet& set, const std::string& directory) const;
    void examineFile(qint16 setIndex, const DirectoryHandle& directory, const DirectoryHandle& target,
                     const std::string& name, TimePrecision precision);
    void reportConflict(const FilePair& pair, const SyncConflict& conflict);
    void copyFile(qint16 setIndex, const FilePair& pair, TimePrecision precision);
    void carryDirectoryAttributes(const BackupSet& set);
    void flushReceivingSides();
    int syncWhileEventsRun(int fd);
    void handleFailure(const Failure& failure);
    void countError();
    void directoryDone();
    void finish();
    void stampLastDate(BackupSet& set);

    RunContext& m_context;
    LogFile m_log;
    qint64 m_directoriesDone = 0;
    std::string m_target;   // T of the current entry, for the error lines
    std::string m_lastSeen; // the name last seen by the delete scan
    qint64 m_stampSecond = -1;
    QString m_stampText;
    SetWalk m_walk;
    bool m_targetInSource = false; // the tree of the current entry's T
    std::string m_targetRelative;  // T below that tree's root
    std::size_t m_setIndex = 0;
    qint64 m_specialFiles = 0;
    bool m_stopped = false;
};

void Run::execute(qint16 setIndex)
{
    m_log.Open();
    start();
    const auto& lists = m_context.state.DirectoryLists;
    try {
        if (setIndex == AllSets) {
            for (std::size_t i = 0; i < lists.size(); ++i)
                runSet(static_cast<qint16>(i));
        } else {
            runSet(setIndex);
        }
    } catch (const RunStopped&) {
        m_stopped = true;
    }
    finish();
}

void Run::start()
{
    m_context.observer.fileProgressChanged(0);
    m_context.observer.overallProgressChanged(0);
    m_context.observer.currentFileChanged(QString());
    m_context.observer.reRunTimerEnabled(false);
}

void Run::runSet(qint16 setIndex)
{
    auto& lists = m_context.state.DirectoryLists;
    if (setIndex < 0 || static_cast<std::size_t>(setIndex) >= lists.size() || !lists[setIndex])
        return;
    if (static_cast<std::size_t>(setIndex) >= m_context.configuration.sets.size())
        return;
    // Events that run during the yields may rebuild the lists or commit the sets; the run keeps its
    // own copy of the list, and a set that a commit removed ends here.
    const DirectoryList list = *lists[setIndex];
    if (list.empty() || list.front() == EndMarker)
        return;
    const QString setName = m_context.configuration.sets[static_cast<std::size_t>(setIndex)].SetName;
    const SetRunLock lock(setName, m_context.observer, [&] {
        m_log.Note("Waiting for another run of the set " + setName.toStdString() + " to end");
    });
    walkSet(setIndex, list);
}

void Run::walkSet(qint16 setIndex, const DirectoryList& list)
{
    m_setIndex = static_cast<std::size_t>(setIndex);
    m_target.clear();
    m_lastSeen.clear();
    const qint64 errorsBefore = m_context.statistics.errors;
    try {
        const BackupSet& set = m_context.configuration.sets.at(m_setIndex);
        if (isRunnable(set) && prepareWalk(set))
            walkPrepared(setIndex, list);
        // A stop leaves by RunStopped before this: a stopped set neither completed nor failed.
        RecordRunOutcome(m_context.configuration.sets.at(m_setIndex),
                         m_context.statistics.errors - errorsBefore, m_context.clock.now());
    } catch (const std::out_of_range&) {
    }
}

void Run::walkPrepared(qint16 setIndex, const DirectoryList& list)
{
    bool completed = true;
    try {
        for (const std::string& entry : list) {
            if (entry == EndMarker)
                break;
            visitDirectory(setIndex, entry);
        }
    } catch (const Failure& failure) {
        handleFailure(failure);
        completed = false;
    }
    BackupSet& walked = m_context.configuration.sets.at(static_cast<std::size_t>(setIndex));
    carryDirectoryAttributes(walked);
    flushReceivingSides();
    if (completed)
        recordDrives(walked);
}

// A set that the run would misread is not run: an option text it does not know would copy or keep
// nothing without a word, and an empty root would make the other side's paths relative to "/".
bool Run::isRunnable(const BackupSet& set)
{
    const std::string name = set.SetName.toStdString();
    std::string problem;
    if (const std::optional<UnknownOption> unknown = FindUnknownOption(set))
        problem = "unknown value " + unknown->value.toStdString() + " for " + unknown->key.toStdString();
    else if (set.SourceDirFile.isEmpty())
        problem = "no source directory";
    else if (set.DestDir.isEmpty())
        problem = "no destination directory";
    else
        return true;
    m_log.Problem("Error : Set " + name + " : " + problem);
    countError();
    return false;
}

bool Run::prepareWalk(const BackupSet& set)
{
    m_walk = SetWalk{};
    m_walk.source.root = WithTrailingSeparator(ToFilePath(set.SourceDirFile));
    m_walk.destination.root = WithTrailingSeparator(ToFilePath(set.DestDir));
    m_walk.source.firstRun = set.SourceDrive.isEmpty();
    m_walk.destination.firstRun = set.DestDrive.isEmpty();
    // Both are told when both drives are missing.
    const bool sourceOnItsDrive = onItsDrive(m_walk.source.root, set.SourceDrive, "source");
    if (!onItsDrive(m_walk.destination.root, set.DestDrive, "destination") || !sourceOnItsDrive)
        return false;
    m_walk.source.identity = IdentityOf(m_walk.source.root);
    m_walk.destination.identity = IdentityOf(m_walk.destination.root);
    return true;
}

// A root that is missing, or lies on another drive than at the last run, belongs to a drive that is
// not plugged in: its mount point is an empty folder of the system disk, or no folder at all. What
// the run would write there hides under the drive once it is mounted again, and what it would delete
// is the backup. Before a first run there is no drive to compare with.
bool Run::onItsDrive(const std::string& root, const QString& drive, const std::string& side)
{
    if (drive.isEmpty())
        return true;
    const std::optional<std::string> now = m_context.driveOf(root);
    if (now && *now == ToFilePath(drive))
        return true;
    m_log.Problem("Error : The " + side + " " + root +
                  " is not on the drive it was on at the last run. Is the drive plugged in?");
    countError();
    return false;
}

void Run::recordDrives(BackupSet& set) const
{
    if (const std::optional<std::string> drive = m_context.driveOf(m_walk.source.root))
        set.SourceDrive = QFile::decodeName(QByteArray::fromStdString(*drive));
    if (const std::optional<std::string> drive = m_context.driveOf(m_walk.destination.root))
        set.DestDrive = QFile::decodeName(QByteArray::fromStdString(*drive));
}

bool Run::isExcluded(const std::string& directory) const
{
    return std::any_of(m_walk.excluded.begin(), m_walk.excluded.end(),
                       [&](const std::string& excluded) { return StartsWith(directory, excluded); });
}

bool Run::isSetRoot(const std::string& directory) const
{
    return directory == m_walk.source.root || directory == m_walk.destination.root;
}

// The matching directory on the other side (T), or nothing for a directory of a one-way set that lies
// in the receiving tree: with the destination inside the source, the source's walk lists the backup
// itself, which must not be copied into itself or back.
// With one root inside the other, a directory belongs to the nearer (longer) root.
bool Run::onSourceSide(const std::string& directory) const
{
    const BackupSet& set = m_context.configuration.sets.at(m_setIndex);
    const std::string source = ToFilePath(set.SourceDirFile);
    const std::string destination = ToFilePath(set.DestDir);
    return StartsWith(directory, source) &&
           !(StartsWith(directory, destination) && destination.size() > source.size());
}

std::optional<std::string> Run::targetOf(const BackupSet& set, const std::string& directory) const
{
    const std::string source = ToFilePath(set.SourceDirFile);
    const std::string destination = ToFilePath(set.DestDir);
    const bool inSource = StartsWith(directory, source);
    const bool inDestination = StartsWith(directory, destination);
    const bool sourceSide = onSourceSide(directory);
    if (!sourceSide && !inDestination)
        throw Failure(ErrOverflow, directory);
    if (inSource && inDestination && SyncModeOf(set) != SyncMode::TwoWay &&
        sourceSide == (SyncModeOf(set) == SyncMode::Reverse))
        return std::nullopt;
    const std::string& root = sourceSide ? source : destination;
    const std::string otherRoot = WithTrailingSeparator(sourceSide ? destination : source);
    const std::size_t cut = root.size() + (root.empty() || root.back() != '/' ? 1 : 0);
    return otherRoot + (directory.size() > cut ? directory.substr(cut) : std::string());
}

void Run::visitDirectory(qint16 setIndex, const std::string& entry)
{
    BackupSet& set = m_context.configuration.sets.at(static_cast<std::size_t>(setIndex));
    if (set.Filters.isEmpty())
        set.Filters = QStringLiteral("*.*");
    const std::string directory = WithTrailingSeparator(entry);

    m_target.clear();
    if (isKeptCopyFolderOfTwoWaySet(set, directory))
        m_walk.excluded.push_back(directory);
    const std::optional<std::string> target = isExcluded(directory) ? std::nullopt : targetOf(set, directory);
    if (target) {
        ++m_context.statistics.directoriesSearched;
        m_context.observer.statisticsChanged(m_context.statistics);
        m_target = *target;
        try {
            copyDirectory(setIndex, directory, *target);
        } catch (const Failure& failure) {
            // One directory that cannot be reached costs that directory and those below it; the
            // set's roots and set-wide failures end the set.
            if (isSetRoot(directory) || EndsTheSet(failure))
                throw;
            handleFailure(failure.number() == ErrInvalidArgument ? Failure(ErrPathFileAccess, failure.path())
                                                                 : failure);
            m_walk.excluded.push_back(directory);
        }
    }
    directoryDone();
}

void Run::copyDirectory(qint16 setIndex, const std::string& directory, const std::string& target)
{
    const BackupSet& set = m_context.configuration.sets.at(static_cast<std::size_t>(setIndex));
    const std::vector<std::string> filters = SplitFilters(ToFilePath(set.Filters));
    const bool sourceSide = onSourceSide(directory);
    Tree& from = sourceSide ? m_walk.source : m_walk.destination;
    Tree& to = sourceSide ? m_walk.destination : m_walk.source;
    const std::string relative = directory.substr(from.root.size());
    // The copying side is listed before anything is made or deleted: a source that is missing or
    // cannot be read must never empty its backup, nor grow empty directories in it.
    std::optional<DirectoryHandle> directoryHandle;
    int specialEntries = 0;
    std::vector<std::string> names;
    try {
        directoryHandle.emplace(DirectoryHandle::OpenBelow(rootOf(from, false), relative));
        if (isTheOtherRoot(*directoryHandle))
            return;
        names = ListDirectory(*directoryHandle, MaskFiles, &specialEntries);
    } catch (const Failure& failure) {
        throw Failure(failure.number() == ErrPathNotFound ? ErrPathNotFound : ErrPathFileAccess, directory);
    }
    m_specialFiles += specialEntries;

    bool created = false;
    const DirectoryHandle targetHandle = openTarget(to, relative, target, created);
    if (BelongsToAnotherAccount(targetHandle)) {
        m_log.Problem("Error : " + target + " belongs to another account. Nothing is copied into it");
        throw Failure(ErrPathFileAccess, target);
    }
    const std::optional<mode_t> lentMode = lendOwnerAccess(targetHandle);
    m_walk.wrote = m_walk.wrote || created;
    m_targetInSource = !sourceSide;
    m_targetRelative = relative;
    // A directory just made holds no leftovers of a killed run.
    if (!created)
        RemoveStaleReplacements(targetHandle);
    if (SyncModeOf(set) != SyncMode::TwoWay && set.flRemovedDeletedFiles)
        deleteRemovedFiles(setIndex, *directoryHandle, targetHandle, names, specialEntries);

    // Kept copies and conflict copies stay on the side where they were made: carried across, each side
    // would keep copies of the other's kept copies ("a.txt.1.1") run after run, and a conflict copy, a
    // version the user has to look at, would conflict again.
    const bool twoWay = SyncModeOf(set) == SyncMode::TwoWay;
    const TimePrecision precision = TimePrecisionOf(*directoryHandle, targetHandle);
    for (const std::string& filter : filters) {
        for (const std::string& name : names) {
            if (MatchesPattern(name, filter) &&
                !(twoWay && (IsKeptCopyName(set, name) || IsConflictCopyName(name))))
                examineFile(setIndex, *directoryHandle, targetHandle, name, precision);
        }
    }
    // A directory made private gets its source's mode as soon as its files are in, so a stopped run
    // never leaves it more open than its source. A two-way set opens only the directories it made,
    // since either side's directory may be the newer.
    if (SyncModeOf(set) != SyncMode::TwoWay || created) {
        try {
            CarryDirectoryMode(*directoryHandle, targetHandle, OwnerAccess::Full);
        } catch (const Failure&) {
            // Permissions that a file system cannot take leave the backed-up contents whole.
        }
    }
    m_walk.visited.push_back({sourceSide, relative, created, lentMode});
}

// A set's root, opened by its path when the walk first needs it. At the set's first run the receiving
// side's is made when missing, with its missing parents (a new backup folder on a new drive).
const DirectoryHandle& Run::rootOf(Tree& tree, bool receiving)
{
    if (!tree.handle) {
        if (LeadsThroughAnotherAccountsLink(tree.root)) {
            m_log.Problem("Error : " + tree.root + " is reached through a link that another account owns");
            throw Failure(ErrPathFileAccess, tree.root);
        }
        // After a completed run the root was there when its drive was checked: it is never made again.
        if (receiving && tree.firstRun)
            tree.handle.emplace(OpenOrCreateDirectoryPath(tree.root));
        else
            tree.handle.emplace(tree.root);
    }
    tree.received = tree.received || receiving;
    return *tree.handle;
}

// The receiving side's directory at relative, made private when missing. Its parent was visited
// before it, and is opened again without following links, as is the directory itself. A link or a file
// in its place is never entered: it is the old version of the name (clearOldVersion), and when it has
// to stay, the directory fails (75).
DirectoryHandle Run::openTarget(Tree& tree, const std::string& relative, const std::string& target,
                                bool& created)
{
    const DirectoryHandle& root = rootOf(tree, true);
    if (relative.empty())
        return DirectoryHandle::OpenBelow(root, relative);
    const DirectoryHandle parent = DirectoryHandle::OpenBelow(root, ParentOf(relative));
    const FileLocation location(parent, LastNameOf(relative));
    std::optional<DirectoryHandle> made = OpenOrCreateDirectory(location, created);
    if (!made && clearOldVersion(parent, location.name))
        made = OpenOrCreateDirectory(location, created);
    if (!made)
        throw Failure(ErrPathFileAccess, target);
    return std::move(*made);
}

// A file or link where the copying side now has a folder, or a folder where it now has a file: what is
// in the way is the old version of that name. A one-way set keeps it as a kept copy when it keeps
// copies; otherwise a file is replaced as any overwritten file is, and a whole folder only when the set
// deletes removed files, since its files were removed from the copying side. A two-way set replaces
// nothing: either side may be the user's newest. false when the old version stays.
bool Run::clearOldVersion(const DirectoryHandle& parent, const std::string& name)
{
    const BackupSet& set = m_context.configuration.sets.at(m_setIndex);
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
        KeepExistingCopy(m_context, static_cast<qint16>(m_setIndex), *old);
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

// A backup of a read-only folder is made read-only again at the end of its set's walk; until then its
// owner may write into it. A directory of someone else's that cannot be changed is written as it is.
std::optional<mode_t> Run::lendOwnerAccess(const DirectoryHandle& target)
{
    try {
        return GiveOwnerFullAccess(target);
    } catch (const Failure&) {
        return std::nullopt;
    }
}

// A directory of the copying side that is the other side's root, reached through a bind mount:
// copying it would copy the backup into itself, one level deeper each run.
bool Run::isTheOtherRoot(const DirectoryHandle& directory)
{
    const std::optional<DirectoryIdentity>& other =
        onSourceSide(directory.path()) ? m_walk.destination.identity : m_walk.source.identity;
    if (!other || IdentityOf(directory) != other)
        return false;
    m_walk.excluded.push_back(directory.path());
    if (isSetRoot(directory.path()) && !m_walk.sameRootsReported) {
        m_walk.sameRootsReported = true;
        m_log.Problem("Error : " + m_walk.source.root + " and " + m_walk.destination.root +
                      " are the same directory. Nothing is copied");
        countError();
    }
    return true;
}

// A two-way set's kept-copies folders, like its kept copies, stay on their side. A set's root is never
// one, whatever its name.
bool Run::isKeptCopyFolderOfTwoWaySet(const BackupSet& set, const std::string& directory) const
{
    return SyncModeOf(set) == SyncMode::TwoWay && !isSetRoot(directory) && IsKeptCopyFolder(set, directory);
}

void Run::deleteRemovedFiles(qint16 setIndex, const DirectoryHandle& directory, const DirectoryHandle& target,
                             const std::vector<std::string>& names, int specialEntries)
{
    const BackupSet& set = m_context.configuration.sets.at(static_cast<std::size_t>(setIndex));
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
        removeFile(setIndex, FileLocation(directory, name), target, name);
    }
    m_lastSeen.clear();
}

// A set that keeps copies keeps a removed file as it keeps a replaced one, so that a file deleted by
// mistake can be got back from the backup.
void Run::removeFile(qint16 setIndex, const FileLocation& copyingSide, const DirectoryHandle& target,
                     const std::string& name)
{
    const FileLocation backup(target, name);
    if (!KeepsCopies(m_context.configuration.sets.at(static_cast<std::size_t>(setIndex)))) {
        DeleteFile(backup, true);
        m_log.Deleted(target.path(), name);
        return;
    }
    File file = File::GetFile(backup);
    try {
        KeepBeforeReplacing(m_context, setIndex, copyingSide, file);
    } catch (const Failure& failure) {
        // The kept-copies folder cannot be reached or is a backed-up folder: the file stays.
        if (failure.number() != ErrPathFileAccess)
            throw;
        handleFailure(failure);
        return;
    }
    m_log.DeletedAndKept(target.path(), name, file.Path());
}

void Run::examineFile(qint16 setIndex, const DirectoryHandle& directory, const DirectoryHandle& target,
                      const std::string& name, TimePrecision precision)
{
    YieldToEvents(m_context.observer);
    ++m_context.statistics.filesExamined;
    m_context.observer.statisticsChanged(m_context.statistics);
    stampLastDate(m_context.configuration.sets.at(static_cast<std::size_t>(setIndex)));

    const FilePair pair{directory, target, name};
    try {
        SyncConflict conflict;
        if (NeedsCopy(m_context, setIndex, pair.source, pair.destination, CopyCheck::BeforeCopy, precision,
                      &conflict)) {
            if (!conflict.keptAs.empty())
                reportConflict(pair, conflict);
            copyFile(setIndex, pair, precision);
        }
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

void Run::copyFile(qint16 setIndex, const FilePair& pair, TimePrecision precision)
{
    const BackupSet& set = m_context.configuration.sets.at(static_cast<std::size_t>(setIndex));
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
    const bool success = result > 0 || !NeedsCopy(m_context, setIndex, pair.source, pair.destination,
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

// Deepest first, once the contents are written: writing into a directory moves its times, and the
// exact mode of a read-only folder would stop the writes below it. A two-way set carries them only to
// the directories it made, since either side's directory may be the newer; the others get back the
// mode they had.
void Run::carryDirectoryAttributes(const BackupSet& set)
{
    const bool twoWay = SyncModeOf(set) == SyncMode::TwoWay;
    for (auto it = m_walk.visited.rbegin(); it != m_walk.visited.rend(); ++it) {
        Tree& from = it->sourceSide ? m_walk.source : m_walk.destination;
        Tree& to = it->sourceSide ? m_walk.destination : m_walk.source;
        try {
            const DirectoryHandle target = DirectoryHandle::OpenBelow(rootOf(to, false), it->relative);
            if (twoWay && !it->targetCreated) {
                if (it->lentMode)
                    RestoreMode(target, *it->lentMode);
                continue;
            }
            const DirectoryHandle directory = DirectoryHandle::OpenBelow(rootOf(from, false), it->relative);
            CarryDirectoryMode(directory, target, OwnerAccess::AsSource);
            CarryDirectoryTimes(directory, target);
        } catch (const Failure&) {
            // Modes and times that a file system cannot take leave the backed-up contents whole.
        }
    }
    m_walk.visited.clear();
}

// A set is told done only once what it wrote is on the disk: a power cut after "COMPLETED" loses nothing,
// and a write-back that failed (a drive pulled out, a full network share) is counted, not hidden.
void Run::flushReceivingSides()
{
    if (!m_walk.wrote)
        return; // an unchanged re-run has nothing of its own to flush
    for (const Tree* tree : {&m_walk.source, &m_walk.destination}) {
        if (!tree->received || !tree->handle)
            continue;
        if (const int error = syncWhileEventsRun(tree->handle->fd()); error != 0)
            handleFailure(Failure(ErrorNumberFromErrno(error), tree->root));
    }
}

// Writing back a large copy can take seconds, and the window must answer meanwhile: the sync runs
// beside the run, which lets events run until it is done. Returns the sync's errno, or 0.
int Run::syncWhileEventsRun(int fd)
{
    std::future<int> sync = std::async(std::launch::async, [fd] { return ::syncfs(fd) == 0 ? 0 : errno; });
    while (sync.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready)
        m_context.observer.letEventsRun();
    return sync.get();
}

void Run::handleFailure(const Failure& failure)
{
    if (failure.number() == ErrInvalidArgument)
        return;
    countError();
    switch (failure.number()) {
    case ErrFileNotFound:
        m_log.FileNotFound(failure.description());
        break;
    case ErrPathFileAccess:
    case ErrPathNotFound:
        // The side that failed: a missing source is named, not the directory it would have filled.
        m_log.AccessError(failure.description(), failure.path().empty() ? m_target : failure.path());
        break;
    case ErrDiskFull:
        m_log.DiskFull(m_target, failure.description());
        break;
    default:
        // The path that failed, when the failure names one (a read-only destination's file).
        if (failure.path().empty())
            m_log.OtherError(failure.description(), failure.number(), m_target, m_lastSeen);
        else
            m_log.OtherError(failure.description(), failure.number(), failure.path(), std::string());
        break;
    }
}

void Run::countError()
{
    ++m_context.statistics.errors;
    m_context.observer.statisticsChanged(m_context.statistics);
}

void Run::directoryDone()
{
    ++m_directoriesDone;
    m_context.observer.overallProgressChanged(
        OverallPercent(m_directoriesDone, m_context.state.TotalDirectories));
}

void Run::stampLastDate(BackupSet& set)
{
    // Formatting a date for every file would cost more than examining it; the text changes once a second.
    const qint64 second = m_context.clock.currentSecond();
    if (second != m_stampSecond) {
        m_stampSecond = second;
        m_stampText = RunStampText(m_context.clock.now());
    }
    set.LastDate = m_stampText;
}

void Run::finish()
{
    m_context.state.PendingSetIndex = AllSets;
    if (!m_context.screenSaverMode)
        m_context.observer.reRunTimerEnabled(true);
    m_context.observer.overallProgressChanged(100);
    try {
        if (m_specialFiles > 0)
            m_log.Note("skipped " + std::to_string(m_specialFiles) + " special files");
        m_log.Close(m_stopped);
    } catch (const Failure& failure) {
        handleFailure(failure);
    }
}

// Marks the run busy for its life, so a request from inside its yields waits instead of nesting.
class BusyScope final
{
public:
    explicit BusyScope(RunState& state) : m_state(state) { m_state.RunBusy = true; }
    ~BusyScope() { m_state.RunBusy = false; }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

private:
    RunState& m_state;
};

// Only while the user may be working; flLowPriority off asks for full speed always.
bool AtLowPriority(const RunContext& context)
{
    return context.configuration.settings.flLowPriority && !context.screenSaverMode && !context.userAway;
}

void Queue(RunState& state, qint16 setIndex)
{
    if (std::find(state.QueuedRuns.begin(), state.QueuedRuns.end(), setIndex) == state.QueuedRuns.end())
        state.QueuedRuns.push_back(setIndex);
}

} // namespace

void RunBackup(RunContext& context, qint16 setIndex)
{
    RunState& state = context.state;
    if (state.RunBusy) {
        Queue(state, setIndex);
        return;
    }
    BusyScope busy(state);
    const RunPriority priority(AtLowPriority(context));
    Run(context).execute(setIndex);
    while (!state.QueuedRuns.empty() && !context.observer.stopRequested()) {
        const qint16 next = state.QueuedRuns.front();
        state.QueuedRuns.erase(state.QueuedRuns.begin());
        Run(context).execute(next);
    }
    state.QueuedRuns.clear();
}

} // namespace kelvo
