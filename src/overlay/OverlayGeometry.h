// Where the time-stamp band lies in a frame, and the byte blend that darkens it and lights glyphs.
#pragma once

#include <cstdint>

// Placement of the band in one frame. All values are 64-bit so that no product of the
// frame's 32-bit width and height can overflow.
struct BandGeometry {
    std::int64_t bytesPerPixel = 0;  // B: (bytes div W) div H; 0 for compressed frames
    std::int64_t rowBytes = 0;       // S = B * W, not aligned up
    std::int64_t bandRows = 12;      // F: H div 20, at least 12
    std::int64_t bandOffset = 0;     // h: H * P div 100, pulled up so the band fits
    std::int64_t firstRow = 0;       // R0: frame row that takes text row 0
    bool flip = false;               // text rows run upward from R0
};

// Band of a frame of width x height pixels holding bytesUsed bytes, for textPlacement 1
// (band at 92 % of the height) or 2 (at 3 %). Width or height 0 gives bytesPerPixel 0.
BandGeometry ComputeBandGeometry(std::uint32_t width, std::uint32_t height,
                                 std::uint32_t bytesUsed, std::int32_t textPlacement,
                                 std::int32_t flipText);

// Frame row that takes text row y (0 .. bandRows - 1). It may lie outside the frame.
inline std::int64_t BandFrameRow(const BandGeometry& band, std::int64_t y) {
    return band.flip ? band.firstRow - y : band.firstRow + y;
}

// One byte of the band: d becomes (30 * s + 70 * d) div 100 with s = 255 under a glyph and 0
// elsewhere.
constexpr std::uint8_t BlendByte(std::uint8_t d, bool glyph) {
    return static_cast<std::uint8_t>((30u * (glyph ? 255u : 0u) + 70u * d) / 100u);
}

// Blends one frame row of `width` pixels of `bytesPerPixel` bytes each. maskRow holds one
// 0/1 byte per pixel for the first maskWidth pixels; pixels beyond count as mask 0.
void BlendBandRow(std::uint8_t* row, const std::uint8_t* maskRow, std::int64_t maskWidth,
                  std::int64_t width, std::int64_t bytesPerPixel);
