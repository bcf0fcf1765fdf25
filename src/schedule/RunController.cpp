#include "schedule/RunController.h"

#include "config/RunRecords.h"
#include "engine/BackupRun.h"
#include "engine/DirectoryLists.h"
#include "engine/LogFile.h"
#include "engine/RunContext.h"
#include "platform/AttributeRecordStore.h"
#include "platform/Failure.h"
#include "platform/SettingsStore.h"

#include <QCoreApplication>
#include <QFile>

#include <algorithm>
#include <utility>

namespace kelvo {

using namespace Qt::StringLiterals;

namespace {

constexpr int PollInterval = 5000;
// A person sees about 30 changes a second; painting more only slows the run down.
constexpr qint64 DisplayInterval = 33;
// Often enough that the window never seems stuck, rarely enough to cost nothing per file.
constexpr qint64 EventsInterval = 10;
// The screen saver's movement keeps the pace of the poll, however many files a run examines.
constexpr qint64 StepInterval = 50;
// Timer1 ticks every minute; one late by more than another minute of the wall clock stood still.
constexpr qint64 FrozenCountdownGap = 2 * 60000;
// The tray's tool tip follows the progress a few times a second: the desktop redraws it each time.
constexpr qint64 StatusInterval = 500;

const QString Kelvo = u"Kelvo"_s;
const QString SettingsSection = u"Settings"_s;
const QString LastRunKey = u"StrLastRunDate"_s;
const QString NotWatched = u"None"_s;

bool HasNamedSet(const BackupSets& sets)
{
    return std::any_of(sets.begin(), sets.end(), [](const BackupSet& set) { return !set.SetName.isEmpty(); });
}

bool Due(QElapsedTimer& since, qint64 interval)
{
    if (since.isValid() && since.elapsed() < interval)
        return false;
    since.start();
    return true;
}

} // namespace

RunController::RunController(RunControllerParts parts, RunView& view)
    : m_parts(std::move(parts)), m_view(view), m_notices(m_parts.notify, m_parts.clock),
      m_lastMinuteTick(m_parts.clock.now())
{
    m_parts.timer1.setTickHandler([this] { MinuteTick(); });
    m_parts.tmrDialog.setTickHandler([this] { PollTick(); });
    QObject::connect(&m_watch, &ChangeWatch::changed, &m_watch, [this] { onWatchChanged(); });
}

RunController::~RunController()
{
    m_parts.timer1.setTickHandler({});
    m_parts.tmrDialog.setTickHandler({});
}

bool RunController::screenSaverMode() const
{
    return m_parts.app.RunMode == RunModeScreenSaver;
}

void RunController::Load()
{
    if (m_state.RunBusy || m_listing) {
        m_loadWaiting = true;
        return;
    }
    m_state.RunPending = true;
    m_movement = MovementState{};
    m_state.TotalDirectories = 0;
    if (screenSaverMode()) {
        m_parts.timer1.setEnabled(false);
        m_view.applyScreenSaverLayout();
    } else {
        m_parts.tmrDialog.setInterval(PollInterval);
        m_view.setLastRun(m_parts.store.GetSetting(Kelvo, SettingsSection, LastRunKey, u"N/A"_s));
    }
    LoadConfiguration(m_parts.store, m_parts.configuration, m_parts.doneWindowSteps);
    if (!screenSaverMode())
        m_view.statusBarVisible();
    const GeneralSettings& settings = m_parts.configuration.settings;
    if (settings.flReRun)
        showMinutesToNext(settings.IntReRunTime);
    else
        m_view.setMinutesToNext(u"Timer not enabled"_s, u"Mins to next : N/A"_s);
    const bool delayed = m_parts.app.StartedByWindows == u"WIN"_s && settings.flDelay;
    if (!delayed)
        stampLastRun();
    SetListChanged();
    listWithEvents([this](const std::function<void()>& betweenDirectories) {
        BuildDirectoryLists(m_parts.configuration, m_parts.app.StartedByWindows, m_state, betweenDirectories);
    });
}

void RunController::LoadWhileAway()
{
    m_awayLoad = true;
    Load();
}

void RunController::SetListChanged()
{
    m_status.hasSets = HasNamedSet(m_parts.configuration.sets);
    showStatus();
    m_notices.checkStale(m_parts.configuration);
}

void RunController::showStatus()
{
    m_sinceStatus.start();
    m_view.statusChanged(m_status);
}

void RunController::showProgressInStatus(int percent)
{
    if (!m_status.running || percent == m_status.percent || !Due(m_sinceStatus, StatusInterval))
        return;
    m_status.percent = percent;
    m_view.statusChanged(m_status);
}

// Listing a large tree lets events run; a Run now or a poll meanwhile waits for the lists.
void RunController::listWithEvents(const std::function<void(const std::function<void()>&)>& list)
{
    m_listing = true;
    list([this] {
        if (!m_stopRequested)
            letEventsRun();
    });
    m_listing = false;
}

// Every set of a load has the same stamp to within the time it takes to list them, so it is written
// once for all of them.
void RunController::stampLastRun()
{
    const QDateTime now = m_parts.clock.now();
    const QString label = now.toString(u"hh:mm:ss dd/MM/yy"_s);
    m_view.setLastRun(label);
    m_view.setLastRunPanel(u"Last Run :"_s + now.toString(u"hh:mm dd/MM"_s));
    try {
        m_parts.store.SaveSetting(Kelvo, SettingsSection, LastRunKey, label);
    } catch (const Failure&) {
        // The stamp is shown; a store that cannot take it now keeps the previous one.
    }
}

void RunController::showMinutesToNext(int minutes)
{
    const QString text = QString::number(minutes);
    m_view.setMinutesToNext(text, u"Mins to next :"_s + text);
}

void RunController::MinuteTick()
{
    const bool slept = countdownWasFrozen();
    m_notices.checkStale(m_parts.configuration);
    countMinute();
    if (slept)
        Woke();
}

// The countdown's timer stands still while the machine sleeps and the wall clock does not.
bool RunController::countdownWasFrozen()
{
    const QDateTime now = m_parts.clock.now();
    const bool frozen = m_lastMinuteTick.isValid() && m_lastMinuteTick.msecsTo(now) > FrozenCountdownGap;
    m_lastMinuteTick = now;
    return frozen;
}

void RunController::countMinute()
{
    const GeneralSettings& settings = m_parts.configuration.settings;
    if (!settings.flReRun) {
        m_view.setMinutesToNext(u"Timer not enabled"_s, u"Mins to next : N/A"_s);
        return;
    }
    ++m_parts.app.ReRunCounter;
    showMinutesToNext(settings.IntReRunTime - m_parts.app.ReRunCounter);
    if (m_parts.app.ReRunCounter >= settings.IntReRunTime)
        reloadForReRun();
}

void RunController::reloadForReRun()
{
    Load();
    m_parts.app.ReRunCounter = 0;
}

// However long the sleep, the intervals it swallowed are made up by one run: each would back up the
// same files.
void RunController::Woke()
{
    const GeneralSettings& settings = m_parts.configuration.settings;
    if (!settings.flReRun || m_stopRequested || !m_lastFullRunStart.isValid())
        return;
    // A run of all sets already asked for (by the countdown's end, or by the other word of the same
    // wake) is this wake's run.
    if (m_state.RunPending || m_loadWaiting)
        return;
    if (m_lastFullRunStart.secsTo(m_parts.clock.now()) >= qint64(settings.IntReRunTime) * 60)
        reloadForReRun();
}

void RunController::PollTick()
{
    // A tick that arrives from inside a run's event yields only moves the screen saver: what it would
    // start waits for the run's end and the next tick.
    if (!m_state.RunBusy && !m_listing && !m_stopRequested) {
        if (m_state.RunPending) {
            m_state.RunPending = false;
            m_lastFullRunStart = m_parts.clock.now();
            runAndArm(AllSets, std::exchange(m_awayLoad, false));
        }
        if (m_state.PendingSetIndex != AllSets && !m_stopRequested)
            runWatchedSet(m_state.PendingSetIndex);
        if (m_loadWaiting && !m_stopRequested) {
            m_loadWaiting = false;
            Load();
        }
    }
    if (screenSaverMode())
        moveOneStep();
}

// The watch runs its set between loads, often for a folder made since the last one: the set is listed
// afresh, so that folder is backed up now and not at the next load.
void RunController::runWatchedSet(qint16 setIndex)
{
    listWithEvents([this, setIndex](const std::function<void()>& betweenDirectories) {
        RebuildDirectoryList(m_parts.configuration, setIndex, m_state, betweenDirectories);
    });
    if (!m_stopRequested)
        runAndArm(setIndex, false);
}

void RunController::runAndArm(qint16 setIndex, bool userAway)
{
    RunContext context{m_parts.configuration, m_state,           m_statistics, *this,
                       m_parts.clock,         screenSaverMode(), userAway};
    m_sinceEvents.invalidate(); // what is waiting now gets its turn at the run's first yield
    const BackupSets before = m_parts.configuration.sets;
    const qint64 errorsBefore = m_statistics.errors;
    m_firstError.clear();
    m_errorLines = 0;
    m_status.running = true;
    m_status.percent = 0;
    showStatus();
    m_view.runBusyChanged(true);
    RunBackup(context, setIndex);
    const BackupSets ran = WithNewRunRecords(before, m_parts.configuration.sets);
    storeRunRecords(ran);
    m_view.runBusyChanged(false);
    flushDisplay();
    runEnded(before, ran, errorsBefore);
    if (!m_stopRequested)
        armWatch();
}

// The drives a run found its roots on guard the next runs, and the next load reads them from the store
// with the sets' dates and results.
void RunController::storeRunRecords(const BackupSets& ran)
{
    try {
        StoreRunRecords(m_parts.store, ran);
    } catch (const Failure& failure) {
        LogFile log(m_parts.configuration.settings, m_parts.clock, *this);
        log.ProblemOutsideRun(std::string("Error : The drives and results of the sets cannot be stored: ") +
                              failure.what());
    }
}

// A run that was stopped (the program is ending) says nothing of itself and keeps the last result shown.
void RunController::runEnded(const BackupSets& before, const BackupSets& ran, qint64 errorsBefore)
{
    m_status.running = false;
    if (!m_stopRequested) {
        const qint64 errors = m_statistics.errors - errorsBefore;
        m_status.lastRunEnded = m_parts.clock.now();
        m_status.lastRunErrors = errors;
        m_notices.runEnded(before, ran, errors, m_firstError);
        m_notices.checkStale(m_parts.configuration);
    }
    showStatus();
}

int RunController::watchedSetIndex() const
{
    const QString& name = m_parts.configuration.settings.StrRealTime;
    if (name.isEmpty() || name == NotWatched)
        return -1;
    int index = -1;
    const BackupSets& sets = m_parts.configuration.sets;
    for (std::size_t i = 0; i < sets.size(); ++i) {
        if (sets[i].SetName == name)
            index = int(i);
    }
    return index;
}

void RunController::armWatch()
{
    const int index = watchedSetIndex();
    if (index < 0 || m_parts.configuration.sets[std::size_t(index)].SourceDirFile.isEmpty()) {
        m_watch.StopWatch();
        return;
    }
    const BackupSet& set = m_parts.configuration.sets[std::size_t(index)];
    m_watch.SetIgnoredPaths({LogFilePath(m_parts.configuration.settings),
                             QFile::encodeName(m_parts.store.directory()).toStdString(),
                             AttributeRecordStore::DefaultPath()});
    const QString problem = m_watch.StartWatch(set.SourceDirFile, set.flSubDirectories);
    if (!problem.isEmpty())
        reportWatchProblem(set.SetName, problem);
    else
        m_lastWatchProblem.clear();
    // What changed while the set was being run (or just after) is backed up by one run more.
    if (m_watch.TakeChange())
        m_state.PendingSetIndex = qint16(index);
}

void RunController::onWatchChanged()
{
    if (m_state.RunBusy)
        return; // kept by the watch until the run's end arms it again
    const int index = watchedSetIndex();
    if (index >= 0 && m_watch.TakeChange())
        m_state.PendingSetIndex = qint16(index);
}

void RunController::reportWatchProblem(const QString& setName, const QString& problem)
{
    if (problem == m_lastWatchProblem)
        return;
    m_lastWatchProblem = problem;
    const QString line = u"Error : The set %1 is not watched in real time: %2"_s.arg(setName, problem);
    LogFile log(m_parts.configuration.settings, m_parts.clock, *this);
    log.ProblemOutsideRun(line.toStdString());
    m_view.watchProblem(line);
}

void RunController::RequestStop()
{
    m_stopRequested = true;
    m_parts.timer1.setEnabled(false);
    m_parts.tmrDialog.setEnabled(false);
}

void RunController::NoteInLog(const QString& line)
{
    LogFile log(m_parts.configuration.settings, m_parts.clock, *this);
    log.NoteOutsideRun(line.toStdString());
}

void RunController::StopWatch()
{
    m_watch.StopWatch();
}

void RunController::moveOneStep()
{
    m_sinceStep.start();
    const QPoint next = Bounce(m_movement, m_view.mainWindowFrame(), m_view.screenSaverArea());
    m_view.moveMainWindow(next);
}

void RunController::statisticsChanged(const RunStatistics& statistics)
{
    m_display.statistics = statistics;
    m_displayDirty = true;
}

void RunController::currentFileChanged(const QString& name)
{
    m_display.file = name;
    m_displayDirty = true;
}

void RunController::fileProgressChanged(int percent)
{
    m_display.filePercent = percent;
    m_displayDirty = true;
}

void RunController::overallProgressChanged(int percent)
{
    m_display.overallPercent = percent;
    m_displayDirty = true;
}

void RunController::copyActive(bool active)
{
    m_display.copying = active;
    m_displayDirty = true;
}

void RunController::errorReported(const QString& line)
{
    // An error whose path follows on a line of its own is told with that line, so that the
    // notification names the file or folder.
    static const QString PathLine = u"Problem Dest : "_s;
    ++m_errorLines;
    if (m_errorLines == 1)
        m_firstError = line;
    else if (m_errorLines == 2 && line.startsWith(PathLine))
        m_firstError += u'\n' + line;
    m_view.errorReported(line);
}

void RunController::reRunTimerEnabled(bool enabled)
{
    m_parts.timer1.setEnabled(enabled && !m_stopRequested);
    // The minutes of a run are not counted, and its length is no sleep.
    if (enabled)
        m_lastMinuteTick = m_parts.clock.now();
}

// The poll's ticks move the window during a run too; a file examined moves it only when no tick has
// come for a poll interval (a run that yields seldom).
void RunController::screenSaverStep()
{
    if (m_sinceStep.isValid() && m_sinceStep.elapsed() >= StepInterval)
        moveOneStep();
}

void RunController::letEventsRun()
{
    if (m_displayDirty && Due(m_sinceFlush, DisplayInterval))
        flushDisplay();
    if (Due(m_sinceEvents, EventsInterval))
        QCoreApplication::processEvents();
}

void RunController::flushDisplay()
{
    if (!m_displayDirty)
        return;
    m_displayDirty = false;
    m_view.statisticsChanged(m_display.statistics);
    m_view.currentFileChanged(m_display.file);
    m_view.fileProgressChanged(m_display.filePercent);
    m_view.overallProgressChanged(m_display.overallPercent);
    m_view.copyActive(m_display.copying);
    showProgressInStatus(m_display.overallPercent);
}

} // namespace kelvo
