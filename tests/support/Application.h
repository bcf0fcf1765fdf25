#pragma once

#include <QCoreApplication>

namespace kelvo::test {

// The one application object of a test program that needs an event loop (QCoreApplication) or windows
// (QApplication, on the platform the environment names: offscreen in CTest). Made on first use and
// kept for the life of the program.
template <typename Application = QCoreApplication> void EnsureApplication()
{
    static int argc = 1;
    static char name[] = "kelvo-test";
    static char* argv[] = {name, nullptr};
    if (!QCoreApplication::instance())
        new Application(argc, argv);
}

} // namespace kelvo::test
