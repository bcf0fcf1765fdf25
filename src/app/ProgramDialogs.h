#pragma once

#include "config/AppState.h"
#include "config/Configuration.h"
#include "engine/Clock.h"
#include "platform/AutostartEntry.h"
#include "ui/frmDialog.h"

#include <QPointer>
#include <QString>

#include <functional>
#include <memory>

class QWidget;

namespace kelvo {

class frmAbout;
class frmConfig;
class frmMainConfig;
class frmRestore;
class frmStatusBar;
class MessageBoxes;
class ProcessStarter;
class SettingsStore;

struct ProgramDialogsParts
{
    Configuration& configuration;
    SettingsStore& store;
    AppState& app;
    MessageBoxes& messages;
    ProcessStarter& starter;
    std::function<void()> exitProgram;
    // The status-bar window: shown or hidden by the settings, placed again when its corner changes.
    std::function<frmStatusBar&()> statusBar;
    // The window the dialogs belong to: the main window, or none.
    std::function<QWidget*()> owner;
    // The editor's Ok, or the settings dialog's, stored the sets and settings in memory and in the store.
    std::function<void()> setsCommitted;
};

// The dialogs of the program, each created on first use and then hidden and shown again, and the
// commands of the main window and its tray menu that open them.
class ProgramDialogs final
{
public:
    explicit ProgramDialogs(ProgramDialogsParts parts);
    ProgramDialogs(const ProgramDialogs&) = delete;
    ProgramDialogs& operator=(const ProgramDialogs&) = delete;
    ~ProgramDialogs();

    // The set list editor, created and loaded on first use.
    frmConfig& editor();
    // Each dialog is modal and returns at once (OpenDialog); one that is open already is raised.
    // The editor; refreshFirst loads it from the sets in memory before it shows.
    void EditSets(bool refreshFirst);
    // The general settings dialog, created on first use and shown again with its contents.
    void Settings();
    // The about box, destroyed when it closes.
    void About();
    // The restore window, created on first use, showing the backup of the set named (or of the set it
    // showed last). One that is open keeps what it shows.
    void Restore(const QString& setName);
    void Help(const QString& topic);
    void OpenTextFile(const QString& path);
    MainWindowCommands commands();
    // The window steps of the editor's Done after the older version's settings were imported.
    void ImportDoneWindowSteps();

private:
    void loadConfiguration();
    void statusBarVisible();

    ProgramDialogsParts m_parts;
    std::unique_ptr<frmConfig> m_editor;
    std::unique_ptr<frmMainConfig> m_settings;
    std::unique_ptr<frmRestore> m_restore;
    SystemClock m_clock; // names the files a restore keeps aside
    QPointer<frmAbout> m_about;
    AutostartEntry m_autostart;
};

} // namespace kelvo
