#pragma once

#include <QString>

namespace kelvo {

inline const QString RunModeScreenSaver = QStringLiteral("SS");
inline const QString RunModeConfig = QStringLiteral("CONFIG");
inline const QString RunModeApplication = QStringLiteral("APP");

// The start-up state that the windows share, owned by the application and handed to whoever needs it.
struct AppState
{
    QString RunMode;          // "SS", "CONFIG", "APP"; empty until the command line is read
    QString StartMinimised;   // "MIN" or empty
    QString StartedByWindows; // "WIN" or empty
    int ReRunCounter = 0;     // minutes counted towards the next re-run
    qint16 ScreenSavePasswordOn = 0;
    bool TrayIconShown = false;
};

} // namespace kelvo
