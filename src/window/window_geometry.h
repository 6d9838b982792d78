#pragma once

#include <QtGlobal>

namespace corvanel {

// The layout is given in twips (1/1440 inch): 15 twips are one pixel at
// 96 dpi, and the pixel count grows with the screen's logical DPI.
inline constexpr int kTwipsPerInch = 1440;

inline int twipsToPixels(int twips, int logicalDpi)
{
    return qRound(double(twips) * logicalDpi / kTwipsPerInch);
}

// The client area of the window, in twips: the panel the operator sees.
inline constexpr int kClientWidthTwips = 4950;
inline constexpr int kClientHeightTwips = 1950;

} // namespace corvanel
