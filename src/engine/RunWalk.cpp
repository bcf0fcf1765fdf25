#include "engine/Run.h"
#include "platform/CarriedAttributes.h"
#include "platform/DirectoryListing.h"
#include "platform/FilePath.h"
#include "platform/OtherAccounts.h"
#include "platform/PartialFiles.h"
#include "platform/Wildcards.h"

#include <QFile>

#include <algorithm>
#include <chrono>
#include <future>
#include <sys/stat.h>
#include <unistd.h>

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

bool StartsWith(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

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

} // namespace

void Run::walkPrepared(const DirectoryList& list)
{
    // An empty filter text copies every file; the set's entry says so as "*.*" from its first walk on.
    if (BackupSet& stored = storedSet(); stored.Filters.isEmpty())
        stored.Filters = QStringLiteral("*.*");
    bool completed = true;
    try {
        for (const std::string& entry : list) {
            if (entry == EndMarker)
                break;
            visitDirectory(entry);
        }
    } catch (const Failure& failure) {
        handleFailure(failure);
        completed = false;
    }
    carryDirectoryAttributes();
    flushReceivingSides();
    if (completed)
        recordDrives(storedSet());
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
    m_walk.set = set;
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
    const std::string source = ToFilePath(m_walk.set.SourceDirFile);
    const std::string destination = ToFilePath(m_walk.set.DestDir);
    return StartsWith(directory, source) &&
           !(StartsWith(directory, destination) && destination.size() > source.size());
}

std::optional<std::string> Run::targetOf(const std::string& directory) const
{
    const BackupSet& set = m_walk.set;
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

void Run::visitDirectory(const std::string& entry)
{
    const std::string directory = WithTrailingSeparator(entry);

    m_target.clear();
    if (isKeptCopyFolderOfTwoWaySet(directory))
        m_walk.excluded.push_back(directory);
    const std::optional<std::string> target = isExcluded(directory) ? std::nullopt : targetOf(directory);
    if (target) {
        ++m_context.statistics.directoriesSearched;
        m_context.observer.statisticsChanged(m_context.statistics);
        m_target = *target;
        try {
            copyDirectory(directory, *target);
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

void Run::copyDirectory(const std::string& directory, const std::string& target)
{
    const BackupSet& set = m_walk.set;
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
    KeptCopyRetention keptCopies(m_context.clock, set, targetHandle, names);
    if (SyncModeOf(set) != SyncMode::TwoWay && set.flRemovedDeletedFiles)
        deleteRemovedFiles(*directoryHandle, targetHandle, names, specialEntries, keptCopies);

    // Kept copies and conflict copies stay on the side where they were made: carried across, each side
    // would keep copies of the other's kept copies ("a.txt.1.1") run after run, and a conflict copy, a
    // version the user has to look at, would conflict again.
    const bool twoWay = SyncModeOf(set) == SyncMode::TwoWay;
    const TimePrecision precision = TimePrecisionOf(*directoryHandle, targetHandle);
    for (const std::string& filter : filters) {
        for (const std::string& name : names) {
            if (MatchesPattern(name, filter) &&
                !(twoWay && (IsKeptCopyName(set, name) || IsConflictCopyName(name))))
                examineFile(*directoryHandle, targetHandle, name, precision, keptCopies);
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
bool Run::isKeptCopyFolderOfTwoWaySet(const std::string& directory) const
{
    return SyncModeOf(m_walk.set) == SyncMode::TwoWay && !isSetRoot(directory) &&
           IsKeptCopyFolder(m_walk.set, directory);
}

// Deepest first, once the contents are written: writing into a directory moves its times, and the
// exact mode of a read-only folder would stop the writes below it. A two-way set carries them only to
// the directories it made, since either side's directory may be the newer; the others get back the
// mode they had.
void Run::carryDirectoryAttributes()
{
    const bool twoWay = SyncModeOf(m_walk.set) == SyncMode::TwoWay;
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

} // namespace kelvo
