#pragma once

#include <QSize>
#include <QtGlobal>

#include <optional>

namespace kelvo {

// The X11 windows that another program gives the screen saver to draw in. Nothing on a desktop
// that is not X11 (Wayland, the offscreen platform): the screen saver then opens its own window.
std::optional<quintptr> X11RootWindow();
std::optional<QSize> X11WindowSize(quintptr window);

} // namespace kelvo
