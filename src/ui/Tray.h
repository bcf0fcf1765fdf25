#pragma once

#include <QtGlobal>

namespace kelvo {

// The message numbers that the tray icon reports in the X coordinate of a mouse-move event.
enum TrayMessageNumber : int {
    TrayLeftButtonUp = 514,
    TrayRightButtonUp = 517,
};

// Decodes a tray mouse action from a mouse-move X coordinate: 1 left button released, 2 right button
// released, 0 anything else. coordinatesInTwips: the window's scale is twips, not pixels.
qint16 TrayMouseMessage(float x, bool coordinatesInTwips);

} // namespace kelvo
