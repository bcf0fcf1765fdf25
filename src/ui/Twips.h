#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

namespace kelvo {

// Window geometry of the program is given in twips, 1/1440 inch; the one conversion to the
// device-independent pixels that Qt lays out in (at 200% scale Qt doubles them itself).
inline constexpr int TwipsPerPixel = 15;

constexpr int Pixels(int twips)
{
    return (twips + TwipsPerPixel / 2) / TwipsPerPixel;
}

constexpr int Twips(int pixels)
{
    return pixels * TwipsPerPixel;
}

inline QRect PixelRect(int leftTwips, int topTwips, int widthTwips, int heightTwips)
{
    return {Pixels(leftTwips), Pixels(topTwips), Pixels(widthTwips), Pixels(heightTwips)};
}

} // namespace kelvo
