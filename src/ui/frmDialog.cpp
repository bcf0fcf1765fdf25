#include "ui/frmDialog.h"

#include "engine/LogFile.h"
#include "ui/MessageBoxes.h"
#include "ui/PlainText.h"
#include "ui/ProgramIcon.h"
#include "ui/StatisticsFrame.h"
#include "ui/ToolbarCommand.h"
#include "ui/Tray.h"
#include "ui/Twips.h"
#include "ui/WindowFont.h"
#include "ui/frmStatusBar.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QScreen>

namespace kelvo {

using namespace Qt::StringLiterals;

namespace {

constexpr int ClientWidth = 6315;
constexpr int ClientHeight = 3480;
constexpr int ScreenSaverHeightCut = 330;
constexpr int FrameTop = 480;
const std::array<ToolbarCommand, 6> ToolbarButtons{{
    {u"&Edit Sets"_s, u"Configure files to be backed up"_s, u"edit-sets"_s},
    {u"&Settings"_s, u"Display the main configuration screen."_s, u"settings"_s},
    {u"&Run now"_s, u"Re-check files in your currently selected sets"_s, u"run-now"_s},
    {u"&Logfile"_s, u"View log file"_s, u"logfile"_s},
    {u"&Help"_s, u"Help (F1)"_s, u"help"_s},
    {u"E&xit"_s, u"Exit"_s, u"exit"_s},
}};

enum Command { EditSets = 1, Settings, RunNow, Logfile, Help, Exit };

class DesktopLogViewer final : public LogViewer
{
public:
    DesktopLogViewer(QWidget* parent, const std::function<void(const QString&)>& open)
        : m_parent(parent), m_open(open)
    {}
    void openTextFile(const QString& path) override { m_open(path); }
    void showMessage(const QString& text) override { MessageBoxes::Desktop().information(m_parent, text); }

private:
    QWidget* m_parent;
    const std::function<void(const QString&)>& m_open;
};

} // namespace

frmDialog::frmDialog(frmDialogParts parts)
    : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      m_parts(std::move(parts)), m_timer1(60000), m_tmrDialog(50)
{
    setObjectName(u"frmDialog"_s);
    setWindowTitle(u"Kelvo"_s);
    setWindowIcon(ProgramIcon());
    // Over the screen saver the window is a child of a black window; it keeps its own colours.
    QPalette own = QApplication::palette();
    own.setResolveMask(~QPalette::ResolveMask(0)); // every colour its own, none from a parent
    setPalette(own);
    setAutoFillBackground(true);
    setFont(WindowFont(font()));
    buildToolbar();
    buildStatistics();
    setFixedSize(Pixels(ClientWidth), Pixels(ClientHeight) + toolbarExtraHeight());
    buildPopup();
    RunView& view = *this;
    m_controller = std::make_unique<RunController>(
        RunControllerParts{m_parts.configuration, m_parts.store, m_parts.app, m_parts.clock, m_timer1,
                           m_tmrDialog, m_parts.doneWindowSteps, m_parts.notify},
        view);
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    m_timer1.setEnabled(m_parts.app.RunMode != RunModeScreenSaver);
    m_tmrDialog.setEnabled(true);
}

frmDialog::~frmDialog() = default;

bool frmDialog::screenSaverMode() const
{
    return m_parts.app.RunMode == RunModeScreenSaver;
}

void frmDialog::buildToolbar()
{
    m_toolbar = new QToolBar(this);
    m_toolbar->setObjectName(u"Toolbar1"_s);
    m_buttons =
        FillToolbar(*m_toolbar, ToolbarButtons, [this](int command) { Toolbar1_ButtonClick(command); });
    m_toolbar->setGeometry(0, 0, Pixels(ClientWidth),
                           std::max(m_toolbar->sizeHint().height(), Pixels(FrameTop)));
    toolbarButton(Help).setShortcut(QKeySequence::HelpContents);
    toolbarButton(EditSets).setEnabled(bool(m_parts.commands.editSets));
    toolbarButton(Settings).setEnabled(bool(m_parts.commands.settings));
}

// The toolbar's captions under its pictures need a little more than the design's 480 twips; the
// window grows by that much instead of cutting them.
int frmDialog::toolbarExtraHeight() const
{
    return m_toolbar->height() - Pixels(FrameTop);
}

void frmDialog::buildStatistics()
{
    m_frame = new StatisticsFrame(this);
    m_frame->setGeometry(PixelRect(60, FrameTop, 6195, 2955).translated(0, toolbarExtraHeight()));
    // In the frame's place while there is no set: a window of zeros tells a new user nothing.
    m_noSetLabel = new QLabel(NoSetYetText(), this);
    m_noSetLabel->setObjectName(u"NoSetLabel"_s);
    m_noSetLabel->setTextFormat(Qt::PlainText);
    m_noSetLabel->setAlignment(Qt::AlignCenter);
    m_noSetLabel->setWordWrap(true);
    m_noSetLabel->setGeometry(m_frame->geometry());
    m_noSetLabel->hide();
}

// The editor is modal: when it returns, its Done has committed whatever the user added or removed.
QLabel& frmDialog::label(const QString& name) const
{
    return m_frame->label(name);
}

void frmDialog::buildPopup()
{
    m_popup = new QMenu(this);
    m_popup->setObjectName(u"popup"_s);
    const auto add = [this](const QString& name, const QString& caption, auto handler) {
        QAction* action = m_popup->addAction(caption);
        action->setObjectName(name);
        connect(action, &QAction::triggered, this, handler);
        return action;
    };
    QAction* restore = add(u"RestoreKelvo"_s, u"&Restore Kelvo"_s, [this] { RestoreWindow(); });
    m_popup->setDefaultAction(restore);
    add(u"StatusBar"_s, u"Show Status &Bar"_s, [this] { StatusBar_Click(); })->setCheckable(true);
    m_popup->addSeparator()->setObjectName(u"Seperator"_s);
    add(u"ViewLog"_s, u"View &log"_s, [this] { ViewLogFile(); });
    add(u"EditSets"_s, u"&Edit Sets"_s, [this] {
        m_parts.commands.editSets(false);
    })->setEnabled(bool(m_parts.commands.editSets));
    add(u"Settings"_s, u"&Settings"_s, [this] {
        m_parts.commands.settings();
    })->setEnabled(bool(m_parts.commands.settings));
    add(u"RunNow"_s, u"R&un now"_s, [this] { Form_Load(); });
    add(u"RestoreFiles"_s, u"Res&tore..."_s, [this] {
        m_parts.commands.restore();
    })->setEnabled(bool(m_parts.commands.restore));
    add(u"about"_s, u"&About"_s, [this] {
        m_parts.commands.about();
    })->setEnabled(bool(m_parts.commands.about));
    add(u"exit"_s, u"E&xit"_s, [this] { m_parts.exitProgram(); });
}

QAction& frmDialog::menuItem(const QString& name) const
{
    return *m_popup->findChild<QAction*>(name);
}

void frmDialog::Form_Load()
{
    m_controller->Load();
}

void frmDialog::Toolbar1_ButtonClick(int index)
{
    switch (index) {
    case EditSets:
        m_parts.commands.editSets(true);
        break;
    case Settings:
        m_parts.commands.settings();
        break;
    case RunNow:
        Form_Load();
        break;
    case Logfile:
        ViewLogFile();
        break;
    case Help:
        if (m_parts.commands.help)
            m_parts.commands.help(u"standard.html"_s);
        break;
    case Exit:
        if (!screenSaverMode())
            RemoveTrayIcon();
        m_parts.unload();
        break;
    }
}

void frmDialog::ViewLogFile()
{
    DesktopLogViewer viewer(this, m_parts.commands.openTextFile);
    kelvo::ViewLogFile(m_parts.configuration.settings, viewer);
}

void frmDialog::StatusBar_Click()
{
    QAction& item = menuItem(u"StatusBar"_s);
    m_parts.configuration.settings.flShowStatusBar = item.isChecked();
    m_parts.statusBar.StatusBarVisible();
}

void frmDialog::AddTrayIcon()
{
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        return; // no notification area: a minimised window stays on the taskbar
    if (!m_tray) {
        m_tray = new QSystemTrayIcon(this);
        showStatusInTray();
        connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            TrayMouseAction(TrayMouseMessage(reason));
        });
    }
    m_tray->show();
    m_parts.app.TrayIconShown = true;
}

void frmDialog::RemoveTrayIcon()
{
    m_parts.app.TrayIconShown = false;
    if (m_tray)
        m_tray->hide();
}

void frmDialog::RestoreWindow()
{
    showNormal();
    raise();
    activateWindow();
}

void frmDialog::TrayMouseAction(qint16 message)
{
    if (message == 1 && !QApplication::activeModalWidget()) {
        RestoreWindow();
    } else if (message == 2 && (isMinimized() || isHidden())) {
        menuItem(u"StatusBar"_s).setChecked(m_parts.configuration.settings.flShowStatusBar);
        m_popup->popup(QCursor::pos());
    }
}

void frmDialog::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    // Hidden only once the window manager has finished minimising, or it may show the window again.
    if (event->type() == QEvent::WindowStateChange && isMinimized() && m_parts.app.TrayIconShown)
        QMetaObject::invokeMethod(this, &QWidget::hide, Qt::QueuedConnection);
}

void frmDialog::closeEvent(QCloseEvent* event)
{
    event->accept();
    m_parts.unload();
}

void frmDialog::Form_Unload()
{
    hide();
    if (!screenSaverMode())
        RemoveTrayIcon();
    m_controller->RequestStop();
    m_controller->StopWatch();
    m_parts.exitProgram();
}

void frmDialog::keyPressEvent(QKeyEvent* event)
{
    if (screenSaverMode() && m_endsOnInput)
        m_parts.exitProgram();
    else
        QWidget::keyPressEvent(event);
}

void frmDialog::mousePressEvent(QMouseEvent* event)
{
    if (screenSaverMode() && m_endsOnInput)
        m_parts.exitProgram();
    else
        QWidget::mousePressEvent(event);
}

void frmDialog::statisticsChanged(const RunStatistics& statistics)
{
    m_frame->showStatistics(statistics);
    m_parts.statusBar.setPanelText(3, u"Copied : "_s + QString::number(statistics.filesCopied));
    m_parts.statusBar.setPanelText(4, u"Errors : "_s + QString::number(statistics.errors));
}

void frmDialog::currentFileChanged(const QString& name)
{
    m_frame->showCurrentFile(name);
}

void frmDialog::fileProgressChanged(int percent)
{
    m_frame->showFileProgress(percent);
}

void frmDialog::overallProgressChanged(int percent)
{
    m_frame->showOverallProgress(percent);
    m_parts.statusBar.progressBar().setValue(percent);
}

void frmDialog::copyActive(bool active)
{
    toolbarButton(EditSets).setEnabled(!active && m_parts.commands.editSets);
    toolbarButton(RunNow).setEnabled(!active);
}

void frmDialog::errorReported(const QString& line)
{
    m_frame->showLastError(line);
}

void frmDialog::applyScreenSaverLayout()
{
    m_frame->hideTimerLabels();
    m_toolbar->hide();
    setFixedSize(Pixels(ClientWidth), Pixels(ClientHeight - ScreenSaverHeightCut));
    m_frame->move(m_frame->x(), Pixels(60));
}

void frmDialog::setLastRun(const QString& label13)
{
    label(u"Label13"_s).setText(label13);
}

void frmDialog::setLastRunPanel(const QString& panel1)
{
    m_parts.statusBar.setPanelText(1, panel1);
}

void frmDialog::setMinutesToNext(const QString& label17, const QString& panel2)
{
    label(u"Label17"_s).setText(label17);
    m_parts.statusBar.setPanelText(2, panel2);
}

void frmDialog::statusBarVisible()
{
    m_parts.statusBar.StatusBarVisible();
}

void frmDialog::runBusyChanged(bool busy)
{
    if (m_parts.runBusyChanged)
        m_parts.runBusyChanged(busy);
}

void frmDialog::watchProblem(const QString& message)
{
    if (m_tray && m_parts.app.TrayIconShown)
        m_tray->showMessage(u"Kelvo"_s, PlainNotificationText(message), QSystemTrayIcon::Warning);
}

// The window's icon, and the tray's with it, carries the badge while the last run's errors stand.
void frmDialog::statusChanged(const ProgramStatus& status)
{
    const bool errorsChanged = ShowsErrors(status) != ShowsErrors(m_status);
    m_status = status;
    const bool newUser = !status.hasSets && !screenSaverMode();
    m_frame->setVisible(!newUser);
    m_noSetLabel->setVisible(newUser);
    if (errorsChanged)
        setWindowIcon(ShowsErrors(status) ? ErrorProgramIcon() : ProgramIcon());
    if (m_tray)
        showStatusInTray();
}

void frmDialog::showStatusInTray()
{
    m_tray->setToolTip(StatusToolTip(m_status));
    if (m_tray->icon().cacheKey() != windowIcon().cacheKey())
        m_tray->setIcon(windowIcon());
}

QRect frmDialog::mainWindowFrame() const
{
    return geometry();
}

QSize frmDialog::screenSaverArea() const
{
    return parentWidget() ? parentWidget()->size() : size();
}

void frmDialog::moveMainWindow(const QPoint& topLeft)
{
    move(topLeft);
}

} // namespace kelvo
