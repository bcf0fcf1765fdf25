#include "app/ExitProgram.h"

#include "app/WindowRegistry.h"

#include <gtest/gtest.h>

#include <string>

namespace kelvo {
namespace {

struct Recorder
{
    std::string events;
    int ends = 0;
};

TEST(ExitProgram, NestedCallFromAnUnloadHandlerCompletesTheExitOnce)
{
    Recorder record;
    WindowRegistry windows;
    ExitProgram exitProgram(
        windows, [&] { record.events += "close;"; },
        [&] {
            record.events += "end;";
            ++record.ends;
        });
    const auto saver = windows.Load([&] {
        record.events += "saver;";
        exitProgram();
        record.events += "saver-after;";
    });
    const auto main = windows.Load([&] {
        record.events += "main;";
        exitProgram();
    });
    const auto status = windows.Load([&] { record.events += "status;"; });

    exitProgram();

    EXPECT_EQ(record.events, "close;saver;close;main;close;status;end;saver-after;");
    EXPECT_EQ(record.ends, 1);
    EXPECT_TRUE(exitProgram.ended());
    for (const auto id : {saver, main, status})
        EXPECT_FALSE(windows.IsLoaded(id));

    exitProgram();
    EXPECT_EQ(record.ends, 1) << "a later call finds the program ended";
}

TEST(ExitProgram, EndsWithoutWindowsAndWithoutAFileHook)
{
    int ends = 0;
    WindowRegistry windows;
    ExitProgram exitProgram(windows, {}, [&] { ++ends; });
    exitProgram();
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

    const auto third = windows.Load({});
    EXPECT_TRUE(windows.IsLoaded(third));
    EXPECT_NE(third, first) << "a window loaded again is a new window";
}

} // namespace
} // namespace kelvo
