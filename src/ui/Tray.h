#pragma once

#include <QIcon>
#include <QSystemTrayIcon>
#include <QtGlobal>

namespace kelvo {

// The tray icon's mouse actions as the main window acts on them: 1 the left button released (a
// click), 2 the right button released (the context menu asked for), 0 anything else.
qint16 TrayMouseMessage(QSystemTrayIcon::ActivationReason reason);

// The program's icon with a red badge in its lower right corner, drawn at each size the icon comes
// in so that none is a blurred scaling of another: the last run counted errors.
QIcon ErrorProgramIcon();

} // namespace kelvo
