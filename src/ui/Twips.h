#pragma once

namespace kelvo {

// Window geometry of the program is given in twips; the one conversion factor to pixels.
inline constexpr int TwipsPerPixel = 15;

} // namespace kelvo
