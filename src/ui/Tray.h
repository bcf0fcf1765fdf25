#pragma once

#include <QSystemTrayIcon>
#include <QtGlobal>

namespace kelvo {

// The tray icon's mouse actions as the main window acts on them: 1 the left button released (a
// click), 2 the right button released (the context menu asked for), 0 anything else.
qint16 TrayMouseMessage(QSystemTrayIcon::ActivationReason reason);

} // namespace kelvo
