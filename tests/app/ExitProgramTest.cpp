#include "app/ExitProgram.h"

#include "app/WindowRegistry.h"

#include <gtest/gtest.h>

#include <string>

namespace kelvo {
namespace {

TEST(ExitProgram, NestedCallFromAnUnloadHandlerCompletesTheExitOnce)
{
    std::string events;
    WindowRegistry windows;
    ExitProgram exitProgram(
        windows, [&] { events += "close;"; }, [&] { events += "end;"; });
    const auto saver = windows.Load([&] {
        events += "saver;";
        exitProgram();
        events += "saver-after;";
    });
    const auto main = windows.Load([&] {
        events += "main;";
        exitProgram();
    });
    const auto status = windows.Load([&] { events += "status;"; });

    exitProgram();
    exitProgram();
    EXPECT_EQ(events, "close;saver;close;main;close;status;end;saver-after;");
    EXPECT_TRUE(exitProgram.ended());
    for (const auto id : {saver, main, status})
        EXPECT_FALSE(windows.IsLoaded(id));

    int ends = 0;
    ExitProgram withoutWindowsOrFileHook(windows, {}, [&] { ++ends; });
    withoutWindowsOrFileHook();
    EXPECT_EQ(ends, 1);
}

TEST(WindowRegistry, UnloadsEachWindowOnce)
{
    WindowRegistry windows;
    int firstUnloads = 0;
    int secondUnloads = 0;
    WindowRegistry::WindowId second = 0;
    const auto first = windows.Load([&] {
        ++firstUnloads;
        windows.Unload(second);
    });
    second = windows.Load([&] { ++secondUnloads; });

    windows.UnloadAll();
    windows.Unload(first);
    windows.UnloadAll();
    EXPECT_EQ(firstUnloads, 1);
    EXPECT_EQ(secondUnloads, 1);
    EXPECT_NE(windows.Load({}), first) << "a window loaded again is a new window";
}

} // namespace
} // namespace kelvo
