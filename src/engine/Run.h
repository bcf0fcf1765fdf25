#pragma once

#include "engine/Comparison.h"
#include "engine/DirectoryLists.h"
#include "engine/FileCopy.h"
#include "engine/KeptCopyRetention.h"
#include "engine/LogFile.h"
#include "engine/RunContext.h"
#include "platform/DirectoryHandle.h"
#include "platform/Failure.h"

#include <QString>

#include <map>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

// The working parts of one run (BackupRun.h is its entry): the run over the chosen sets and what it
// reports (Run.cpp), the walk of one set's directories (RunWalk.cpp), and what is done to each file
// (RunFiles.cpp).
namespace kelvo {

class File;

// Which directory a path names, whatever link or mount it is reached through.
struct DirectoryIdentity
{
    dev_t device = 0;
    ino_t inode = 0;

    bool operator==(const DirectoryIdentity&) const = default;
};

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
    // The set as it was when its walk began: the windows may commit edited sets while the run lets
    // events run, which replaces the configuration's list of sets.
    BackupSet set;
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
    void walkPrepared(const DirectoryList& list);
    bool isRunnable(const BackupSet& set);
    bool prepareWalk(const BackupSet& set);
    bool onItsDrive(const std::string& root, const QString& drive, const std::string& side);
    void recordDrives(BackupSet& set) const;
    void visitDirectory(const std::string& entry);
    bool isExcluded(const std::string& directory) const;
    bool isSetRoot(const std::string& directory) const;
    std::optional<std::string> targetOf(const std::string& directory) const;
    void copyDirectory(const std::string& directory, const std::string& target);
    bool onSourceSide(const std::string& directory) const;
    const DirectoryHandle& rootOf(Tree& tree, bool receiving);
    DirectoryHandle openTarget(Tree& tree, const std::string& relative, const std::string& target,
                               bool& created);
    bool clearOldVersion(const DirectoryHandle& parent, const std::string& name);
    bool isTheOtherRoot(const DirectoryHandle& directory);
    std::optional<mode_t> lendOwnerAccess(const DirectoryHandle& target);
    bool linkToFirstCopy(const File& source, const FileLocation& destination);
    void rememberFirstCopy(const File& source, const FileLocation& destination);
    void deleteRemovedFiles(const DirectoryHandle& directory, const DirectoryHandle& target,
                            const std::vector<std::string>& names, int specialEntries,
                            KeptCopyRetention& keptCopies);
    void removeFile(const FileLocation& copyingSide, const DirectoryHandle& target, const std::string& name,
                    KeptCopyRetention& keptCopies);
    bool isKeptCopyFolderOfTwoWaySet(const std::string& directory) const;
    void examineFile(const DirectoryHandle& directory, const DirectoryHandle& target, const std::string& name,
                     TimePrecision precision, KeptCopyRetention& keptCopies);
    void trimKeptCopies(KeptCopyRetention& keptCopies, const std::string& name, const std::string& keptName);
    void reportConflict(const FilePair& pair, const SyncConflict& conflict);
    void copyFile(const FilePair& pair, TimePrecision precision);
    void carryDirectoryAttributes();
    void flushReceivingSides();
    int syncWhileEventsRun(int fd);
    void handleFailure(const Failure& failure);
    void countError();
    void directoryDone();
    void finish();
    // The set's entry in the configuration, for what the run stamps on it; a set that a commit removed
    // meanwhile raises std::out_of_range, which ends its walk.
    BackupSet& storedSet() const;
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

} // namespace kelvo
