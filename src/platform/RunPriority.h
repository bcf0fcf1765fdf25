#pragma once

#include <optional>

namespace kelvo {

// While a backup run goes on beside the user's work, the thread that runs it yields the disk and the
// processor to everything else: the idle I/O class (it reads and writes only when no other program
// does) and a nice of 10. Both act on the calling thread alone; threads it starts meanwhile inherit
// them. A kernel or container that refuses either call leaves that priority as it was and the run
// goes on unchanged.
class RunPriority final
{
public:
    // Lowers the calling thread when low is true; otherwise touches nothing.
    explicit RunPriority(bool low);
    // Puts the I/O class back; the nice value only where the kernel allows it to be lowered again.
    ~RunPriority();
    RunPriority(const RunPriority&) = delete;
    RunPriority& operator=(const RunPriority&) = delete;

private:
    void lowerIo();
    void lowerCpu();

    std::optional<int> m_oldIoPriority; // set only once the idle class was taken
    std::optional<int> m_oldNice;       // set only once the nice value was raised
};

} // namespace kelvo
