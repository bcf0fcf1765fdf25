#include "schedule/Bounce.h"

namespace kelvo {

QPoint Bounce(MovementState& state, const QRect& window, const QSize& area)
{
    if (window.left() + window.width() > area.width() && state.movingRight) {
        state.movingRight = false;
        state.horizontalStep = qint16(-state.baseStep);
    }
    if (window.left() < 0 && !state.movingRight) {
        state.movingRight = true;
        state.horizontalStep = state.baseStep;
    }
    if (window.top() + window.height() > area.height() && state.movingDown) {
        state.movingDown = false;
        state.verticalStep = qint16(-state.baseStep);
    }
    if (window.top() < 0 && !state.movingDown) {
        state.movingDown = true;
        state.verticalStep = state.baseStep;
    }
    return window.topLeft() + QPoint(state.horizontalStep, state.verticalStep);
}

} // namespace kelvo
