// Renders one line of text into a one-bit mask for the time-stamp band.
#pragma once

#include <QFont>

#include <cstdint>
#include <string_view>

// Draws text in a fixed-pitch font of medium weight at a character height of `height`
// pixels into a width x height mask, one byte per pixel, 1 where a glyph covers the pixel
// and 0 elsewhere: left-aligned at column 0, centred vertically, cut at the right edge.
// The glyphs are rasterised without grey levels. Returns the row just below the drawn text
// (its bottom, measured from the top of the mask). With no mask or a width below 1 the
// text is only measured.
//
// Composed from glyph cells that this thread renders once per band height (TextMaskCache).
int RenderTextMask(std::string_view text, int width, int height, std::uint8_t* mask);

// The same mask drawn as one glyph run of the whole line, with nothing kept between calls:
// the rendering that the cells must reproduce bit for bit.
int RenderTextMaskDirect(std::string_view text, int width, int height, std::uint8_t* mask);

// The font both renderers draw with for a character height of `pixelHeight` pixels.
QFont StampFont(int pixelHeight);
