#include "platform/InstanceLock.h"
#include "platform/ProcessStarter.h"
#include "platform/RunPriority.h"
#include "support/TestSupport.h"

#include <QFile>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace kelvo::test {
namespace {

// A child process that takes the lock, says so through a pipe, and waits to be killed.
pid_t StartLockHolder()
{
    int ready[2];
    EXPECT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        InstanceLock lock;
        (void)!::write(ready[1], lock.TryAcquire() ? "1" : "0", 1);
        for (;;)
            ::pause();
    }
    char held = 0;
    EXPECT_EQ(::read(ready[0], &held, 1), 1);
    ::close(ready[0]);
    ::close(ready[1]);
    EXPECT_EQ(held, '1');
    return child;
}

// A runtime directory that is unset, relative or cannot hold the file sends the lock to the config
// directory (made when missing), never to no lock at all.
TEST(InstanceLock, SecondHolderFailsUntilTheFirstIsKilledWhereverTheFileLives)
{
    IsolatedHome home;
    WriteFile(home.dir() / "not-a-directory", "");
    const std::string runtimes[] = {home.dir() / "runtime", "", "relative", home.dir() / "not-a-directory"};
    for (const std::string& runtime : runtimes) {
        const ScopedEnv env("XDG_RUNTIME_DIR", runtime);
        const QString file = QString::fromStdString(
            (&runtime == runtimes ? runtime : home.configDir() + "/kelvo") + "/kelvo.lock");
        QFile::remove(file);
        const pid_t holder = StartLockHolder();
        EXPECT_TRUE(QFile::exists(file)) << runtime;
        InstanceLock second;
        EXPECT_FALSE(second.TryAcquire()) << runtime;
        ASSERT_EQ(::kill(holder, SIGKILL), 0);
        ASSERT_EQ(::waitpid(holder, nullptr, 0), holder);
        EXPECT_TRUE(second.TryAcquire() && second.TryAcquire())
            << runtime << ", asking again while holding it";
    }
}

TEST(ProcessStarter, StartsAProgramWhosePathHasBlanks)
{
    TempDir dir;
    const std::string program = dir / "alt saver", output = dir / "arguments";
    WriteFile(program, "#!/bin/sh\nprintf '%s|' \"$@\" > \"$0.tmp\" && mv \"$0.tmp\" \"$0.out\"\n");
    std::filesystem::permissions(program, std::filesystem::perms::owner_all);
    ProcessStarter starter;
    ASSERT_TRUE(starter.Start(QString::fromStdString(program), {QStringLiteral("/S")}));
    for (int i = 0; i < 1000 && !QFile::exists(QString::fromStdString(program + ".out")); ++i)
        QThread::msleep(10);
    EXPECT_EQ(ReadFile(program + ".out"), QByteArray("/S|"));
    EXPECT_FALSE(starter.Start(QString::fromStdString(dir / "missing"), {QStringLiteral("/S")}));
}

// Whether this process may lower a nice value again: root with CAP_SYS_NICE, or a raised RLIMIT_NICE.
bool MayLowerNice()
{
    bool may = false;
    std::thread([&] {
        const int nice = ThreadNice();
        may = setpriority(PRIO_PROCESS, 0, nice + 1) == 0 && setpriority(PRIO_PROCESS, 0, nice) == 0;
    }).join();
    return may;
}

// The scope lowers its thread and no other; afterwards the I/O class is back, and the nice value too
// where the kernel allows it: an ordinary user stays at 10 (checked as "nobody" where the test is root).
// A thread started nicer (kelvo-cli under "nice -n 15") keeps its 15.
TEST(RunPriority, LowersTheCallingThreadAloneAndRestoresWhatTheKernelAllows)
{
    if (StartedAtLowPriority())
        GTEST_SKIP() << "started at a run's low priority already";
    const int mainThread = gettid(), mainIo = ThreadIoPriority(), mainNice = ThreadNice();
    const bool mayRestoreNice = MayLowerNice();
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
        EXPECT_EQ(ThreadNice(), mayRestoreNice ? nice : 10);
        ASSERT_EQ(setpriority(PRIO_PROCESS, 0, 15), 0);
        {
            const RunPriority nicer(true);
            EXPECT_EQ(ThreadNice(), 15);
        }
        EXPECT_EQ(ThreadNice(), 15);
    }).join();
    EXPECT_EQ(ThreadIoPriority(), mainIo);
    EXPECT_EQ(ThreadNice(), mainNice);
    if (!RunningAsRoot())
        return;
    const int asNobody = RunInChild([] {
        bool kept = setgid(65534) == 0 && setuid(65534) == 0;
        std::thread([&] {
            const int io = ThreadIoPriority();
            (void)RunPriority(true);
            kept = kept && ThreadIoPriority() == io && ThreadNice() == 10;
        }).join();
        return kept ? 0 : 1;
    });
    EXPECT_EQ(asNobody, 0);
}

} // namespace
} // namespace kelvo::test
