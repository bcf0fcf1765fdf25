#pragma once

#include <QFont>

#include <algorithm>

namespace kelvo {

// The windows' designs in twips fit a small desktop font (8 points); a larger default font would
// overrun their labels, so it is brought down to that size. Qt scales points with the screen.
inline QFont WindowFont(QFont font, double largestPointSize = 8.0)
{
    font.setPointSizeF(std::min(font.pointSizeF(), largestPointSize));
    return font;
}

} // namespace kelvo
