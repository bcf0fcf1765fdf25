#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>
#include <QtGlobal>

namespace kelvo {

// The screen saver's movement of the main window across the screen-saver window: the base step and
// the two directions, reset by every load of the main window (moving right and down).
struct MovementState
{
    qint16 baseStep = 10;
    bool movingRight = true;
    qint16 horizontalStep = 10;
    bool movingDown = true;
    qint16 verticalStep = 10;
};

// One animation step: window is the main window's frame inside an area of the given size. The
// direction turns once the window has passed an edge, as the window moves past it by at most a step.
QPoint Bounce(MovementState& state, const QRect& window, const QSize& area);

} // namespace kelvo
