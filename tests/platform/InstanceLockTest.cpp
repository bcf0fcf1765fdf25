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

TEST(InstanceLock, SecondHolderFailsUntilTheFirstIsKilled)
{
    test::IsolatedHome home;
    const pid_t holder = StartLockHolder();

    InstanceLock second;
    EXPECT_FALSE(second.TryAcquire());

    ASSERT_EQ(::kill(holder, SIGKILL), 0);
    ASSERT_EQ(::waitpid(holder, nullptr, 0), holder);
    EXPECT_TRUE(second.TryAcquire());
    EXPECT_TRUE(second.TryAcquire()) << "asking again while holding it";
}

TEST(InstanceLock, LivesUnderTheRuntimeDirectoryElseTheConfigDirectory)
{
    test::IsolatedHome home;
    EXPECT_EQ(InstanceLock::DefaultPath(), QString::fromStdString(home.dir() / "runtime/kelvo.lock"));

    const QString fallback = QString::fromStdString(home.configDir() + "/kelvo/kelvo.lock");
    {
        test::ScopedEnv noRuntime("XDG_RUNTIME_DIR", "");
        EXPECT_EQ(InstanceLock::DefaultPath(), fallback);
        InstanceLock lock;
        EXPECT_TRUE(lock.TryAcquire()) << "the config directory is created when missing";
    }
    // A runtime directory that cannot hold the file leads to the config directory, not to no lock.
    test::WriteFile(home.dir() / "not-a-directory", "");
    test::ScopedEnv unusable("XDG_RUNTIME_DIR", home.dir() / "not-a-directory");
    const pid_t holder = StartLockHolder();
    EXPECT_TRUE(QFile::exists(fallback));
    InstanceLock second;
    EXPECT_FALSE(second.TryAcquire());
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
}

} // namespace
} // namespace kelvo
