// Band placement and the row blend of the time-stamp overlay.
#include "overlay/OverlayGeometry.h"

#include <algorithm>
#include <cstring>

BandGeometry ComputeBandGeometry(std::uint32_t width, std::uint32_t height,
                                 std::uint32_t bytesUsed, std::int32_t textPlacement,
                                 std::int32_t flipText) {
    BandGeometry band;
    const std::int64_t w = width;
    const std::int64_t h = height;
    // Two truncating divisions rather than one by W * H, which could overflow 32 bits;
    // for unsigned values they give the same quotient. A frame without a size has no pixels.
    if (w > 0 && h > 0) {
        band.bytesPerPixel = (bytesUsed / width) / height;
    }
    band.rowBytes = band.bytesPerPixel * w;
    band.bandRows = std::max<std::int64_t>(h / 20, 12);
    const std::int64_t percent = textPlacement == 1 ? 92 : 3;
    band.bandOffset = h * percent / 100;
    if (band.bandOffset + band.bandRows > h) {
        band.bandOffset = h - band.bandRows;
    }
    band.flip = flipText == 1;
    // Flipped, text row 0 goes to row H - h, one past the mirror of h: with h = 0 that row
    // lies beyond the frame, and the blend skips it.
    band.firstRow = band.flip ? h - band.bandOffset : band.bandOffset;
    return band;
}

// The row blend is built twice on x86-64: for AVX2, whose byte shuffles spread a mask byte
// over a pixel's bytes cheaply, and for the baseline; the loader picks one at start-up.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define BRISOLT_ROW_BLEND_TARGETS __attribute__((target_clones("avx2", "default")))
#else
#define BRISOLT_ROW_BLEND_TARGETS
#endif
// The helpers are inlined into each build of the row blend and so vectorised for its target.
#define BRISOLT_INLINE [[gnu::always_inline]] inline

namespace {

// Pixels blended per block: the block's bytes fit a small stack buffer for every pixel size
// the fast paths take, and its fixed length lets the compiler vectorise the inner loops.
constexpr int kBlockPixels = 32;

// Background only: d becomes 70 * d div 100. 16-bit lanes are wide enough (70 * 255 < 2^16).
BRISOLT_INLINE void BlendBackground(std::uint8_t* bytes, std::int64_t count) {
    constexpr int kBlock = 64;
    std::int64_t i = 0;
    for (; i + kBlock <= count; i += kBlock) {
        std::uint8_t* block = bytes + i;
        for (int k = 0; k < kBlock; ++k) {
            block[k] = static_cast<std::uint8_t>(
                static_cast<std::uint16_t>(block[k] * 70) / std::uint16_t{100});
        }
    }
    for (; i < count; ++i) {
        bytes[i] = BlendByte(bytes[i], false);
    }
}

// Pixels of a fixed size under the mask: the mask byte is spread over the pixel's bytes as
// the glyph term 30 * 255 or 0, then every byte takes (term + 70 * d) div 100.
template <int B>
BRISOLT_INLINE void BlendMaskedFixed(std::uint8_t* row, const std::uint8_t* mask, std::int64_t pixels) {
    std::int64_t x = 0;
    for (; x + kBlockPixels <= pixels; x += kBlockPixels) {
        std::uint8_t sample[kBlockPixels * B];
        for (int k = 0; k < kBlockPixels; ++k) {
            const std::uint8_t s = mask[x + k] != 0 ? 255 : 0;
            for (int b = 0; b < B; ++b) {
                sample[k * B + b] = s;
            }
        }
        std::uint8_t* block = row + x * B;
        for (int j = 0; j < kBlockPixels * B; ++j) {
            block[j] = static_cast<std::uint8_t>(
                static_cast<std::uint16_t>(sample[j] * 30 + block[j] * 70) / std::uint16_t{100});
        }
    }
    for (; x < pixels; ++x) {
        const bool glyph = mask[x] != 0;
        for (int b = 0; b < B; ++b) {
            row[x * B + b] = BlendByte(row[x * B + b], glyph);
        }
    }
}

// Number of mask pixels up to and including the last lit one, scanning back eight at a time.
BRISOLT_INLINE std::int64_t LitPrefix(const std::uint8_t* mask, std::int64_t count) {
    while (count >= 8) {
        std::uint64_t word;
        std::memcpy(&word, mask + count - 8, sizeof word);
        if (word != 0) {
            break;
        }
        count -= 8;
    }
    while (count > 0 && mask[count - 1] == 0) {
        --count;
    }
    return count;
}

// Any other pixel size (a frame whose byte count gives more than 4 bytes per pixel).
BRISOLT_INLINE void BlendMaskedAny(std::uint8_t* row, const std::uint8_t* mask, std::int64_t pixels,
                    std::int64_t bytesPerPixel) {
    for (std::int64_t x = 0; x < pixels; ++x) {
        const bool glyph = mask[x] != 0;
        std::uint8_t* pixel = row + x * bytesPerPixel;
        for (std::int64_t b = 0; b < bytesPerPixel; ++b) {
            pixel[b] = BlendByte(pixel[b], glyph);
        }
    }
}

}  // namespace

BRISOLT_ROW_BLEND_TARGETS
void BlendBandRow(std::uint8_t* row, const std::uint8_t* maskRow, std::int64_t maskWidth,
                  std::int64_t width, std::int64_t bytesPerPixel) {
    if (bytesPerPixel <= 0 || width <= 0) {
        return;
    }
    // The glyphs lie at the start of the row; from the last lit mask pixel on, the row is
    // plain background, which blends without looking at the mask.
    const std::int64_t masked = LitPrefix(maskRow, std::clamp<std::int64_t>(maskWidth, 0, width));
    switch (bytesPerPixel) {
    case 1: BlendMaskedFixed<1>(row, maskRow, masked); break;
    case 2: BlendMaskedFixed<2>(row, maskRow, masked); break;
    case 3: BlendMaskedFixed<3>(row, maskRow, masked); break;
    case 4: BlendMaskedFixed<4>(row, maskRow, masked); break;
    default: BlendMaskedAny(row, maskRow, masked, bytesPerPixel); break;
    }
    BlendBackground(row + masked * bytesPerPixel, (width - masked) * bytesPerPixel);
}
