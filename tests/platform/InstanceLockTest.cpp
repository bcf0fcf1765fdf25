#include "platform/InstanceLock.h"

#include "support/TestSupport.h"

#include <QFile>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace kelvo {
namespace {

// A child process that takes the lock, says so through a pipe, and waits to be killed.
pid_t StartLockHolder()
{
    int ready[2];
    EXPECT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(ready[0]);
        InstanceLock lock;
        const char held = lock.TryAcquire() ? '1' : '0';
        (void)!::write(ready[1], &held, 1);
        for (;;)
            ::pause();
    }
    ::close(ready[1]);
    char held = 0;
    EXPECT_EQ(::read(ready[0], &held, 1), 1);
    ::close(ready[0]);
    EXPECT_EQ(held, '1');
    return child;
}

// A runtime directory that is unset, relative or cannot hold the file sends the lock to the config
// directory (made when missing), never to no lock at all.
TEST(InstanceLock, SecondHolderFailsUntilTheFirstIsKilledWhereverTheFileLives)
{
    test::IsolatedHome home;
    test::WriteFile(home.dir() / "not-a-directory", "");
    const std::string runtimes[] = {home.dir() / "runtime", "", "relative", home.dir() / "not-a-directory"};
    for (const std::string& runtime : runtimes) {
        SCOPED_TRACE(runtime);
        const test::ScopedEnv env("XDG_RUNTIME_DIR", runtime);
        const QString file = &runtime == runtimes
                                 ? QString::fromStdString(runtime + "/kelvo.lock")
                                 : QString::fromStdString(home.configDir() + "/kelvo/kelvo.lock");
        QFile::remove(file);
        const pid_t holder = StartLockHolder();
        EXPECT_TRUE(QFile::exists(file));
        InstanceLock second;
        EXPECT_FALSE(second.TryAcquire());
        ASSERT_EQ(::kill(holder, SIGKILL), 0);
        ASSERT_EQ(::waitpid(holder, nullptr, 0), holder);
        EXPECT_TRUE(second.TryAcquire());
        EXPECT_TRUE(second.TryAcquire()) << "asking again while holding it";
    }
}

} // namespace
} // namespace kelvo
