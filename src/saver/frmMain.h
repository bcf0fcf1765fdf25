#pragma once

#include <QPointF>
#include <QTimer>
#include <QWidget>

#include <functional>

namespace kelvo {

// The screen saver's rule for pointer movement: the first position only is recorded (the desktop
// reports one when a window opens under the pointer), and a later move of at least the tolerance on
// either axis since the previous event ends the screen saver. The tolerance is 5 twips, less than a
// pixel, so a move of one pixel is enough; a pointer resting at (0, 0) counts as not yet seen.
class MovementRule final
{
public:
    // True when this move ends the screen saver; otherwise the position is recorded.
    bool EndsScreenSaver(const QPointF& position);

private:
    QPointF m_last; // LastMouseX, LastMouseY
};

// The screen saver's window: borderless, black, over the whole primary screen, with the pointer
// hidden. Any key, click or real pointer movement on it ends the program. It draws nothing itself;
// the main window shows the backup's progress on it.
class frmMain final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(frmMain)

public:
    explicit frmMain(std::function<void()> exitProgram);

    // Fills the primary screen and hides the pointer.
    void showScreenSaver();
    // Draws inside the window that an xscreensaver-style saver gave, following its size. That saver
    // owns input and ends the program; false when the window cannot be used (not X11, gone).
    bool showInWindow(quintptr window);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void followGivenWindow();

    std::function<void()> m_exitProgram;
    bool m_endsOnInput = true;
    quintptr m_givenWindow = 0;
    QTimer m_sizeCheck;
    MovementRule m_movement;
};

} // namespace kelvo
