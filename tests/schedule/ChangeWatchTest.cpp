#include "schedule/ChangeWatch.h"

#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kelvo {
namespace {

namespace fs = std::filesystem;
using namespace Qt::StringLiterals;
using test::TempDir;

void Write(const std::string& path, const std::string& contents = "x")
{
    std::ofstream(path, std::ios::app) << contents;
}

int CountInotifyDescriptors()
{
    int count = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ignored;
        if (fs::read_symlink(entry.path(), ignored) == "anon_inode:inotify")
            ++count;
    }
    return count;
}

int CountWatches(int descriptor)
{
    std::ifstream info("/proc/self/fdinfo/" + std::to_string(descriptor));
    int count = 0;
    for (std::string line; std::getline(info, line);)
        count += line.starts_with("inotify wd:");
    return count;
}

class ChangeWatchTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        static int argc = 1;
        static char name[] = "test_schedule";
        static char* argv[] = {name, nullptr};
        if (!QCoreApplication::instance())
            new QCoreApplication(argc, argv);
    }

    void SetUp() override
    {
        fs::create_directories(dir / "sub/deeper");
        Write(dir / "file");
        Write(dir / "sub/file");
        Write(dir / "sub/deeper/file");
        QObject::connect(&watch, &ChangeWatch::changed, [this] { ++signalCount; });
    }

    void WatchDir(bool subDirectories = true)
    {
        ASSERT_EQ(watch.StartWatch(QString::fromStdString(dir.path()), subDirectories), QString());
    }

    // Tells whether action made a change. The kernel queues events within the system call, so
    // TakeChange sees them at once.
    bool Changes(const std::function<void()>& action)
    {
        EXPECT_FALSE(watch.TakeChange());
        action();
        return watch.TakeChange();
    }

    // Runs the event loop until changed() has been emitted count times, for at most five seconds.
    bool SignalArrives(int count)
    {
        QEventLoop loop;
        QTimer deadline;
        QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
        QObject::connect(&watch, &ChangeWatch::changed, &loop, [&] {
            if (signalCount >= count)
                loop.quit();
        });
        deadline.start(5000);
        if (signalCount < count)
            loop.exec();
        return signalCount >= count;
    }

    TempDir dir;
    ChangeWatch watch;
    int signalCount = 0;
};

TEST_F(ChangeWatchTest, EveryKindOfFileChangeCountsInTheRootAndBelow)
{
    WatchDir();
    for (const std::string folder : {"", "sub/", "sub/deeper/"}) {
        SCOPED_TRACE(folder);
        const std::string file = dir / (folder + "file");
        EXPECT_TRUE(Changes([&] { Write(dir / (folder + "new")); }));
        EXPECT_TRUE(Changes([&] { Write(file, "more"); }));
        EXPECT_TRUE(Changes([&] { fs::rename(file, file + ".renamed"); }));
        EXPECT_TRUE(Changes([&] { fs::rename(file + ".renamed", file); }));
        EXPECT_TRUE(Changes([&] { chmod(file.c_str(), 0600); }));
        EXPECT_TRUE(Changes([&] { symlink("file", (dir / (folder + "link")).c_str()); }));
        EXPECT_TRUE(Changes([&] { fs::remove(dir / (folder + "link")); }));
        EXPECT_TRUE(Changes([&] { fs::remove(file); }));
    }
}

TEST_F(ChangeWatchTest, ChangedIsSignalledThroughTheEventLoopOncePerTakenChange)
{
    ASSERT_EQ(watch.StartWatch(QString::fromStdString(dir.path()), true), QString());
    Write(dir / "sub/file");
    ASSERT_TRUE(SignalArrives(1));

    Write(dir / "file");
    QCoreApplication::processEvents();
    EXPECT_EQ(signalCount, 1) << "a change that is still pending is not signalled again";
    EXPECT_TRUE(watch.TakeChange());
    EXPECT_FALSE(watch.TakeChange());

    Write(dir / "file");
    EXPECT_TRUE(SignalArrives(2));
}

TEST_F(ChangeWatchTest, WithoutSubDirectoriesOnlyTheRootIsWatched)
{
    WatchDir(false);
    EXPECT_FALSE(Changes([&] { Write(dir / "sub/file"); }));
    EXPECT_FALSE(Changes([&] { fs::create_directory(dir / "made"); }));
    EXPECT_FALSE(Changes([&] { Write(dir / "made/file"); }));
    EXPECT_FALSE(Changes([&] { fs::rename(dir / "made", dir / "renamed"); }));
    EXPECT_EQ(CountWatches(watch.WatchHandle()), 1);
    EXPECT_TRUE(Changes([&] { Write(dir / "file"); }));
}

TEST_F(ChangeWatchTest, DirectoriesCountThroughWhatTheyHold)
{
    WatchDir();
    // An empty directory made or removed is no change; once made, it is watched.
    EXPECT_FALSE(Changes([&] { fs::create_directory(dir / "empty"); }));
    EXPECT_TRUE(Changes([&] { Write(dir / "empty/file"); }));
    EXPECT_FALSE(Changes([&] { fs::create_directories(dir / "a/b/c"); }));
    EXPECT_FALSE(Changes([&] { fs::remove_all(dir / "a"); }));

    // Files already inside when the new directory's watch comes are a change; so is what comes later.
    EXPECT_TRUE(Changes([&] {
        fs::create_directories(dir / "filled/below");
        Write(dir / "filled/below/file");
    }));
    EXPECT_TRUE(Changes([&] { Write(dir / "filled/below/later"); }));

    // Renaming a directory moves its files; under the new name it is still watched.
    EXPECT_TRUE(Changes([&] { fs::rename(dir / "filled", dir / "renamed"); }));
    EXPECT_TRUE(Changes([&] { Write(dir / "renamed/below/file"); }));

    // Moved in from outside with files, and out again: out of the tree nothing of it is watched.
    TempDir outside;
    fs::create_directories(outside / "tree/below");
    Write(outside / "tree/below/file");
    EXPECT_TRUE(Changes([&] { fs::rename(outside / "tree", dir / "tree"); }));
    EXPECT_TRUE(Changes([&] { Write(dir / "tree/below/file"); }));
    const int watchesWithTree = CountWatches(watch.WatchHandle());
    EXPECT_TRUE(Changes([&] { fs::rename(dir / "tree", outside / "back"); }));
    EXPECT_EQ(CountWatches(watch.WatchHandle()), watchesWithTree - 2);
    EXPECT_FALSE(Changes([&] { Write(outside / "back/below/file"); }));
}

TEST_F(ChangeWatchTest, FollowsALinkAsTheRootButNoLinkBelowIt)
{
    TempDir other;
    fs::create_directory(other / "linked");
    fs::create_directory_symlink(other / "linked", dir / "sub/link");
    fs::create_directory_symlink(dir.path(), other / "root");

    ASSERT_EQ(watch.StartWatch(QString::fromStdString(other / "root"), true), QString());
    Write(other / "linked/file");
    EXPECT_FALSE(watch.TakeChange());
    Write(other / "root/sub/deeper/file");
    EXPECT_TRUE(watch.TakeChange());
}

TEST_F(ChangeWatchTest, KelvosOwnFilesAndUnfinishedCopiesAreNoChange)
{
    fs::create_directories(dir / "kelvo-data/sets");
    TempDir other;
    fs::create_directory_symlink(dir.path(), other / "alias");
    // Named through a link and with a trailing separator: still the same folder.
    watch.SetIgnoredPaths({dir / "kelvo.log", other / "alias/kelvo-data/", ""});
    WatchDir();

    EXPECT_FALSE(Changes([&] { Write(dir / "kelvo.log"); }));
    EXPECT_FALSE(Changes([&] { Write(dir / "kelvo-data/sets/one"); }));
    EXPECT_FALSE(Changes([&] { fs::create_directories(dir / "kelvo-data/new"); }));
    EXPECT_TRUE(Changes([&] { Write(dir / "kelvo.log.old"); }));

    const std::string partial = dir / "sub/.file.kelvo-partial-0123456789abcdef";
    EXPECT_FALSE(Changes([&] {
        Write(partial);
        chmod(partial.c_str(), 0600);
    }));
    EXPECT_TRUE(Changes([&] { fs::rename(partial, dir / "sub/file"); }));
    EXPECT_TRUE(Changes([&] { Write(dir / "sub/.file.kelvo-partial-0123"); }));
}

TEST_F(ChangeWatchTest, ADirectoryThatCannotBeWatchedLeavesNothingOpen)
{
    const int before = CountInotifyDescriptors();
    ASSERT_EQ(watch.StartWatch(QString::fromStdString(dir.path()), true), QString());
    ASSERT_GE(watch.WatchHandle(), 0);

    const QString missing = QString::fromStdString(dir / "missing");
    EXPECT_EQ(watch.StartWatch(missing, true), u"The directory %1 does not exist."_s.arg(missing));
    EXPECT_EQ(watch.WatchHandle(), -1);
    EXPECT_EQ(CountInotifyDescriptors(), before);

    const QString file = QString::fromStdString(dir / "file");
    EXPECT_EQ(watch.StartWatch(file, true), u"%1 is not a directory."_s.arg(file));
    EXPECT_EQ(watch.WatchHandle(), -1);
    EXPECT_EQ(CountInotifyDescriptors(), before);
    EXPECT_FALSE(watch.TakeChange());
    watch.StopWatch();
}

TEST_F(ChangeWatchTest, EveryStartReplacesTheDescriptorAndKeepsItsChanges)
{
    const int before = CountInotifyDescriptors();
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(watch.StartWatch(QString::fromStdString(dir.path()), i % 2 == 0), QString());
    EXPECT_EQ(CountInotifyDescriptors(), before + 1);

    // A change still queued on the old descriptor is taken over, and signalled once.
    Write(dir / "file");
    EXPECT_EQ(watch.StartWatch(QString::fromStdString(dir.path()), true), QString());
    EXPECT_EQ(signalCount, 1);
    EXPECT_EQ(watch.StartWatch(QString::fromStdString(dir.path()), true), QString());
    EXPECT_EQ(signalCount, 1);
    EXPECT_TRUE(watch.TakeChange());
    EXPECT_FALSE(watch.TakeChange());

    watch.StopWatch();
    watch.StopWatch();
    EXPECT_EQ(watch.WatchHandle(), -1);
    EXPECT_EQ(CountInotifyDescriptors(), before);
}

// More events than the kernel queues: the overflow is a change, and the directory made while events
// were being lost is watched all the same.
TEST_F(ChangeWatchTest, AnOverflowCountsAndWatchesTheTreeAgain)
{
    int queued = 0;
    std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> queued;
    if (queued <= 0 || queued > 1'000'000)
        GTEST_SKIP() << "queue of " << queued << " events";
    const std::string files[] = {dir / "file", dir / "sub/file"};
    ASSERT_EQ(watch.StartWatch(QString::fromStdString(dir.path()), true), QString());
    for (int i = 0; i <= queued; ++i)
        chmod(files[i % 2].c_str(), i % 4 < 2 ? 0600 : 0644);
    fs::create_directory(dir / "lost");

    int takes = 0;
    while (watch.TakeChange())
        ASSERT_LT(++takes, 1000);
    EXPECT_GT(takes, 0);
    Write(dir / "lost/file");
    EXPECT_TRUE(watch.TakeChange());
}

// The watch limit of a user namespace of the test's own stands in for a system that has few watches.
TEST_F(ChangeWatchTest, OutOfWatchesSaysWhyAndKeepsTheWatchesItGot)
{
    constexpr int Skipped = 77;
    for (int i = 0; i < 10; ++i)
        fs::create_directories(dir / ("many/" + std::to_string(i)));
    const std::string uid = std::to_string(getuid());
    const std::string gid = std::to_string(getgid());
    const int code = test::RunInChild([&] {
        if (unshare(CLONE_NEWUSER) != 0)
            return Skipped;
        test::WriteFile("/proc/self/setgroups", "deny");
        test::WriteFile("/proc/self/uid_map", QByteArray::fromStdString("0 " + uid + " 1"));
        test::WriteFile("/proc/self/gid_map", QByteArray::fromStdString("0 " + gid + " 1"));
        if (!(std::ofstream("/proc/sys/user/max_inotify_watches") << 3).flush())
            return Skipped;
        // Watching the same two directories again needs room for both watches until the old go.
        const QString sub = QString::fromStdString(dir / "sub");
        if (!watch.StartWatch(sub, true).isEmpty() || !watch.StartWatch(sub, true).isEmpty() ||
            CountWatches(watch.WatchHandle()) != 2)
            return 1;
        const QString problem = watch.StartWatch(QString::fromStdString(dir.path()), true);
        const bool explained = problem.startsWith(u"Only 3 directories of "_s) &&
                               problem.contains(u"fs.inotify.max_user_watches"_s);
        Write(dir / "file");
        return explained && CountWatches(watch.WatchHandle()) == 3 && watch.TakeChange() ? 0 : 2;
    });
    if (code == Skipped)
        GTEST_SKIP() << "no user namespace with its own watch limit";
    EXPECT_EQ(code, 0);
}

} // namespace
} // namespace kelvo
