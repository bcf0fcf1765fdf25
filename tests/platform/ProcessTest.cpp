#include "platform/InstanceLock.h"
#include "platform/ProcessStarter.h"
#include "platform/RunPriority.h"
#include "support/TestSupport.h"

#include <QFile>

#include <gtest/gtest.h>

#include <memory>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace kelvo::test {
namespace {

// A runtime directory that is unset, relative or cannot hold the file sends the lock to the config
// directory (made when missing), never to no lock at all. A holder that dies leaves no mark behind.
TEST(InstanceLock, SecondHolderFailsUntilTheFirstEndsWhereverTheFileLives)
{
    IsolatedHome home;
    WriteFile(home.dir() / "not-a-directory", "");
    const std::string runtimes[] = {home.dir() / "runtime", "", "relative", home.dir() / "not-a-directory"};
    for (const std::string& runtime : runtimes) {
        const ScopedEnv env("XDG_RUNTIME_DIR", runtime);
        const QString file = QString::fromStdString(
            (&runtime == runtimes ? runtime : home.configDir() + "/kelvo") + "/kelvo.lock");
        QFile::remove(file);
        auto first = std::make_unique<InstanceLock>();
        InstanceLock second;
        EXPECT_TRUE(first->TryAcquire() && QFile::exists(file)) << runtime;
        EXPECT_FALSE(second.TryAcquire()) << runtime;
        first.reset();
        EXPECT_TRUE(second.TryAcquire() && second.TryAcquire())
            << runtime << ", asking again while holding it";
    }
    EXPECT_EQ(RunInChild([] {
                  InstanceLock held;
                  if (held.TryAcquire())
                      _exit(0); // ends without letting go, as a killed instance does
                  return 1;
              }),
              0);
    EXPECT_TRUE(InstanceLock().TryAcquire());
}

TEST(ProcessStarter, ReportsAProgramThatCannotStart)
{
    EXPECT_FALSE(ProcessStarter().Start(QStringLiteral("/no/such/alt saver"), {QStringLiteral("/S")}));
}

// The scope lowers its thread and no other; afterwards the I/O class is back, the nice value where the
// kernel allows it. A thread started nicer (kelvo-cli under "nice -n 15") keeps its 15.
TEST(RunPriority, LowersTheCallingThreadAloneAndRestoresWhatTheKernelAllows)
{
    if (StartedAtLowPriority())
        GTEST_SKIP() << "started at a run's low priority already";
    const int mainThread = gettid(), mainIo = ThreadIoPriority(), mainNice = ThreadNice();
    std::thread([&] {
        const int io = ThreadIoPriority(), nice = ThreadNice();
        ASSERT_LT(nice, 10);
        {
            const RunPriority low(true);
            EXPECT_TRUE(AtIdleIoClass());
            EXPECT_EQ(ThreadNice(), 10);
            EXPECT_EQ(ThreadIoPriority(mainThread), mainIo) << "another thread keeps its class";
            EXPECT_EQ(ThreadNice(mainThread), mainNice);
        }
        EXPECT_EQ(ThreadIoPriority(), io);
        EXPECT_TRUE(ThreadNice() == nice || (!RunningAsRoot() && ThreadNice() == 10)) << ThreadNice();
        ASSERT_EQ(setpriority(PRIO_PROCESS, 0, 15), 0);
        {
            const RunPriority nicer(true);
            EXPECT_EQ(ThreadNice(), 15);
        }
        EXPECT_EQ(ThreadNice(), 15);
    }).join();
}

} // namespace
} // namespace kelvo::test
