#include "engine/BackupRun.h"

#include "engine/Comparison.h"
#include "engine/FileCopy.h"
#include "engine/LogFile.h"
#include "engine/RunStopped.h"
#include "platform/Failure.h"
#include "platform/FileSystem.h"

#include <QFile>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <unordered_set>

namespace kelvo {

namespace {

// Splits the filter text at ";" as the set list shows it: entries are not trimmed, an empty entry
// between two ";" stays, a trailing ";" adds nothing, and a lone ";" is the one empty filter.
std::vector<std::string> SplitFilters(const std::string& text)
{
    std::vector<std::string> filters;
    std::string::size_type start = 0;
    for (auto end = text.find(';'); end != std::string::npos; end = text.find(';', start)) {
        filters.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    filters.push_back(text.substr(start));
    if (filters.back().empty()) {
        if (filters.size() > 1)
            filters.pop_back();
        else
            filters.back() = "*.*";
    }
    return filters;
}

// Nearest whole percentage, halfway to even, within 0..100.
int OverallPercent(int directoriesDone, int totalDirectories)
{
    if (totalDirectories <= 0)
        return 100;
    const double percent = std::nearbyint(100.0 * directoriesDone / totalDirectories);
    return static_cast<int>(std::clamp(percent, 0.0, 100.0));
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

// One run over the chosen sets: the working values that live only as long as the run.
class Run final
{
public:
    explicit Run(RunContext& context) : m_context(context), m_log(context.configuration.settings, context.clock) {}

    void execute(qint16 setIndex);

private:
    void start();
    void runSet(qint16 setIndex);
    void visitDirectory(qint16 setIndex, const std::string& entry);
    std::optional<std::string> targetOf(const BackupSet& set, const std::string& directory) const;
    void deleteRemovedFiles(const std::string& directory, const std::string& target,
                            const std::vector<std::string>& names);
    void examineFile(qint16 setIndex, const DirectoryHandle& directory, const DirectoryHandle& target,
                     const std::string& name, TimePrecision precision);
    void copyFile(qint16 setIndex, const FilePair& pair, TimePrecision precision);
    void handleFailure(const Failure& failure);
    void countError();
    void directoryDone();
    void finish();
    void stampLastDate(BackupSet& set);

    RunContext& m_context;
    LogFile m_log;
    int m_directoriesDone = 0;
    std::string m_target;   // T of the current entry, for the error lines
    std::string m_lastSeen; // the name last seen by the delete scan
    qint64 m_stampSecond = -1;
    QString m_stampText;
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
    m_target.clear();
    m_lastSeen.clear();
    // Events that run during the yields may rebuild the lists or commit the sets; the run keeps its
    // own copy of the list, and a set that a commit removed ends here.
    const DirectoryList list = *lists[setIndex];
    try {
        for (const std::string& entry : list) {
            if (entry == EndMarker)
                break;
            visitDirectory(setIndex, entry);
        }
    } catch (const Failure& failure) {
        handleFailure(failure);
    } catch (const std::out_of_range&) {
    }
}

// The matching directory on the other side (T), or nothing for a directory of a one-way set that lies
// in the receiving tree: with the destination inside the source, the source's walk lists the backup
// itself, which must not be copied into itself or back.
std::optional<std::string> Run::targetOf(const BackupSet& set, const std::string& directory) const
{
    const std::string source = ToFilePath(set.SourceDirFile);
    const std::string destination = ToFilePath(set.DestDir);
    const bool inSource = directory.compare(0, source.size(), source) == 0;
    const bool inDestination = directory.compare(0, destination.size(), destination) == 0;
    // With one root inside the other, a directory belongs to the nearer (longer) root.
    const bool sourceSide = inSource && !(inDestination && destination.size() > source.size());
    if (!sourceSide && !inDestination)
        throw Failure(ErrOverflow, directory);
    if (inSource && inDestination && set.SyncOptions != QLatin1String("srcAndDest") &&
        sourceSide == (set.SyncOptions == QLatin1String("destToSrc")))
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
    const std::vector<std::string> filters = SplitFilters(ToFilePath(set.Filters));
    const std::string directory = WithTrailingSeparator(entry);

    m_target.clear();
    const std::optional<std::string> sideTarget = targetOf(set, directory);
    if (!sideTarget) {
        directoryDone();
        return;
    }
    const std::string& target = *sideTarget;
    ++m_context.statistics.directoriesSearched;
    m_context.observer.statisticsChanged(m_context.statistics);
    m_target = target;
    if (!target.empty() && !FolderExists(target))
        CreateDirectory(target);

    // The copying side is listed before anything is deleted: a source that is missing or cannot be
    // read must never empty its backup.
    std::vector<std::string> names;
    try {
        names = ListDirectory(directory, MaskFiles);
    } catch (const Failure& failure) {
        throw Failure(failure.number() == ErrPathNotFound ? ErrPathNotFound : ErrPathFileAccess, directory);
    }
    if (set.SyncOptions != QLatin1String("srcAndDest") && set.flRemovedDeletedFiles)
        deleteRemovedFiles(directory, target, names);

    const TimePrecision precision = TimePrecisionOf(directory, target);
    const DirectoryHandle directoryHandle(directory);
    const DirectoryHandle targetHandle(target);
    for (const std::string& filter : filters) {
        for (const std::string& name : names) {
            if (MatchesPattern(name, filter))
                examineFile(setIndex, directoryHandle, targetHandle, name, precision);
        }
    }
    directoryDone();
}

void Run::deleteRemovedFiles(const std::string& directory, const std::string& target,
                             const std::vector<std::string>& names)
{
    const std::unordered_set<std::string> present(names.begin(), names.end());
    for (const std::string& name : ListDirectory(target, MaskFiles)) {
        m_lastSeen = name;
        if (present.count(name))
            continue;
        // Only a file the file system reports as absent is gone; anything else keeps the backup.
        if (File::TryGetFile(directory + name))
            continue;
        DeleteFile(target + name, true);
        m_log.Deleted(target, name);
    }
    m_lastSeen.clear();
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
        if (NeedsCopy(m_context, setIndex, pair.source, pair.destination, CopyCheck::BeforeCopy, precision))
            copyFile(setIndex, pair, precision);
    } catch (const Failure& failure) {
        // A file that vanished, or an invalid argument, costs this file only.
        if (failure.number() != ErrFileNotFound && failure.number() != ErrInvalidArgument)
            throw;
        handleFailure(failure);
    }
    if (m_context.screenSaverMode)
        m_context.observer.screenSaverStep();
}

void Run::copyFile(qint16 setIndex, const FilePair& pair, TimePrecision precision)
{
    const bool clearsArchiveFlag =
        m_context.configuration.sets.at(static_cast<std::size_t>(setIndex)).CopyOptions == QLatin1String("OpArchive");
    m_context.observer.currentFileChanged(QFile::decodeName(QByteArray::fromStdString(pair.name)));
    const qint64 result = CopyFileWithProgress(m_context, pair.source, pair.destination);
    const bool success = result > 0 || !NeedsCopy(m_context, setIndex, pair.source, pair.destination,
                                                   CopyCheck::AfterCopy, precision);
    if (!success) {
        m_log.CopyFailed(pair.directory.path(), pair.target.path(), pair.name);
        return;
    }
    ++m_context.statistics.filesCopied;
    m_context.observer.statisticsChanged(m_context.statistics);
    m_log.Copied(pair.directory.path(), pair.target.path(), pair.name);
    if (clearsArchiveFlag)
        SetAttributes(pair.source.path, GetAttributes(pair.source.path) & ~AttrArchive);
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
        m_log.AccessError(failure.description(), m_target);
        break;
    case ErrDiskFull:
        m_log.DiskFull(m_target, failure.description());
        break;
    default:
        m_log.OtherError(failure.description(), failure.number(), m_target, m_lastSeen);
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
    m_context.observer.overallProgressChanged(OverallPercent(m_directoriesDone, m_context.state.TotalDirectories));
}

void Run::stampLastDate(BackupSet& set)
{
    // Formatting a date for every file would cost more than examining it; the text changes once a second.
    const qint64 second = m_context.clock.currentSecond();
    if (second != m_stampSecond) {
        m_stampSecond = second;
        m_stampText = m_context.clock.now().toString(QStringLiteral("dd/MM/yyyy hh:mm:ss"));
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
        m_log.Close();
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
    Run(context).execute(setIndex);
    while (!state.QueuedRuns.empty() && !context.observer.stopRequested()) {
        const qint16 next = state.QueuedRuns.front();
        state.QueuedRuns.erase(state.QueuedRuns.begin());
        Run(context).execute(next);
    }
    state.QueuedRuns.clear();
}

} // namespace kelvo
