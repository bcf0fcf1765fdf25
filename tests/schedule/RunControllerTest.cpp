#include "schedule/RunController.h"

#include "config/RunRecords.h"
#include "schedule/RunWorld.h"
#include "support/Application.h"

#include <QTimer>

#include <gtest/gtest.h>

namespace kelvo {
namespace {

using namespace Qt::StringLiterals;
namespace fs = std::filesystem;
using test::WriteFile;

class RunControllerTest : public ::testing::Test, protected test::RunWorld
{
protected:
    static void SetUpTestSuite() { test::EnsureApplication(); }

    RunControllerTest()
    {
        timer1.setEnabled(true);
        tmrDialog.setEnabled(true);
    }

    // Minutes the machine is awake: the wall clock and the countdown go on together.
    void awake(int minutes)
    {
        for (int i = 0; i < minutes; ++i) {
            clock.time = clock.time.addSecs(60);
            timer1.pass(60000);
        }
    }

    // The machine sleeps: the wall clock goes on, the countdown's timer stands still.
    void asleep(int minutes) { clock.time = clock.time.addSecs(60 * minutes); }

    // Every load shows the status bar, outside the screen saver.
    int loads() const { return view.statusBarShown; }
    bool pending() const { return controller->state().RunPending; }
    RunState& state() { return const_cast<RunState&>(controller->state()); }

    // Runs body from inside the next run, at its first event yield.
    static void duringNextRun(std::function<void()> body) { QTimer::singleShot(0, std::move(body)); }

    void loadAndRun()
    {
        controller->Load();
        controller->PollTick();
    }

    test::RecordingView view;
    QStringList notices; // "summary|body"
    std::unique_ptr<RunController> controller = std::make_unique<RunController>(
        parts([this](const QString& summary, const QString& body) { notices << summary + u'|' + body; }),
        view);
};

TEST_F(RunControllerTest, CountsDownTheMinutesAndReloadsAtTheInterval)
{
    storeSet(u"Docs"_s, src(), {{u"flReRun"_s, u"True"_s}, {u"IntReRunTime"_s, u"60"_s}});
    controller->Load();
    EXPECT_EQ(view.panel2, u"Mins to next :60"_s);
    controller->PollTick();
    timer1.pass(59 * 60000);
    EXPECT_EQ(view.label17, u"1"_s);
    EXPECT_FALSE(pending());
    timer1.pass(60000);
    EXPECT_TRUE(pending()) << "the 60th minute reloads";
    EXPECT_EQ(view.label17, u"60"_s) << "the reload shows the full interval again";
    EXPECT_EQ(app.ReRunCounter, 0);

    configuration.settings.IntReRunTime = 9999;
    timer1.pass(60000);
    EXPECT_EQ(view.label17, u"9998"_s) << "the longest interval counts down without wrapping";

    for (qint16 interval : {0, -5}) {
        controller->PollTick();
        configuration.settings.IntReRunTime = interval;
        app.ReRunCounter = 0;
        timer1.pass(60000);
        EXPECT_TRUE(pending()) << interval << " reloads at the first minute";
    }

    configuration.settings.flReRun = false;
    timer1.pass(60000);
    EXPECT_EQ(view.panel2, u"Mins to next : N/A"_s);
}

TEST_F(RunControllerTest, TheMinutesOfARunAreNotCounted)
{
    storeSet(u"Docs"_s, src(), {{u"flReRun"_s, u"True"_s}, {u"IntReRunTime"_s, u"60"_s}});
    WriteFile(src("a"), "a");
    controller->Load();
    bool timerWasOff = false;
    duringNextRun([&] {
        timerWasOff = !timer1.isEnabled();
        timer1.pass(10 * 60000);
        asleep(2 * 60); // the wall clock of a two-hour run
    });
    controller->PollTick();
    EXPECT_TRUE(timerWasOff);
    EXPECT_EQ(app.ReRunCounter, 0);
    awake(1);
    EXPECT_EQ(app.ReRunCounter, 1) << "the countdown goes on after the run";
    EXPECT_FALSE(pending()) << "a long run is no sleep";
}

TEST_F(RunControllerTest, ASleepShorterThanTheRestRunsNothingEarlyALongerOneRunsOnceAtWake)
{
    storeSet(u"Docs"_s, src(), {{u"flReRun"_s, u"True"_s}, {u"IntReRunTime"_s, u"60"_s}});
    loadAndRun();
    awake(10);
    asleep(30);
    awake(1);
    controller->Woke();
    EXPECT_FALSE(pending());
    EXPECT_EQ(app.ReRunCounter, 11) << "the countdown goes on from where it stood";
    awake(48);
    EXPECT_FALSE(pending());
    awake(1);
    EXPECT_TRUE(pending()) << "the countdown's own end";
    controller->PollTick();
    awake(10);

    // Three intervals asleep; the first minute tick after the wake sees the jump of the wall clock.
    asleep(3 * 60);
    awake(1);
    EXPECT_TRUE(pending());
    EXPECT_EQ(app.ReRunCounter, 0);
    controller->Woke(); // logind's word of the same wake comes after the tick
    controller->PollTick();
    controller->Woke();
    awake(59);
    EXPECT_EQ(loads(), 3) << "the start's, the countdown's and the wake's, no more";
    EXPECT_EQ(view.busyChanges.size(), 6u) << "three runs";

    // logind's word first: the tick after it adds nothing.
    asleep(150);
    controller->Woke();
    EXPECT_TRUE(pending());
    awake(1);
    controller->PollTick();
    awake(1);
    EXPECT_EQ(loads(), 4);

    configuration.settings.flReRun = false;
    asleep(5 * 60);
    awake(1);
    controller->Woke();
    EXPECT_EQ(loads(), 4) << "without re-runs, a wake runs nothing";
}

TEST_F(RunControllerTest, LoadStampsTheLastRunUnlessTheFirstRunIsDelayed)
{
    storeSet(u"Docs"_s, src(), {{u"flDelay"_s, u"True"_s}});
    app.StartedByWindows = u"WIN"_s;
    controller->Load();
    EXPECT_EQ(view.label13, u"N/A"_s) << "nothing stamped yet";
    EXPECT_TRUE(pending());
    EXPECT_EQ(controller->state().TotalDirectories, 0) << "the delayed first run visits nothing";
    EXPECT_TRUE(app.StartedByWindows.isEmpty());

    controller->PollTick();
    controller->Load();
    EXPECT_EQ(view.label13, u"14:05:09 05/12/26"_s);
    EXPECT_EQ(view.panel1, u"Last Run :14:05 05/12"_s);
    EXPECT_EQ(stored(u"Settings"_s, u"StrLastRunDate"_s), u"14:05:09 05/12/26"_s);
    EXPECT_EQ(controller->state().TotalDirectories, 2);

    // With no set at all the load still stamps.
    clock.time = clock.time.addSecs(60);
    test::IsolatedHome empty;
    SettingsStore emptyStore(QString::fromStdString(empty.configDir()));
    RunController({configuration, emptyStore, app, clock, timer1, tmrDialog, {}, {}}, view).Load();
    EXPECT_EQ(view.label13, u"14:06:09 05/12/26"_s);
}

TEST_F(RunControllerTest, PollRunsAllSetsThenTheWatchedSetThenOneStep)
{
    storeSet(u"One"_s, src());
    storeSet(u"Two"_s, src("sub"));
    app.RunMode = RunModeScreenSaver;
    controller->Load();
    EXPECT_EQ(view.screenSaverLayouts, 1);
    EXPECT_EQ(view.statusBarShown, 0);
    const QPoint before = view.frame.topLeft();

    // The run of all sets covers what the watch asked for: One's two directories and Two's one.
    state().PendingSetIndex = 1;
    controller->PollTick();
    EXPECT_EQ(view.statistics.directoriesSearched, 3) << "the window shows the end of the run";
    EXPECT_EQ(state().PendingSetIndex, AllSets);
    EXPECT_EQ(view.frame.topLeft(), before + QPoint(10, 10)) << "one step after the run";

    state().PendingSetIndex = 1;
    controller->PollTick();
    EXPECT_EQ(controller->statistics().directoriesSearched, 4) << "the watched set alone";
    EXPECT_EQ(view.frame.topLeft(), before + QPoint(20, 20));
    EXPECT_FALSE(timer1.isEnabled()) << "no countdown in the screen saver";
}

// Every load reads the store again, so the drives a run found the roots on must be in the store.
TEST_F(RunControllerTest, ARunStoresTheDrivesOfItsRootsForTheNextLoad)
{
    storeSet(u"One"_s, src());
    loadAndRun();
    const QString drive = stored(u"Sets\\One"_s, u"DestDrive"_s);
    EXPECT_TRUE(drive.startsWith(u'/')) << drive.toStdString();
    controller->Load();
    EXPECT_EQ(configuration.sets[0].DestDrive, drive);
    EXPECT_FALSE(configuration.sets[0].SourceDrive.isEmpty());
}

TEST_F(RunControllerTest, RunNowDuringARunWaitsForItsEnd)
{
    storeSet(u"Docs"_s, src());
    for (int i = 0; i < 20; ++i)
        WriteFile(src("f" + std::to_string(i)), "x");
    controller->Load();
    bool busyDuringRun = false;
    qint64 listedDuringRun = 0;
    duringNextRun([&] {
        busyDuringRun = controller->runBusy();
        fs::create_directories(src("new"));
        controller->Load();     // Run now
        controller->PollTick(); // the poll ticks on inside the run
        listedDuringRun = controller->state().TotalDirectories;
    });
    controller->PollTick();
    EXPECT_TRUE(busyDuringRun);
    EXPECT_EQ(view.busyChanges, (std::vector<bool>{true, false})) << "one run, not two nested";
    EXPECT_EQ(listedDuringRun, 2) << "the lists are not rebuilt under the run";
    EXPECT_EQ(controller->statistics().filesCopied, 20) << "each file once";
    EXPECT_TRUE(pending()) << "the Run now is done after the run";
    EXPECT_EQ(controller->state().TotalDirectories, 3);
    controller->PollTick();
    EXPECT_EQ(controller->statistics().directoriesSearched, 5) << "counters add up over runs";
}

// Run now and the countdown go at low priority; the idle trigger's own run, the screen saver's and every
// run with flLowPriority off at full speed.
TEST_F(RunControllerTest, OnlyRunsWhileTheUserMayBeWorkingGoAtLowPriority)
{
    if (test::StartedAtLowPriority())
        GTEST_SKIP() << "started at a run's low priority already";
    storeSet(u"Docs"_s, src());
    WriteFile(src("a.txt"), "a");
    const auto idleDuringRun = [this](void (RunController::*load)()) {
        std::optional<bool> idle;
        (controller.get()->*load)();
        duringNextRun([&] { idle = test::AtIdleIoClass(); });
        controller->PollTick();
        return idle;
    };
    EXPECT_EQ(idleDuringRun(&RunController::LoadWhileAway), false);
    EXPECT_EQ(idleDuringRun(&RunController::Load), true);
    app.RunMode = RunModeScreenSaver;
    EXPECT_EQ(idleDuringRun(&RunController::Load), false);
    app.RunMode = RunModeApplication;
    saveSetting(u"Settings"_s, u"flLowPriority"_s, u"False"_s);
    EXPECT_EQ(idleDuringRun(&RunController::Load), false);
    EXPECT_FALSE(test::AtIdleIoClass());
}

TEST_F(RunControllerTest, ListingLetsEventsRunButNothingStartsOrChangesUnderIt)
{
    storeSet(u"Docs"_s, src());
    for (const char* directory : {"sub/a", "sub/b", "c"})
        fs::create_directories(src(directory));
    WriteFile(src("c/f"), "f");
    bool eventsRan = false;
    QTimer::singleShot(0, [&] {
        eventsRan = true;
        controller->Load();     // Run now while the lists are made
        controller->PollTick(); // and the poll's tick
        EXPECT_FALSE(controller->runBusy());
        configuration.sets = BackupSets(1); // an editor's commit of another list
    });
    controller->Load();
    EXPECT_TRUE(eventsRan);
    EXPECT_EQ(controller->state().TotalDirectories, 5) << "the lists of the sets as the load read them";
    controller->PollTick();
    EXPECT_EQ(controller->statistics().filesCopied, 0) << "a set the commit removed is not run";
    EXPECT_TRUE(pending()) << "the Run now asked during the listing came after it";
}

// The watched set's run lists it afresh; a change made during that run asks for one more.
TEST_F(RunControllerTest, WatchedSetRunsAgainAfterAChangeEvenDuringItsRun)
{
    storeSet(u"Docs"_s, src(), {{u"StrRealTime"_s, u"Docs"_s}});
    controller->Load();
    fs::create_directories(src("new/deeper")); // after the load's lists, before its run
    WriteFile(src("new/deeper/f"), "f");
    controller->PollTick();
    ASSERT_FALSE(fs::exists(home.dir() / "dst/Docs/new/deeper/f")) << "the load's lists did not have it";
    ASSERT_GE(controller->watch().WatchHandle(), 0);
    EXPECT_EQ(state().PendingSetIndex, AllSets);

    WriteFile(src("a"), "a");
    ASSERT_TRUE(test::SpinUntil([&] { return state().PendingSetIndex == 0; }));
    duringNextRun([&] { WriteFile(src("c"), "c"); });
    controller->PollTick();
    EXPECT_TRUE(fs::exists(home.dir() / "dst/Docs/new/deeper/f"));
    EXPECT_EQ(controller->state().TotalDirectories, 4) << "src, sub, new and deeper";
    EXPECT_EQ(state().PendingSetIndex, 0) << "the change made during the run asks for one more";
    controller->PollTick();
    EXPECT_TRUE(fs::exists(home.dir() / "dst/Docs/c"));
    EXPECT_EQ(controller->statistics().filesCopied, 3);

    configuration.settings.StrRealTime = u"None"_s;
    state().PendingSetIndex = 0;
    controller->PollTick();
    EXPECT_EQ(controller->watch().WatchHandle(), -1) << "a set no longer watched closes the watch";
}

TEST_F(RunControllerTest, AWatchThatCannotBeArmedIsReportedOnceAndTheTimerStillRuns)
{
    storeSet(u"Docs"_s, src("missing"), {{u"StrRealTime"_s, u"Docs"_s}, {u"flReRun"_s, u"True"_s}});
    loadAndRun();
    loadAndRun();
    ASSERT_EQ(view.problems.size(), 1u);
    EXPECT_TRUE(view.problems[0].startsWith(u"Error : The set Docs is not watched in real time: "_s))
        << view.problems[0].toStdString();
    EXPECT_TRUE(test::ReadFile(home.dir() / "kelvo.log").contains("is not watched in real time"));
    EXPECT_TRUE(timer1.isEnabled());
}

TEST_F(RunControllerTest, AStoppedControllerStartsNoRun)
{
    storeSet(u"Docs"_s, src());
    WriteFile(src("a"), "a");
    controller->Load();
    controller->RequestStop();
    controller->PollTick();
    EXPECT_EQ(controller->statistics().filesExamined, 0);
    EXPECT_FALSE(timer1.isEnabled() || tmrDialog.isEnabled());
}

TEST(Bounce, ReversesAtEachEdgeOfTheScreenSaver)
{
    const QSize area(100, 80);
    MovementState state;
    EXPECT_EQ(Bounce(state, QRect(0, 0, 50, 40), area), QPoint(10, 10));
    EXPECT_EQ(Bounce(state, QRect(55, 10, 50, 40), area), QPoint(45, 20)) << "past the right edge";
    EXPECT_EQ(Bounce(state, QRect(45, 45, 50, 40), area), QPoint(35, 35)) << "past the bottom edge";
    EXPECT_EQ(Bounce(state, QRect(-5, 30, 50, 40), area), QPoint(5, 20)) << "past the left edge";
    EXPECT_EQ(Bounce(state, QRect(5, -3, 50, 40), area), QPoint(15, 7)) << "past the top edge";
    EXPECT_TRUE(state.movingRight && state.movingDown);
}

TEST_F(RunControllerTest, TellsOfAFailureOnceThenOfTheRecoveryAndNothingOfAStop)
{
    WriteFile(src("a"), "a");
    storeSet(u"Docs"_s, src());
    const QString docs = u"Sets\\Docs"_s;
    saveSetting(docs, u"CopyOptions"_s, u"opdate"_s);
    loadAndRun();
    EXPECT_EQ(notices, QStringList{u"Kelvo: backup failed|Set Docs failed: 1 error.\n"
                                   u"Error : Set Docs : unknown value opdate for CopyOptions"_s});
    EXPECT_EQ(stored(docs, u"LastResult"_s), u"failed (1 error)"_s);
    EXPECT_EQ(stored(docs, u"LastCompleted"_s), QString());
    EXPECT_EQ(StatusToolTip(view.status), u"Kelvo - last run 14:05 failed: 1 error"_s);
    EXPECT_TRUE(ShowsErrors(view.status));

    saveSetting(docs, u"CopyOptions"_s, u"OpDate"_s);
    clock.time = clock.time.addSecs(60);
    loadAndRun();
    ASSERT_EQ(notices.size(), 2);
    EXPECT_EQ(notices[1], u"Kelvo: backup works again|Set Docs backs up again."_s);
    EXPECT_EQ(stored(docs, u"LastResult"_s), u"completed"_s);
    EXPECT_EQ(stored(docs, u"LastCompleted"_s), u"05/12/2026 14:06:09"_s);
    EXPECT_EQ(stored(docs, u"FirstAttempt"_s), u"05/12/2026 14:05:09"_s) << "the first attempt stays";
    EXPECT_EQ(StatusToolTip(view.status), u"Kelvo - last run 14:06 completed"_s);
    EXPECT_FALSE(ShowsErrors(view.status));
    loadAndRun();
    EXPECT_EQ(notices.size(), 2) << "a set that completes again and again is news once";

    // Stopped in the walk of Late, after Docs failed again: nothing is told, and Late keeps its result.
    for (int i = 0; i < 50; ++i)
        WriteFile(src("sub/f" + std::to_string(i)), "x");
    saveSetting(docs, u"CopyOptions"_s, u"opdate"_s);
    storeSet(u"Late"_s, src());
    saveSetting(u"Sets\\Late"_s, u"LastResult"_s, u"failed (2 errors)"_s);
    controller->Load();
    duringNextRun([this] { controller->RequestStop(); });
    controller->PollTick();
    EXPECT_EQ(notices.size(), 2) << notices.join(u'\n').toStdString();
    EXPECT_EQ(stored(u"Sets\\Late"_s, u"LastResult"_s), u"failed (2 errors)"_s)
        << "a stopped set keeps its result";
}

// Counted from the last completed run, else the first attempt, else this program's start.
TEST_F(RunControllerTest, TellsOfStaleSetsOnceADay)
{
    const QString completed = RunStampText(clock.time.addDays(-9));
    for (const QString& name : {u"Done"_s, u"Tried"_s, u"Off"_s, u"Never"_s})
        storeSet(name, src());
    saveSetting(u"Sets\\Done"_s, u"LastCompleted"_s, completed);
    saveSetting(u"Sets\\Tried"_s, u"FirstAttempt"_s, RunStampText(clock.time.addDays(-8)));
    saveSetting(u"Sets\\Tried"_s, u"LastResult"_s, u"failed (1 error)"_s);
    saveSetting(u"Sets\\Off"_s, u"LastCompleted"_s, completed);
    saveSetting(u"Sets\\Off"_s, u"flEnabled"_s, u"False"_s);
    controller->Load();
    const QString stale = u"Kelvo: no recent backup|Set %1 has not completed a backup for %2 days."_s;
    EXPECT_EQ(notices, (QStringList{stale.arg(u"Done"_s).arg(9), stale.arg(u"Tried"_s).arg(8)}));

    notices.clear();
    clock.time = clock.time.addSecs(3600);
    controller->MinuteTick();
    EXPECT_TRUE(notices.isEmpty()) << "once a day";

    clock.time = clock.time.addDays(6);
    controller->MinuteTick();
    EXPECT_EQ(notices.size(), 2) << "the next day again; Never counts from the start, 6 days ago";
    clock.time = clock.time.addDays(1);
    controller->MinuteTick();
    EXPECT_TRUE(notices.contains(stale.arg(u"Never"_s).arg(7))) << notices.join(u'\n').toStdString();

    notices.clear();
    clock.time = clock.time.addDays(1);
    configuration.settings.IntStaleDays = 0;
    controller->MinuteTick();
    EXPECT_TRUE(notices.isEmpty()) << "0 tells never";
}

} // namespace
} // namespace kelvo
