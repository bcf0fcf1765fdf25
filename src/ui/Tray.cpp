#include "ui/Tray.h"

#include "ui/ProgramIcon.h"

#include <QPainter>
#include <QPixmap>

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

namespace {

// A red disc with a white rim, a little over half the icon wide, so it reads at 16 pixels too.
QPixmap WithBadge(QPixmap pixmap)
{
    const qreal side = pixmap.width() / pixmap.devicePixelRatio();
    const qreal diameter = side * 0.56;
    const qreal rim = std::max<qreal>(1.0, side / 16.0);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::white, rim));
    painter.setBrush(QColor(0xd0, 0x10, 0x10));
    painter.drawEllipse(QRectF(side - diameter - rim / 2, side - diameter - rim / 2, diameter, diameter));
    return pixmap;
}

} // namespace

QIcon ErrorProgramIcon()
{
    const QIcon plain = ProgramIcon();
    QIcon icon;
    for (const QSize& size : plain.availableSizes())
        icon.addPixmap(WithBadge(plain.pixmap(size)));
    return icon;
}

} // namespace kelvo
