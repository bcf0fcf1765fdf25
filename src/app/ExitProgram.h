#pragma once

#include <functional>

namespace kelvo {

class WindowRegistry;

// The one way out of the program: closes the copy's open files, unloads every window and ends.
// Unload handlers may call it again; that nested call finishes the exit, and the outer call then
// returns without touching anything. There is no password step: the desktop's own screen locker
// guards the session.
class ExitProgram final
{
public:
    // closeCopyFiles: closing a file that is not open must do nothing. end: ends the program
    // (the event loop's exit in the program; tests record it).
    ExitProgram(WindowRegistry& windows, std::function<void()> closeCopyFiles, std::function<void()> end);

    void operator()();
    bool ended() const { return m_ended; }

private:
    WindowRegistry& m_windows;
    std::function<void()> m_closeCopyFiles;
    std::function<void()> m_end;
    bool m_ended = false;
};

} // namespace kelvo
