#include "platform/RunPriority.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

namespace kelvo {
namespace {

using test::AtIdleIoClass;
using test::InThreadOfItsOwn;
using test::ThreadIoPriority;
using test::ThreadNice;

// Whether this process may lower a nice value again: root with CAP_SYS_NICE, or a raised RLIMIT_NICE.
bool MayLowerNice()
{
    bool may = false;
    InThreadOfItsOwn([&] {
        const int nice = ThreadNice();
        may = setpriority(PRIO_PROCESS, 0, nice + 1) == 0 && setpriority(PRIO_PROCESS, 0, nice) == 0;
    });
    return may;
}

// The scope lowers its thread and no other; afterwards the I/O class is back, and the nice value too
// where the kernel allows it.
TEST(RunPriority, LowersTheCallingThreadAloneAndRestoresWhatTheKernelAllows)
{
    if (test::StartedAtLowPriority())
        GTEST_SKIP() << "started at a run's low priority already";
    const int mainThread = gettid();
    const int mainIo = ThreadIoPriority();
    const int mainNice = ThreadNice();
    const bool mayRestoreNice = MayLowerNice();
    InThreadOfItsOwn([&] {
        const int io = ThreadIoPriority();
        const int nice = ThreadNice();
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
    });
    EXPECT_EQ(ThreadIoPriority(), mainIo);
    EXPECT_EQ(ThreadNice(), mainNice);
}

// An ordinary user cannot lower the nice value again; the thread stays at 10 and its I/O class comes
// back all the same.
TEST(RunPriority, AnOrdinaryUserStaysAtNiceTenAndGetsTheIoClassBack)
{
    if (test::StartedAtLowPriority())
        GTEST_SKIP() << "started at a run's low priority already";
    if (!test::RunningAsRoot())
        GTEST_SKIP() << "the test above covers an ordinary user";
    const int status = test::RunInChild([] {
        constexpr uid_t Nobody = 65534;
        if (setgid(Nobody) != 0 || setuid(Nobody) != 0)
            return 77;
        bool kept = false;
        InThreadOfItsOwn([&] {
            const int io = ThreadIoPriority();
            {
                const RunPriority low(true);
            }
            kept = ThreadIoPriority() == io && ThreadNice() == 10;
        });
        return kept ? 0 : 1;
    });
    if (status == 77)
        GTEST_SKIP() << "cannot become nobody here";
    EXPECT_EQ(status, 0);
}

// kelvo-cli started under "nice -n 15" keeps its 15, as root too.
TEST(RunPriority, NeverMakesANicerThreadFaster)
{
    InThreadOfItsOwn([] {
        ASSERT_EQ(setpriority(PRIO_PROCESS, 0, 15), 0);
        {
            const RunPriority low(true);
            EXPECT_EQ(ThreadNice(), 15);
        }
        EXPECT_EQ(ThreadNice(), 15);
    });
}

} // namespace
} // namespace kelvo
