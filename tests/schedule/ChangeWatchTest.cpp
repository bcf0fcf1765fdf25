#include "schedule/ChangeWatch.h"

#include "support/Application.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sched.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace kelvo {
namespace {

namespace fs = std::filesystem;

// A watch over dir, which holds file, sub/file and sub/deeper/file; other is a folder beside it.
class ChangeWatchTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { test::EnsureApplication(); }
    void SetUp() override
    {
        for (const char* file : {"file", "sub/file", "sub/deeper/file"})
            Do(std::string("write ") + file);
        QObject::connect(&watch, &ChangeWatch::changed, [this] { ++signalled; });
    }

    QString start(const std::string& path, bool subDirectories = true)
    {
        return watch.StartWatch(QString::fromStdString(path), subDirectories);
    }
    // Does one step on paths below dir (inside folder), or below other where they start with '/', after
    // making the folders of the first: "write f" appends, "mkdir d", "mv a b", "chmod f", "ln l" to file, "rm
    // p".
    void Do(const std::string& step, const std::string& folder = {})
    {
        std::istringstream words(step);
        std::string verb, a, b;
        words >> verb >> a >> b;
        const auto at = [&](const std::string& path) {
            return path[0] == '/' ? other.path() + path : dir / (folder + path);
        };
        fs::create_directories(fs::path(at(a)).parent_path());
        if (verb == "write")
            std::ofstream(at(a), std::ios::app) << "x";
        else if (verb == "mkdir")
            fs::create_directories(at(a));
        else if (verb == "mv")
            fs::rename(at(a), at(b));
        else if (verb == "chmod")
            chmod(at(a).c_str(), 0600);
        else if (verb == "ln")
            symlink("file", at(a).c_str());
        else if (verb == "rm")
            fs::remove_all(at(a));
    }
    // Does each step and checks that it made a change ('+') or none ('-'); events are queued within the call.
    void Expect(std::initializer_list<std::string> steps, const std::string& folder = {})
    {
        for (const std::string& step : steps) {
            EXPECT_FALSE(watch.TakeChange()) << "before " << folder << step;
            Do(step.substr(1), folder);
            EXPECT_EQ(watch.TakeChange(), step[0] == '+') << folder << step;
        }
    }
    int Watches() const
    {
        return int(
            test::ReadFile("/proc/self/fdinfo/" + std::to_string(watch.WatchHandle())).count("inotify wd:"));
    }
    static int InotifyDescriptors()
    {
        int count = 0;
        std::error_code ignored;
        for (const auto& entry : fs::directory_iterator("/proc/self/fd"))
            count += fs::read_symlink(entry.path(), ignored) == "anon_inode:inotify";
        return count;
    }

    test::TempDir dir, other;
    ChangeWatch watch;
    int signalled = 0;
};

// Directories count through what they hold: one made or removed empty is no change, but is watched once made,
// moved in or renamed; moved out of the tree, nothing of it is watched.
TEST_F(ChangeWatchTest, EveryKindOfChangeCountsAndDirectoriesThroughWhatTheyHold)
{
    ASSERT_EQ(start(dir.path()), QString());
    for (const std::string folder : {"", "sub/", "sub/deeper/"})
        Expect({"+write new", "+write file", "+mv file moved", "+mv moved file", "+chmod file", "+ln link",
                "+rm link", "+rm file"},
               folder);
    Expect({"-mkdir a/b", "+write a/b/file", "+rm a/b/file", "-rm a", "+write filled/below/file",
            "+mv filled renamed", "+write renamed/below/file"});
    Do("write /tree/below/file");
    Expect({"+mv /tree tree", "+write tree/below/file"});
    const int watchesWithTree = Watches();
    Expect({"+mv tree /back"});
    EXPECT_EQ(Watches(), watchesWithTree - 2);
    Expect({"-write /back/below/file"});
    ASSERT_EQ(start(dir.path(), false), QString()); // the root alone
    Expect({"-write sub/file", "-mkdir flat", "-write flat/file", "-mv flat level", "+write file"});
    EXPECT_EQ(Watches(), 1);
}

// The root is watched through a link to it (and its ignored paths too), and a link below it is not followed.
TEST_F(ChangeWatchTest, KelvosOwnFilesUnfinishedCopiesAndLinksBelowTheRootAreNoChange)
{
    Do("mkdir kelvo-data/sets");
    Do("mkdir /linked");
    fs::create_directory_symlink(other / "linked", dir / "sub/link");
    fs::create_directory_symlink(dir.path(), other / "alias");
    watch.SetIgnoredPaths({dir / "kelvo.log", other / "alias/kelvo-data/", ""});
    ASSERT_EQ(start(other / "alias"), QString());
    const std::string partial = "sub/.file.kelvo-partial-0123456789abcdef";
    Expect({"-write /linked/file", "+write /alias/sub/deeper/file", "-write kelvo.log",
            "-write kelvo-data/sets/one", "-mkdir kelvo-data/new", "+write kelvo.log.old",
            "-write " + partial, "-chmod " + partial, "+mv " + partial + " sub/file",
            "+write sub/.file.kelvo-partial-0123"});
}

// A change is signalled through the event loop once until it is taken, and survives a new start.
TEST_F(ChangeWatchTest, EveryStartReplacesTheDescriptorAndKeepsItsChanges)
{
    const int before = InotifyDescriptors();
    ASSERT_EQ(start(dir.path()), QString());
    Do("write sub/file");
    ASSERT_TRUE(test::SpinUntil([&] { return signalled == 1; }));
    Do("write file");
    QCoreApplication::processEvents();
    EXPECT_EQ(signalled, 1) << "a change that is still pending is not signalled again";
    EXPECT_TRUE(watch.TakeChange() && !watch.TakeChange());
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(start(dir.path(), i % 2 == 0), QString());
    EXPECT_EQ(InotifyDescriptors(), before + 1);
    Do("write file"); // still queued on the old descriptor: taken over, and signalled once
    EXPECT_EQ(start(dir.path()), QString());
    EXPECT_EQ(start(dir.path()), QString());
    EXPECT_EQ(signalled, 2);
    EXPECT_TRUE(watch.TakeChange() && !watch.TakeChange());
    Do("write file");
    EXPECT_TRUE(test::SpinUntil([&] { return signalled == 3; }) && watch.TakeChange());

    for (const char* name : {"missing", "file"}) { // a directory that cannot be watched leaves no watch
        ASSERT_EQ(start(dir.path()), QString());
        EXPECT_TRUE(start(dir / name).contains(QString::fromStdString(dir / name)));
        EXPECT_TRUE(watch.WatchHandle() == -1 && InotifyDescriptors() == before);
    }
    EXPECT_FALSE(watch.TakeChange());
}

// A queue overflow is a change, and a directory made while events were lost is watched all the same.
TEST_F(ChangeWatchTest, AnOverflowCountsAndWatchesTheTreeAgain)
{
    int queued = 0;
    std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> queued;
    if (queued <= 0 || queued > 1'000'000)
        GTEST_SKIP() << "queue of " << queued << " events";
    ASSERT_EQ(start(dir.path()), QString());
    for (int i = 0; i <= queued; ++i)
        chmod((dir / (i % 2 ? "file" : "sub/file")).c_str(), i % 4 < 2 ? 0600 : 0644);
    Do("mkdir lost");
    int takes = 0;
    while (watch.TakeChange())
        ASSERT_LT(++takes, 1000);
    EXPECT_GT(takes, 0);
    Expect({"+write lost/file"});
}

// A user namespace of the test's own, with a watch limit of 3, stands in for a system short of watches.
TEST_F(ChangeWatchTest, OutOfWatchesSaysWhyAndKeepsTheWatchesItGot)
{
    constexpr int Skipped = 77;
    for (int i = 0; i < 10; ++i)
        Do("mkdir many/" + std::to_string(i));
    const QByteArray uid = "0 " + QByteArray::number(getuid()) + " 1";
    const QByteArray gid = "0 " + QByteArray::number(getgid()) + " 1";
    const int code = test::RunInChild([&] {
        if (unshare(CLONE_NEWUSER) != 0)
            return Skipped;
        test::WriteFile("/proc/self/setgroups", "deny");
        test::WriteFile("/proc/self/uid_map", uid);
        test::WriteFile("/proc/self/gid_map", gid);
        if (!(std::ofstream("/proc/sys/user/max_inotify_watches") << 3).flush())
            return Skipped;
        // Watching the same two directories again needs room for both watches until the old go.
        if (!start(dir / "sub").isEmpty() || !start(dir / "sub").isEmpty() || Watches() != 2)
            return 1;
        const QString problem = start(dir.path());
        Do("write file");
        const bool told =
            problem.startsWith(u"Only 3 directories of ") && problem.contains(u"fs.inotify.max_user_watches");
        return told && Watches() == 3 && watch.TakeChange() ? 0 : 2;
    });
    if (code == Skipped)
        GTEST_SKIP() << "no user namespace with its own watch limit";
    EXPECT_EQ(code, 0);
}

} // namespace
} // namespace kelvo
