#include "schedule/ChangeWatch.h"

#include "support/Application.h"
#include "support/TestSupport.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

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
    return int(test::ReadFile("/proc/self/fdinfo/" + std::to_string(descriptor)).count("inotify wd:"));
}

class ChangeWatchTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { test::EnsureApplication(); }

    void SetUp() override
    {
        fs::create_directories(dir / "sub/deeper");
        for (const char* file : {"file", "sub/file", "sub/deeper/file"})
            Write(dir / file);
        QObject::connect(&watch, &ChangeWatch::changed, [this] { ++signalCount; });
    }

    QString start(const std::string& path, bool subDirectories = true)
    {
        return watch.StartWatch(QString::fromStdString(path), subDirectories);
    }

    // Whether action made a change: the kernel queues events within the system call.
    bool Changes(const std::function<void()>& action)
    {
        EXPECT_FALSE(watch.TakeChange());
        action();
        return watch.TakeChange();
    }

    bool SignalArrives(int count)
    {
        return test::SpinUntil([&] { return signalCount >= count; });
    }

    TempDir dir;
    ChangeWatch watch;
    int signalCount = 0;
};

TEST_F(ChangeWatchTest, EveryKindOfChangeCountsInTheRootAndBelowAndDirectoriesThroughWhatTheyHold)
{
    ASSERT_EQ(start(dir.path()), QString());
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

    // An empty directory made or removed is no change; once made, it is watched.
    EXPECT_FALSE(Changes([&] { fs::create_directories(dir / "a/b"); }));
    EXPECT_TRUE(Changes([&] { Write(dir / "a/b/file"); }));
    EXPECT_TRUE(Changes([&] { fs::remove(dir / "a/b/file"); }));
    EXPECT_FALSE(Changes([&] { fs::remove_all(dir / "a"); }));

    // Files already inside a new directory are a change; renamed, it is still watched.
    EXPECT_TRUE(Changes([&] {
        fs::create_directories(dir / "filled/below");
        Write(dir / "filled/below/file");
    }));
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

TEST_F(ChangeWatchTest, WithoutSubDirectoriesOnlyTheRootIsWatched)
{
    ASSERT_EQ(start(dir.path(), false), QString());
    EXPECT_FALSE(Changes([&] { Write(dir / "sub/file"); }));
    EXPECT_FALSE(Changes([&] { fs::create_directory(dir / "made"); }));
    EXPECT_FALSE(Changes([&] { Write(dir / "made/file"); }));
    EXPECT_FALSE(Changes([&] { fs::rename(dir / "made", dir / "renamed"); }));
    EXPECT_EQ(CountWatches(watch.WatchHandle()), 1);
    EXPECT_TRUE(Changes([&] { Write(dir / "file"); }));
}

TEST_F(ChangeWatchTest, ChangedIsSignalledThroughTheEventLoopOncePerTakenChange)
{
    ASSERT_EQ(start(dir.path()), QString());
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

// The root is watched through a link to it, and a link below it is not followed.
TEST_F(ChangeWatchTest, KelvosOwnFilesUnfinishedCopiesAndLinksBelowTheRootAreNoChange)
{
    fs::create_directories(dir / "kelvo-data/sets");
    TempDir other;
    fs::create_directory(other / "linked");
    fs::create_directory_symlink(other / "linked", dir / "sub/link");
    fs::create_directory_symlink(dir.path(), other / "alias");
    // Named through a link and with a trailing separator: still the same folder.
    watch.SetIgnoredPaths({dir / "kelvo.log", other / "alias/kelvo-data/", ""});
    ASSERT_EQ(start(other / "alias"), QString());

    EXPECT_FALSE(Changes([&] { Write(other / "linked/file"); }));
    EXPECT_TRUE(Changes([&] { Write(other / "alias/sub/deeper/file"); }));
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

TEST_F(ChangeWatchTest, EveryStartReplacesTheDescriptorAndKeepsItsChanges)
{
    const int before = CountInotifyDescriptors();
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(start(dir.path(), i % 2 == 0), QString());
    EXPECT_EQ(CountInotifyDescriptors(), before + 1);

    // A change still queued on the old descriptor is taken over, and signalled once.
    Write(dir / "file");
    EXPECT_EQ(start(dir.path()), QString());
    EXPECT_EQ(start(dir.path()), QString());
    EXPECT_EQ(signalCount, 1);
    EXPECT_TRUE(watch.TakeChange());
    EXPECT_FALSE(watch.TakeChange());

    // A directory that cannot be watched replaces the watch with none.
    for (const std::string name : {"missing", "file"}) {
        const QString path = QString::fromStdString(dir / name);
        ASSERT_EQ(start(dir.path()), QString());
        EXPECT_EQ(watch.StartWatch(path, true), name == "file"
                                                    ? u"%1 is not a directory."_s.arg(path)
                                                    : u"The directory %1 does not exist."_s.arg(path));
        EXPECT_EQ(watch.WatchHandle(), -1);
        EXPECT_EQ(CountInotifyDescriptors(), before);
    }
    EXPECT_FALSE(watch.TakeChange());
    watch.StopWatch();
    EXPECT_EQ(CountInotifyDescriptors(), before);
}

// A queue overflow is a change, and a directory made while events were lost is watched all the same.
TEST_F(ChangeWatchTest, AnOverflowCountsAndWatchesTheTreeAgain)
{
    int queued = 0;
    std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> queued;
    if (queued <= 0 || queued > 1'000'000)
        GTEST_SKIP() << "queue of " << queued << " events";
    const std::string files[] = {dir / "file", dir / "sub/file"};
    ASSERT_EQ(start(dir.path()), QString());
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
