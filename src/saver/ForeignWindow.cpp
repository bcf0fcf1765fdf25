#include "saver/ForeignWindow.h"

#include <QGuiApplication>
#include <QtGui/qguiapplication_platform.h>

#include <cstdlib>
#include <xcb/xcb.h>

namespace kelvo {

namespace {

xcb_connection_t* X11Connection()
{
    const auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

} // namespace

std::optional<quintptr> X11RootWindow()
{
    xcb_connection_t* connection = X11Connection();
    if (!connection)
        return std::nullopt;
    const xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    if (!screens.rem)
        return std::nullopt;
    return screens.data->root;
}

std::optional<QSize> X11WindowSize(quintptr window)
{
    xcb_connection_t* connection = X11Connection();
    if (!connection)
        return std::nullopt;
    xcb_get_geometry_reply_t* reply =
        xcb_get_geometry_reply(connection, xcb_get_geometry(connection, xcb_drawable_t(window)), nullptr);
    if (!reply)
        return std::nullopt; // no such window (any more)
    const QSize size(reply->width, reply->height);
    std::free(reply);
    return size;
}

} // namespace kelvo
