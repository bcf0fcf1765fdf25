#include "ui/ScreenFit.h"

#include <algorithm>

namespace kelvo {

QSize FittedWindowSize(const QSize& contents, const QSize& room, int scrollBarExtent)
{
    // A scroll bar in one direction takes room from the other, which may then need its own.
    bool tall = contents.height() > room.height();
    const bool wide = contents.width() + (tall ? scrollBarExtent : 0) > room.width();
    tall = tall || (wide && contents.height() + scrollBarExtent > room.height());
    QSize size = contents;
    if (tall)
        size.rwidth() += scrollBarExtent;
    if (wide)
        size.rheight() += scrollBarExtent;
    return size.boundedTo(room);
}

namespace {

int PlacedInside(int start, int length, int areaStart, int areaLength)
{
    return std::max(areaStart, std::min(start, areaStart + areaLength - length));
}

} // namespace

QPoint PlacedInside(const QRect& frame, const QRect& workArea)
{
    return {PlacedInside(frame.left(), frame.width(), workArea.left(), workArea.width()),
            PlacedInside(frame.top(), frame.height(), workArea.top(), workArea.height())};
}

} // namespace kelvo
