#pragma once

#include <QString>

namespace kelvo {

// The program's modes, as its command line names them ("/S", "/C", "/B"); none until it is read.
enum ProgramRunMode { RunModeNone, RunModeScreenSaver, RunModeConfig, RunModeApplication };

// The start-up state that the windows share, owned by the application and handed to whoever needs it.
struct AppState
{
    ProgramRunMode RunMode = RunModeNone;
    QString StartMinimised;   // "MIN" or empty
    QString StartedByWindows; // "WIN" or empty
    int ReRunCounter = 0;     // minutes counted towards the next re-run
    qint16 ScreenSavePasswordOn = 0;
    bool TrayIconShown = false;
};

} // namespace kelvo
