#pragma once

#include "config/GeneralSettingKeys.h"

#include <QLabel>
#include <QProgressBar>
#include <QWidget>

#include <array>
#include <functional>
#include <optional>

class QScreen;

namespace kelvo {

struct Configuration;

// Where the status-bar window of the given size goes in a screen's work area for the corner code
// StrStatusBarPos names ("TL", "TR", "BL"; "BR" and anything else bottom right), in the screen's
// real coordinates.
QPoint StatusBarPosition(StatusBarCorner corner, const QRect& workArea, const QSize& size);

// The small strip in a corner of the screen that repeats the main window's key figures: last run,
// minutes to the next, files copied, errors and the run's progress. Frameless, never in the taskbar.
class frmStatusBar final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(frmStatusBar)

public:
    // screen: the screen the main window is on, asked at each placement. focusMainWindow: gives the
    // main window the focus back when it is visible and no editor is open.
    frmStatusBar(Configuration& configuration, std::function<QScreen*()> screen,
                 std::function<void()> focusMainWindow);

    // Places the window in the corner of the work area that StrStatusBarPos names.
    void Form_Load();
    // Shows or hides the window by flShowStatusBar and keeps it on top by flStatusBarAOT; places it
    // first when it has not been placed for the corner StrStatusBarPos names now.
    void StatusBarVisible();

    // Panels by index, 1 to 6, as the other windows write them.
    void setPanelText(int index, const QString& text);
    QString panelText(int index) const;
    QProgressBar& progressBar() { return *m_progressBar; }

signals:
    // The close symbol hid the window (flShowStatusBar is now false in memory).
    void closedByUser();

protected:
    void mousePressEvent(QMouseEvent* event) override;

private:
    QLabel& panel(int index) const { return *m_panels.at(std::size_t(index - 1)); }
    void StatusBar1_PanelClick(int index);

    Configuration& m_configuration;
    std::function<QScreen*()> m_screen;
    std::function<void()> m_focusMainWindow;
    std::optional<StatusBarCorner> m_placedCorner;
    std::array<QLabel*, 6> m_panels{};
    QProgressBar* m_progressBar = nullptr;
};

} // namespace kelvo
