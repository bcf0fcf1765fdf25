#pragma once

#include <QIcon>

namespace kelvo {

// The program's icon in every size its pictures come in: windows, the tray and the about box.
inline QIcon ProgramIcon()
{
    QIcon icon;
    for (int size : {16, 32, 48, 64, 128})
        icon.addFile(QStringLiteral(":/kelvo/icons/kelvo-%1.png").arg(size), QSize(size, size));
    return icon;
}

} // namespace kelvo
