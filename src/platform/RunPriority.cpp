#include "platform/RunPriority.h"

#include <cerrno>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace kelvo {

namespace {

// glibc has no wrapper for these calls nor their constants; the values are the kernel's ABI
// (linux/ioprio.h).
constexpr int IoPrioWhoProcess = 1; // with who 0: the calling thread
constexpr int IoPrioClassShift = 13;
constexpr int IoPrioClassIdle = 3;
constexpr int IdleIoPriority = IoPrioClassIdle << IoPrioClassShift;

constexpr int LowNice = 10;

std::optional<int> CurrentIoPriority()
{
    const long priority = syscall(SYS_ioprio_get, IoPrioWhoProcess, 0);
    if (priority < 0)
        return std::nullopt;
    return static_cast<int>(priority);
}

bool SetIoPriority(int priority)
{
    return syscall(SYS_ioprio_set, IoPrioWhoProcess, 0, priority) == 0;
}

// On Linux PRIO_PROCESS with who 0 names the calling thread, not the whole process.
std::optional<int> CurrentNice()
{
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, 0);
    if (nice == -1 && errno != 0)
        return std::nullopt;
    return nice;
}

bool SetNice(int nice)
{
    return setpriority(PRIO_PROCESS, 0, nice) == 0;
}

} // namespace

RunPriority::RunPriority(bool low)
{
    if (!low)
        return;
    lowerIo();
    lowerCpu();
}

void RunPriority::lowerIo()
{
    const std::optional<int> old = CurrentIoPriority();
    if (old && SetIoPriority(IdleIoPriority))
        m_oldIoPriority = old;
}

// A thread started nicer than 10 (kelvo-cli under nice -n 15) keeps its own value.
void RunPriority::lowerCpu()
{
    const std::optional<int> old = CurrentNice();
    if (old && *old < LowNice && SetNice(LowNice))
        m_oldNice = old;
}

// An ordinary user may not lower a nice value again (RLIMIT_NICE is usually 0): the kernel refuses
// with EACCES and the thread stays at 10. That is harmless: nice weighs only while the processor is
// contended, and a run at full speed comes while the user is away.
RunPriority::~RunPriority()
{
    if (m_oldIoPriority)
        SetIoPriority(*m_oldIoPriority);
    if (m_oldNice)
        SetNice(*m_oldNice);
}

} // namespace kelvo
