#pragma once

#include "app/ExitProgram.h"
#include "app/ProgramDialogs.h"
#include "app/Startup.h"
#include "app/WindowRegistry.h"
#include "config/AppState.h"
#include "config/Configuration.h"
#include "engine/Clock.h"
#include "platform/InstanceLock.h"
#include "platform/ProcessStarter.h"
#include "platform/SettingsStore.h"

#include <QString>

#include <memory>

namespace kelvo {

class DesktopNotifications;
class frmDialog;
class frmMain;
class frmStatusBar;
class IdleBackup;
class ScreenSaverWatch;
class SleepInhibitor;
class TerminationSignals;
class WakeWatch;

// The program as the desktop starts it: the run modes, its windows and how they are wired to the
// store, the engine and the timers, and the one way out.
class DesktopProgram final
{
public:
    DesktopProgram();
    DesktopProgram(const DesktopProgram&) = delete;
    DesktopProgram& operator=(const DesktopProgram&) = delete;
    ~DesktopProgram();

    // Starts the mode the command line asks for and runs the event loop until ExitProgram; returns
    // the program's exit code.
    int run(const QString& commandLine);

    frmDialog* mainWindow() const { return m_dialog.get(); }
    frmStatusBar* statusBar() const { return m_statusBar.get(); }
    frmMain* screenSaver() const { return m_saver.get(); }
    AppState& state() { return m_state; }

private:
    int showSetListEditor();
    int startApplication(const ScreenSaverTarget& target);
    void showMainWindow();
    void showScreenSaver(const ScreenSaverTarget& target);
    void createWindows();
    frmStatusBar& statusBarWindow();
    void listenForIdle();
    void listenForWake();
    void runBusyChanged(bool busy);

    AppState m_state;
    Configuration m_configuration;
    SettingsStore m_store;
    InstanceLock m_lock;
    ProcessStarter m_starter;
    SystemClock m_clock;
    WindowRegistry m_windows;
    ExitProgram m_exitProgram;
    // The screen saver comes before the main window, which it holds as a child in "SS": the main
    // window goes first.
    std::unique_ptr<frmMain> m_saver;
    std::unique_ptr<frmStatusBar> m_statusBar;
    std::unique_ptr<frmDialog> m_dialog;
    std::unique_ptr<TerminationSignals> m_signals;
    std::unique_ptr<SleepInhibitor> m_inhibitor;
    std::unique_ptr<DesktopNotifications> m_notifications;
    std::unique_ptr<ScreenSaverWatch> m_screenSaverWatch;
    std::unique_ptr<IdleBackup> m_idleBackup;
    std::unique_ptr<WakeWatch> m_wakeWatch;
    ProgramDialogs m_dialogs; // last: its dialogs belong to the main window
};

} // namespace kelvo
