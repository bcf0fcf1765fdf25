#include "app/ExitProgram.h"

#include "app/WindowRegistry.h"

namespace kelvo {

ExitProgram::ExitProgram(WindowRegistry& windows, std::function<void()> closeCopyFiles,
                         std::function<void()> end)
    : m_windows(windows), m_closeCopyFiles(std::move(closeCopyFiles)), m_end(std::move(end))
{}

void ExitProgram::operator()()
{
    if (m_ended)
        return;
    if (m_closeCopyFiles)
        m_closeCopyFiles();
    m_windows.UnloadAll();
    if (m_ended)
        return;
    m_ended = true;
    m_end();
}

} // namespace kelvo
