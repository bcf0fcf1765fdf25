#include "ui/Tray.h"

#include "ui/Twips.h"

#include <cmath>

namespace kelvo {

qint16 TrayMouseMessage(float x, bool coordinatesInTwips)
{
    const double pixels = coordinatesInTwips ? double(x) / TwipsPerPixel : double(x);
    const long message = std::lrint(pixels);
    if (message == TrayLeftButtonUp)
        return 1;
    if (message == TrayRightButtonUp)
        return 2;
    return 0;
}

} // namespace kelvo
