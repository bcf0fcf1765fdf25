#include "schedule/RunController.h"

#include "config/RunRecords.h"
#include "platform/SettingsStore.h"
#include "support/Application.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <vector>

namespace kelvo {
namespace {

using namespace Qt::StringLiterals;
namespace fs = std::filesystem;
using test::WriteFile;

// Timer1 or tmrDialog, ticked by the test.
struct ManualTimer final : RepeatingTimer
{
    void setInterval(int) override {}
    int interval() const override { return 60000; }
    void setEnabled(bool enabled) override { on = enabled; }
    bool isEnabled() const override { return on; }
    using RepeatingTimer::tick;
    bool on = true;
};

// The test is the clock and the main window of a controller in a home of its own holding the folder src/sub.
class RunControllerTest : public ::testing::Test, public RunView, public Clock
{
protected:
    static void SetUpTestSuite() { test::EnsureApplication(); }
    void SetUp() override { fs::create_directories(src("sub")); }

    void statisticsChanged(const RunStatistics&) override {}
    void currentFileChanged(const QString&) override {}
    void fileProgressChanged(int) override {}
    void overallProgressChanged(int) override {}
    void copyActive(bool) override {}
    void errorReported(const QString&) override {}
    void applyScreenSaverLayout() override {}
    void setLastRun(const QString&) override {}
    void setLastRunPanel(const QString&) override {}
    void setMinutesToNext(const QString&, const QString&) override {}
    void statusBarVisible() override { ++loads; }
    void runBusyChanged(bool busy) override { busyChanges.push_back(busy); }
    void watchProblem(const QString& message) override { problems.push_back(message); }
    void statusChanged(const ProgramStatus& s) override { status = s; }
    QRect mainWindowFrame() const override { return {}; }
    QSize screenSaverArea() const override { return {}; }
    void moveMainWindow(const QPoint&) override {}
    QDateTime now() const override { return time; }

    std::string src(const std::string& relative = {}) const { return home.dir() / ("src/" + relative); }
    // Stores a one-way set from source to dst/<name>, the log in the home, and general settings "key=value".
    void storeSet(const QString& name, const std::string& source, const QString& settings = {})
    {
        test::StoreSet(store, name, source, home.dir() / ("dst/" + name.toStdString()));
        save(u"Settings"_s, u"StrLogFileDir"_s, QString::fromStdString(home.dir().path()));
        for (const QString& setting : settings.split(u' ', Qt::SkipEmptyParts))
            save(u"Settings"_s, setting.section(u'=', 0, 0), setting.section(u'=', 1));
    }
    void save(const QString& at, const QString& key, QString v) { store.SaveSetting(u"Kelvo"_s, at, key, v); }
    QString stored(const QString& at, const QString& key) { return store.GetSetting(u"Kelvo"_s, at, key); }
    // Plays what the machine does and gives the loads so far: "a5" five minutes awake (the wall clock and an
    // enabled countdown go on together), "s30" thirty asleep (the countdown stands still), "w" logind's word
    // of a wake, "l" a load, "p" a poll tick.
    int play(const std::string& steps)
    {
        std::istringstream words(steps);
        for (std::string step; words >> step;) {
            for (int i = 0, minutes = step.size() > 1 ? std::stoi(step.substr(1)) : 0; i < minutes; ++i) {
                time = time.addSecs(60);
                if (step[0] == 'a' && timer1.on)
                    timer1.tick();
            }
            if (step[0] == 'w')
                controller.Woke();
            else if (step[0] == 'l')
                controller.Load();
            else if (step[0] == 'p')
                controller.PollTick();
        }
        return loads;
    }
    bool pending() const { return controller.state().RunPending; }
    qint16& pendingSet() { return const_cast<RunState&>(controller.state()).PendingSetIndex; }
    // Runs body from inside the next run, at its first event yield.
    static void duringNextRun(std::function<void()> body) { QTimer::singleShot(0, std::move(body)); }

    ProgramStatus status;
    int loads = 0; // every load outside the screen saver shows the status bar
    std::vector<QString> problems;
    std::vector<bool> busyChanges;
    test::IsolatedHome home;
    SettingsStore store{QString::fromStdString(home.configDir())};
    Configuration configuration;
    AppState app{RunModeApplication, {}, {}, 0, 0, false};
    QDateTime time = QDateTime(QDate(2026, 12, 5), QTime(14, 5, 9));
    ManualTimer timer1, tmrDialog;
    QStringList notices; // "summary|body"
    NotifyFunction notify = [this](const QString& summary, const QString& body) {
        notices << summary + u'|' + body;
    };
    RunController controller{{configuration, store, app, *this, timer1, tmrDialog, {}, notify}, *this};
};

// A desktop start with "delay the first run" stamps and lists nothing. The countdown's reload reads back the
// drives the run stored for its roots, which guard the next runs.
TEST_F(RunControllerTest, LoadStampsListsAndCountsDownToTheNextLoad)
{
    storeSet(u"Docs"_s, src(), u"flDelay=True flReRun=True IntReRunTime=60"_s);
    WriteFile(src("a"), "a");
    app.StartedByWindows = u"WIN"_s;
    controller.Load();
    EXPECT_TRUE(controller.state().TotalDirectories == 0 && pending() && app.StartedByWindows.isEmpty());
    controller.PollTick();
    controller.Load();
    EXPECT_EQ(stored(u"Settings"_s, u"StrLastRunDate"_s), u"14:05:09 05/12/26"_s);
    EXPECT_EQ(controller.state().TotalDirectories, 2);
    duringNextRun([&] { play("a120"); }); // two hours of a run: not counted down, and no sleep
    controller.PollTick();
    play("a59");
    EXPECT_FALSE(pending());
    play("a1");
    EXPECT_TRUE(pending() && app.ReRunCounter == 0);
    const QString drive = stored(u"Sets\\Docs"_s, u"DestDrive"_s);
    EXPECT_TRUE(drive.startsWith(u'/') && configuration.sets[0].DestDrive == drive) << drive.toStdString();
    EXPECT_FALSE(configuration.sets[0].SourceDrive.isEmpty());
}

// A sleep shorter than the rest of the countdown runs nothing early, a longer one runs once at the wake,
// whichever word of it comes first (the minute tick that sees the jump of the wall clock, or logind's).
TEST_F(RunControllerTest, ASleepShorterThanTheRestRunsNothingEarlyALongerOneRunsOnceAtTheWake)
{
    storeSet(u"Docs"_s, src(), u"flReRun=True IntReRunTime=60"_s);
    play("l p");
    EXPECT_EQ(play("a10 s30 a1 w"), 1);
    EXPECT_EQ(app.ReRunCounter, 11) << "the countdown goes on from where it stood";
    EXPECT_EQ(play("a48"), 1);
    EXPECT_EQ(play("a1 p a10"), 2) << "the countdown's own end";
    EXPECT_EQ(play("s180 a1"), 3);
    EXPECT_EQ(play("w p w a59"), 3);
    EXPECT_EQ(busyChanges.size(), 6u) << "three runs";
    EXPECT_EQ(play("s150 w a1 p a1"), 4);
    configuration.settings.flReRun = false;
    EXPECT_EQ(play("s300 a1 w"), 4) << "without re-runs, a wake runs nothing";
}

// A Run now, a poll or a watched change during the listing or a run waits for its end, and nothing starts or
// changes under either; an editor's commit during the listing takes effect.
TEST_F(RunControllerTest, RunNowDuringARunOrItsListingWaitsForItsEnd)
{
    storeSet(u"Docs"_s, src());
    for (int i = 0; i < 20; ++i)
        WriteFile(src("f" + std::to_string(i)), "x");
    fs::create_directories(src("sub/a/b"));
    QTimer::singleShot(0, [&] {
        play("l p");
        configuration.sets = BackupSets(1);
    });
    controller.Load();
    EXPECT_EQ(controller.state().TotalDirectories, 4) << "the lists of the sets as the load read them";
    controller.PollTick();
    EXPECT_EQ(controller.statistics().filesExamined, 0) << "a set the commit removed is not run";
    EXPECT_TRUE(pending()) << "the Run now asked during the listing came after it";
    busyChanges.clear();
    qint64 listedDuringRun = 0;
    bool idle = false;
    duringNextRun([&] {
        EXPECT_TRUE(controller.runBusy());
        idle = test::AtIdleIoClass();
        fs::create_directories(src("new"));
        pendingSet() = 0;
        play("l p");
        listedDuringRun = controller.state().TotalDirectories;
    });
    controller.PollTick();
    EXPECT_EQ(busyChanges, (std::vector<bool>{true, false})) << "one run, not two nested";
    EXPECT_EQ(listedDuringRun, 4) << "the lists are not rebuilt under the run";
    EXPECT_EQ(controller.statistics().filesCopied, 20) << "each file once";
    EXPECT_TRUE(pending() && controller.state().TotalDirectories == 5) << "the Run now comes after the run";
    EXPECT_TRUE(idle && (test::StartedAtLowPriority() || !test::AtIdleIoClass()))
        << "low priority while it runs";
}

// The watched set's run lists it afresh. A watch that cannot be armed is told once.
TEST_F(RunControllerTest, WatchedSetRunsAgainAfterAChangeEvenDuringItsRun)
{
    storeSet(u"Docs"_s, src(), u"StrRealTime=Docs"_s);
    controller.Load();
    fs::create_directories(src("new/deeper")); // after the load's lists, before its run
    WriteFile(src("new/deeper/f"), "f");
    controller.PollTick();
    ASSERT_FALSE(fs::exists(home.dir() / "dst/Docs/new/deeper/f")) << "the load's lists did not have it";
    ASSERT_TRUE(controller.watch().WatchHandle() >= 0 && pendingSet() == AllSets);
    WriteFile(src("a"), "a");
    ASSERT_TRUE(test::SpinUntil([&] { return pendingSet() == 0; }));
    duringNextRun([&] { WriteFile(src("c"), "c"); });
    controller.PollTick();
    EXPECT_TRUE(fs::exists(home.dir() / "dst/Docs/new/deeper/f"));
    EXPECT_EQ(pendingSet(), 0) << "the change made during the run asks for one more";
    controller.PollTick();
    EXPECT_TRUE(fs::exists(home.dir() / "dst/Docs/c"));
    EXPECT_EQ(controller.statistics().filesCopied, 3);
    save(u"Settings"_s, u"StrRealTime"_s, u"None"_s);
    play("l p");
    EXPECT_EQ(controller.watch().WatchHandle(), -1) << "a set no longer watched closes the watch";
    storeSet(u"Docs"_s, src("missing"), u"StrRealTime=Docs"_s);
    play("l p");
    play("l p");
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_TRUE(problems[0].startsWith(u"Error : The set Docs is not watched in real time: "_s));
    EXPECT_TRUE(test::ReadFile(home.dir() / "kelvo.log").contains("is not watched in real time"));
    EXPECT_TRUE(timer1.isEnabled());
}

// A failure is told once, then the recovery; a stop as Kelvo ends tells nothing, keeps the results as they
// were, and no run starts after it.
TEST_F(RunControllerTest, TellsOfAFailureOnceThenOfTheRecoveryAndNothingOfAStop)
{
    WriteFile(src("a"), "a");
    storeSet(u"Docs"_s, src());
    const QString docs = u"Sets\\Docs"_s;
    save(docs, u"CopyOptions"_s, u"opdate"_s);
    play("l p");
    EXPECT_EQ(notices, QStringList{u"Kelvo: backup failed|Set Docs failed: 1 error.\n"
                                   u"Error : Set Docs : unknown value opdate for CopyOptions"_s});
    EXPECT_EQ(stored(docs, u"LastResult"_s), u"failed (1 error)"_s);
    EXPECT_TRUE(stored(docs, u"LastCompleted"_s).isEmpty() && ShowsErrors(status));
    save(docs, u"CopyOptions"_s, u"OpDate"_s);
    time = time.addSecs(60);
    play("l p");
    play("l p");
    EXPECT_EQ(notices.mid(1), QStringList{u"Kelvo: backup works again|Set Docs backs up again."_s}) << "once";
    EXPECT_EQ(stored(docs, u"LastResult"_s), u"completed"_s);
    EXPECT_EQ(stored(docs, u"LastCompleted"_s), u"05/12/2026 14:06:09"_s);
    EXPECT_EQ(stored(docs, u"FirstAttempt"_s), u"05/12/2026 14:05:09"_s) << "the first attempt stays";
    EXPECT_FALSE(ShowsErrors(status));
    for (int i = 0; i < 50; ++i) // stopped in the walk of Late, after Docs failed again
        WriteFile(src("sub/f" + std::to_string(i)), "x");
    save(docs, u"CopyOptions"_s, u"opdate"_s);
    storeSet(u"Late"_s, src());
    save(u"Sets\\Late"_s, u"LastResult"_s, u"failed (2 errors)"_s);
    controller.LoadWhileAway();
    bool idle = false;
    duringNextRun([&] {
        idle = test::AtIdleIoClass();
        controller.RequestStop();
    });
    controller.PollTick();
    EXPECT_TRUE(!idle || test::StartedAtLowPriority()) << "the idle trigger's run goes at full speed";
    EXPECT_EQ(notices.size(), 2) << notices.join(u'\n').toStdString();
    EXPECT_EQ(stored(u"Sets\\Late"_s, u"LastResult"_s), u"failed (2 errors)"_s);
    const qint64 examined = controller.statistics().filesExamined;
    play("l p");
    EXPECT_EQ(controller.statistics().filesExamined, examined);
    EXPECT_FALSE(timer1.isEnabled() || tmrDialog.isEnabled());
}

// Counted from the last completed run, else the first attempt, else this program's start.
TEST_F(RunControllerTest, TellsOfStaleSetsOnceADay)
{
    const QString completed = RunStampText(time.addDays(-9));
    for (const QString& name : {u"Done"_s, u"Tried"_s, u"Off"_s, u"Never"_s})
        storeSet(name, src());
    save(u"Sets\\Done"_s, u"LastCompleted"_s, completed);
    save(u"Sets\\Tried"_s, u"FirstAttempt"_s, RunStampText(time.addDays(-8)));
    save(u"Sets\\Tried"_s, u"LastResult"_s, u"failed (1 error)"_s);
    save(u"Sets\\Off"_s, u"LastCompleted"_s, completed);
    save(u"Sets\\Off"_s, u"flEnabled"_s, u"False"_s);
    controller.Load();
    const QString stale = u"Kelvo: no recent backup|Set %1 has not completed a backup for %2 days."_s;
    EXPECT_EQ(notices, (QStringList{stale.arg(u"Done"_s).arg(9), stale.arg(u"Tried"_s).arg(8)}));
    const auto toldAfter = [&](int days, int seconds) {
        notices.clear();
        time = time.addDays(days).addSecs(seconds);
        controller.MinuteTick();
        return notices;
    };
    EXPECT_TRUE(toldAfter(0, 3600).isEmpty()) << "once a day";
    EXPECT_EQ(toldAfter(6, 0).size(), 2) << "the next day again; Never counts from the start, 6 days ago";
    EXPECT_TRUE(toldAfter(1, 0).contains(stale.arg(u"Never"_s).arg(7)));
    configuration.settings.IntStaleDays = 0;
    EXPECT_TRUE(toldAfter(1, 0).isEmpty()) << "0 tells never";
}

} // namespace
} // namespace kelvo
