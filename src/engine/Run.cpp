#include "engine/Run.h"

#include "config/RunRecords.h"
#include "engine/RunStopped.h"
#include "engine/SetRunLock.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace kelvo {

namespace {

// Nearest whole percentage, halfway to even, within 0..100.
int OverallPercent(qint64 directoriesDone, qint64 totalDirectories)
{
    if (totalDirectories <= 0)
        return 100;
    const double percent = std::nearbyint(100.0 * directoriesDone / totalDirectories);
    return static_cast<int>(std::clamp(percent, 0.0, 100.0));
}

} // namespace

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
        const BackupSet& set = storedSet();
        if (isRunnable(set) && prepareWalk(set))
            walkPrepared(list);
        // A stop leaves by RunStopped before this: a stopped set neither completed nor failed.
        RecordRunOutcome(storedSet(), m_context.statistics.errors - errorsBefore, m_context.clock.now());
    } catch (const std::out_of_range&) {
    }
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

BackupSet& Run::storedSet() const
{
    return m_context.configuration.sets.at(m_setIndex);
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

} // namespace kelvo
