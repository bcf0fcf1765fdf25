#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

namespace kelvo {

// The size of a window whose contents sit in a scroll area, in a room of the given size (the
// screen's work area less the window's frame): the contents' own size when they fit; else as much of
// the room as they need, with space for the scroll bar that each cut direction then shows.
QSize FittedWindowSize(const QSize& contents, const QSize& room, int scrollBarExtent);

// Where a window's frame goes so that as much of it as possible lies in the work area: it moves only
// as far as needed, and its top left corner stays in the area.
QPoint PlacedInside(const QRect& frame, const QRect& workArea);

} // namespace kelvo
