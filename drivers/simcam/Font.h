// A 5x7 bitmap font for the text drawn into the frames.
#pragma once

#include <cstdint>

namespace simcam {

inline constexpr int kGlyphWidth = 5;
inline constexpr int kGlyphHeight = 7;

// Seven rows of the glyph of `c`, bit 4 being the leftmost pixel. Lower
// case draws as upper case; unknown characters as '?'.
const uint8_t* Glyph(char c);

}  // namespace simcam
