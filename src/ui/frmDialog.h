#pragma once

#include "schedule/RepeatingTimer.h"
#include "schedule/RunController.h"
#include "schedule/RunView.h"

#include <QLabel>
#include <QMenu>
#include <QPointer>
#include <QProgressBar>
#include <QSystemTrayIcon>
#include <QToolBar>
#include <QWidget>

#include <functional>
#include <memory>

namespace kelvo {

class frmStatusBar;
class StatisticsFrame;
class SettingsStore;

// The windows that the main window's commands open; the set list editor, the general settings
// dialog and the about box fill them. A command whose window is not given is disabled.
struct MainWindowCommands
{
    std::function<void(bool refreshFirst)> editSets; // the toolbar refreshes the editor first
    std::function<void()> settings;
    std::function<void()> about;
    // Opens a help topic ("standard.html"); the program's default opens the page in the browser.
    std::function<void(const QString& topic)> help;
    // Opens the log file with the desktop's handler for text files.
    std::function<void(const QString& path)> openTextFile;
    // The restore window, showing the set it showed last.
    std::function<void()> restore;
};

struct frmDialogParts
{
    Configuration& configuration;
    SettingsStore& store;
    AppState& app;
    const Clock& clock;
    frmStatusBar& statusBar;
    std::function<void()> exitProgram;     // ExitProgram
    std::function<void()> unload;          // unloads this window (its handler is Form_Unload)
    std::function<void()> doneWindowSteps; // for the commit of an older version's import
    MainWindowCommands commands;
    std::function<void(bool busy)> runBusyChanged; // a run starts or ends
    NotifyFunction notify;                         // the desktop's notifications, see RunNotices
};

// The main window: the run's statistics and progress, the last and next run, the toolbar and the
// tray icon with its menu. Its logic lives in the RunController it owns; this is the display.
class frmDialog final : public QWidget, private RunView
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(frmDialog)

public:
    explicit frmDialog(frmDialogParts parts);
    ~frmDialog() override;

    // The load procedure: prepares and requests a run of all sets.
    void Form_Load();
    // Removes the tray icon (outside the screen saver), stops the watch and ends the program.
    void Form_Unload();
    void AddTrayIcon();
    void RemoveTrayIcon();
    void RestoreWindow();
    // Inside a window another screen saver owns, input is that saver's: it never ends the program here.
    void setEndsOnInput(bool endsOnInput) { m_endsOnInput = endsOnInput; }
    // The tray icon's mouse actions, decoded (1 left click, 2 right click).
    void TrayMouseAction(qint16 message);

    RunController& controller() { return *m_controller; }
    const RepeatingTimer& timer1() const { return m_timer1; }
    const RepeatingTimer& tmrDialog() const { return m_tmrDialog; }
    QMenu& popup() { return *m_popup; }
    QAction& toolbarButton(int index) const { return *m_buttons.at(std::size_t(index - 1)); }
    QAction& menuItem(const QString& name) const;
    QSystemTrayIcon* trayIcon() const { return m_tray; }
    // The window's label by its name ("Label12").
    QLabel& label(const QString& name) const;
    // Tells a new user how to begin while no backup set exists; hidden otherwise.
    QLabel& noSetLabel() const { return *m_noSetLabel; }

protected:
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    void statisticsChanged(const RunStatistics& statistics) override;
    void currentFileChanged(const QString& name) override;
    void fileProgressChanged(int percent) override;
    void overallProgressChanged(int percent) override;
    void copyActive(bool active) override;
    void errorReported(const QString& line) override;
    void applyScreenSaverLayout() override;
    void setLastRun(const QString& label13) override;
    void setLastRunPanel(const QString& panel1) override;
    void setMinutesToNext(const QString& label17, const QString& panel2) override;
    void statusBarVisible() override;
    void runBusyChanged(bool busy) override;
    void watchProblem(const QString& message) override;
    void statusChanged(const ProgramStatus& status) override;
    QRect mainWindowFrame() const override;
    QSize screenSaverArea() const override;
    void moveMainWindow(const QPoint& topLeft) override;

    void buildStatistics();
    void showStatusInTray();
    int toolbarExtraHeight() const;
    void buildToolbar();
    void buildPopup();
    void Toolbar1_ButtonClick(int index);
    void StatusBar_Click();
    void ViewLogFile();
    bool screenSaverMode() const;

    frmDialogParts m_parts;
    QtRepeatingTimer m_timer1;
    QtRepeatingTimer m_tmrDialog;
    std::unique_ptr<RunController> m_controller;
    QToolBar* m_toolbar = nullptr;
    std::vector<QAction*> m_buttons;
    StatisticsFrame* m_frame = nullptr;
    QLabel* m_noSetLabel = nullptr;
    ProgramStatus m_status;
    QMenu* m_popup = nullptr;
    QSystemTrayIcon* m_tray = nullptr;
    bool m_endsOnInput = true;
};

} // namespace kelvo
