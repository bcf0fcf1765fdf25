#include "app/DesktopProgram.h"

#include "app/Startup.h"
#include "app/TerminationSignals.h"
#include "platform/Failure.h"
#include "saver/ForeignWindow.h"
#include "saver/frmMain.h"
#include "session/DesktopNotifications.h"
#include "session/IdleBackup.h"
#include "session/ScreenSaverWatch.h"
#include "session/SleepInhibitor.h"
#include "session/WakeWatch.h"
#include "ui/MessageBoxes.h"
#include "ui/frmDialog.h"
#include "ui/frmStatusBar.h"

#include <QApplication>
#include <QDBusConnection>
#include <QScreen>

namespace kelvo {

using namespace Qt::StringLiterals;

DesktopProgram::DesktopProgram()
    : m_exitProgram(m_windows, {}, [] { QCoreApplication::exit(0); }),
      m_dialogs({m_configuration, m_store, m_state, MessageBoxes::Desktop(), m_starter,
                 [this] { m_exitProgram(); }, [this]() -> frmStatusBar& { return statusBarWindow(); },
                 [this]() -> QWidget* { return m_dialog.get(); },
                 [this] {
                     if (m_dialog)
                         m_dialog->controller().SetListChanged();
                 }})
{}

DesktopProgram::~DesktopProgram() = default;

int DesktopProgram::run(const QString& commandLine)
{
    switch (Main(commandLine, m_state).action) {
    case StartAction::ShowSetListEditor:
        return showSetListEditor();
    case StartAction::StartApplication:
        return startApplication(ScreenSaverTargetOf(commandLine, qgetenv("XSCREENSAVER_WINDOW")));
    case StartAction::ChangePassword: // the desktop's screen locker owns the password
    case StartAction::EndAtOnce:
        break;
    }
    return 0;
}

// The editor's Ok and Cancel end the program in this mode, as the older version's import does.
int DesktopProgram::showSetListEditor()
{
    m_configuration.sets = BackupSets(1);
    m_dialogs.editor();
    if (m_exitProgram.ended())
        return 0; // the older version's settings were imported and committed
    m_dialogs.EditSets(false);
    return QApplication::exec();
}

int DesktopProgram::startApplication(const ScreenSaverTarget& target)
{
    if (!CheckPreviousInstance(m_lock))
        return 0;
    m_signals = std::make_unique<TerminationSignals>([this] { m_exitProgram(); });
    m_inhibitor = std::make_unique<SleepInhibitor>(QDBusConnection::systemBus());
    m_notifications = std::make_unique<DesktopNotifications>(QDBusConnection::sessionBus());
    createWindows();
    if (m_state.RunMode == RunModeScreenSaver) {
        showScreenSaver(target);
        m_dialog->setParent(m_saver.get());
        m_dialog->show();
        m_dialog->Form_Load();
        if (!m_exitProgram.ended()) {
            m_dialog->move((m_saver->width() - m_dialog->width()) / 2,
                           (m_saver->height() - m_dialog->height()) / 2);
            StartAlternativeScreenSaver(m_configuration.settings, m_starter);
        }
    } else {
        showMainWindow();
        listenForIdle();
        listenForWake();
    }
    if (m_exitProgram.ended())
        return 0;
    return QApplication::exec();
}

// Minimised ("/M", "/W"), the window is never shown in its normal state: a window manager takes a
// minimise that comes before the window is mapped as how to map it, but may miss one that comes
// just after. Whether it goes to the tray is known only once the load has read the settings.
void DesktopProgram::showMainWindow()
{
    const bool minimised = m_state.StartMinimised == u"MIN"_s;
    if (!minimised)
        m_dialog->show();
    m_dialog->Form_Load();
    if (m_configuration.settings.flSysTray)
        m_dialog->AddTrayIcon();
    if (minimised && !m_state.TrayIconShown)
        m_dialog->showMinimized();
}

// In the window an xscreensaver-style saver gives, when there is one that can be used; else full screen.
void DesktopProgram::showScreenSaver(const ScreenSaverTarget& target)
{
    if (target.kind != ScreenSaverTarget::Kind::OwnWindow) {
        const std::optional<quintptr> window =
            target.kind == ScreenSaverTarget::Kind::RootWindow ? X11RootWindow() : target.window;
        if (window && m_saver->showInWindow(*window)) {
            m_dialog->setEndsOnInput(false);
            return;
        }
        Warn(QStringLiteral("Kelvo: the screen saver's window cannot be drawn in; showing Kelvo's own."));
    }
    m_saver->showScreenSaver();
}

// The windowed program backs up every set when the session's screen saver starts, if asked to.
void DesktopProgram::listenForIdle()
{
    m_screenSaverWatch = std::make_unique<ScreenSaverWatch>(QDBusConnection::sessionBus());
    RunController& controller = m_dialog->controller();
    m_idleBackup = std::make_unique<IdleBackup>(
        *m_screenSaverWatch,
        IdleBackupParts{m_configuration.settings,
                        [&controller] { return controller.runBusy() || controller.state().RunPending; },
                        [&controller] { controller.LoadWhileAway(); },
                        [&controller](const QString& line) { controller.NoteInLog(line); }});
    m_idleBackup->CheckAvailable();
}

// The countdown stands still while the machine sleeps; logind says at once when it has woken.
void DesktopProgram::listenForWake()
{
    m_wakeWatch = std::make_unique<WakeWatch>(QDBusConnection::systemBus());
    RunController& controller = m_dialog->controller();
    QObject::connect(m_wakeWatch.get(), &WakeWatch::woke, m_wakeWatch.get(),
                     [&controller] { controller.Woke(); });
}

// The machine does not suspend in the middle of a backup; the setting may also have been switched on
// since the start, which is when an idle trigger that cannot work is said.
void DesktopProgram::runBusyChanged(bool busy)
{
    if (busy) {
        m_inhibitor->hold();
        if (m_idleBackup)
            m_idleBackup->CheckAvailable();
    } else {
        m_inhibitor->release();
    }
}

// Made on first use, hidden: the settings dialog places it even where it is never shown ("CONFIG").
frmStatusBar& DesktopProgram::statusBarWindow()
{
    if (!m_statusBar) {
        m_statusBar = std::make_unique<frmStatusBar>(
            m_configuration,
            [this] { return m_dialog ? m_dialog->screen() : QGuiApplication::primaryScreen(); },
            [this] {
                if (m_dialog && m_dialog->isVisible() && !QApplication::activeModalWidget())
                    m_dialog->activateWindow();
            });
    }
    return *m_statusBar;
}

void DesktopProgram::createWindows()
{
    if (m_state.RunMode == RunModeScreenSaver) {
        m_saver = std::make_unique<frmMain>([this] { m_exitProgram(); });
        m_windows.Load([this] {
            m_saver->hide();
            m_exitProgram();
        });
    }
    statusBarWindow();
    m_windows.Load([this] { m_statusBar->hide(); });
    const auto dialogId = std::make_shared<WindowRegistry::WindowId>(0);
    MainWindowCommands commands = m_dialogs.commands();
    m_dialog = std::make_unique<frmDialog>(frmDialogParts{
        m_configuration, m_store, m_state, m_clock, *m_statusBar, [this] { m_exitProgram(); },
        [this, dialogId] { m_windows.Unload(*dialogId); }, [this] { m_dialogs.ImportDoneWindowSteps(); },
        commands, [this](bool busy) { runBusyChanged(busy); },
        [this](const QString& summary, const QString& body) { m_notifications->notify(summary, body); }});
    *dialogId = m_windows.Load([this] { m_dialog->Form_Unload(); });
}

} // namespace kelvo
