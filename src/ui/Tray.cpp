#include "ui/Tray.h"

namespace kelvo {

qint16 TrayMouseMessage(QSystemTrayIcon::ActivationReason reason)
{
    switch (reason) {
    case QSystemTrayIcon::Trigger:
        return 1;
    case QSystemTrayIcon::Context:
        return 2;
    default:
        return 0;
    }
}

} // namespace kelvo
