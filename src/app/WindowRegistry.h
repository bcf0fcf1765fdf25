#pragma once

#include <functional>
#include <vector>

namespace kelvo {

// The program's loaded windows, each with its unload handler, as the shutdown unloads them.
class WindowRegistry final
{
public:
    using WindowId = int;

    WindowId Load(std::function<void()> unloadHandler);
    // Runs the window's unload handler once. The window counts as unloaded before its handler runs,
    // so a handler that ends the program skips it; unloading an unloaded window does nothing.
    void Unload(WindowId id);
    bool IsLoaded(WindowId id) const;
    // Unloads the windows loaded now, one after the other in loading order, skipping any that an
    // earlier handler unloaded.
    void UnloadAll();

private:
    struct Window
    {
        WindowId id;
        std::function<void()> unloadHandler;
    };

    std::vector<Window> m_loaded;
    WindowId m_nextId = 1;
};

} // namespace kelvo
