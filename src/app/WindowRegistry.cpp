#include "app/WindowRegistry.h"

#include <algorithm>

namespace kelvo {

WindowRegistry::WindowId WindowRegistry::Load(std::function<void()> unloadHandler)
{
    m_loaded.push_back(Window{m_nextId, std::move(unloadHandler)});
    return m_nextId++;
}

void WindowRegistry::Unload(WindowId id)
{
    const auto window = std::find_if(m_loaded.begin(), m_loaded.end(),
                                     [id](const Window& loaded) { return loaded.id == id; });
    if (window == m_loaded.end())
        return;
    const std::function<void()> handler = std::move(window->unloadHandler);
    m_loaded.erase(window);
    if (handler)
        handler();
}

bool WindowRegistry::IsLoaded(WindowId id) const
{
    return std::any_of(m_loaded.begin(), m_loaded.end(),
                       [id](const Window& loaded) { return loaded.id == id; });
}

void WindowRegistry::UnloadAll()
{
    std::vector<WindowId> ids;
    for (const Window& window : m_loaded)
        ids.push_back(window.id);
    for (const WindowId id : ids)
        Unload(id);
}

} // namespace kelvo
