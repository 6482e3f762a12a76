// Frame callback and band blend: which bytes of a frame change, and into what.
#include "common/CaptureSettings.h"
#include "overlay/FrameCallback.h"
#include "overlay/OverlayGeometry.h"
#include "overlay/TimeStampText.h"
#include "platform/text/TextMask.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace {

// Settings and a frame of a given size, restored to the start-up values after each test.
class OverlayTest : public ::testing::Test {
protected:
    void TearDown() override { captureSettings = CaptureSettings{}; }

    static void Configure(UINT width, UINT height, int placement, int flip) {
        captureSettings.capStatus.uiImageWidth = width;
        captureSettings.capStatus.uiImageHeight = height;
        captureSettings.textPlacement = placement;
        captureSettings.flipText = flip;
    }

    // Bytes 1 .. 254 only: both the background and the glyph blend change every such byte.
    static std::vector<std::uint8_t> PatternFrame(std::size_t bytes) {
        std::vector<std::uint8_t> frame(bytes);
        for (std::size_t i = 0; i < bytes; ++i) {
            frame[i] = static_cast<std::uint8_t>(1 + (i * 37 + i / 251) % 254);
        }
        return frame;
    }

    static LRESULT Stamp(std::vector<std::uint8_t>& frame) {
        VIDEOHDR header{};
        header.lpData = frame.data();
        header.dwBufferLength = static_cast<DWORD>(frame.size());
        header.dwBytesUsed = static_cast<DWORD>(frame.size());
        return FrameCallback(nullptr, &header);
    }
};

// Rows [low, high] of rowBytes each, counted from the start of the data.
struct RowSpan {
    std::int64_t low;
    std::int64_t high;
};

struct BandCase {
    const char* name;
    UINT width;
    UINT height;
    std::size_t bytes;
    int placement;
    int flip;
    std::int64_t rowBytes;
    RowSpan rows;
};

const BandCase kBandCases[] = {
    {"rgb24_320x240_upper_flipped", 320, 240, 230400, 2, 1, 960, {222, 233}},
    {"rgb24_320x240_upper", 320, 240, 230400, 2, 0, 960, {7, 18}},
    {"rgb24_320x240_lower_flipped", 320, 240, 230400, 1, 1, 960, {9, 20}},
    {"rgb24_320x240_lower", 320, 240, 230400, 1, 0, 960, {220, 231}},
    {"rgb24_160x120_lower_flipped", 160, 120, 57600, 1, 1, 480, {1, 12}},
    {"rgb24_160x120_lower", 160, 120, 57600, 1, 0, 480, {108, 119}},
    {"rgb24_640x480_lower_flipped", 640, 480, 921600, 1, 1, 1920, {16, 39}},
    {"yuv422_320x240", 320, 240, 153600, 2, 1, 640, {222, 233}},
    {"rgb32_320x240", 320, 240, 307200, 2, 1, 1280, {222, 233}},
    // 1.5 bytes per pixel: one byte per pixel, so only the first 76800 bytes are rows.
    {"yuv420_320x240", 320, 240, 115200, 2, 1, 320, {222, 233}},
    // Rows padded to 964 bytes in the buffer, but addressed 963 apart.
    {"rgb24_321x240_padded", 321, 240, 231360, 2, 1, 963, {222, 233}},
    // Flipped with h = 0: text row 0 would be row H, past the frame; only 11 rows remain.
    {"rgb24_40x20_flipped_h0", 40, 20, 2400, 2, 1, 120, {9, 19}},
    // Lower than the band: h = 5 - 12; unflipped the band covers rows 0..4, flipped 1..4.
    {"rgb24_10x5", 10, 5, 150, 2, 0, 30, {0, 4}},
    {"rgb24_10x5_flipped", 10, 5, 150, 2, 1, 30, {1, 4}},
};

class BandRows : public OverlayTest, public ::testing::WithParamInterface<BandCase> {};

TEST_P(BandRows, ChangesExactlyTheBandAndBlendsEachPixelAlike) {
    const BandCase& c = GetParam();
    Configure(c.width, c.height, c.placement, c.flip);
    const std::vector<std::uint8_t> original = PatternFrame(c.bytes);
    std::vector<std::uint8_t> frame = original;
    Stamp(frame);

    const std::int64_t bandBegin = c.rows.low * c.rowBytes;
    const std::int64_t bandEnd = (c.rows.high + 1) * c.rowBytes;
    const std::int64_t bytesPerPixel = c.rowBytes / c.width;
    std::int64_t changed = 0;
    std::int64_t glyphBytes = 0;
    for (std::int64_t i = 0; i < static_cast<std::int64_t>(c.bytes); ++i) {
        const bool inBand = i >= bandBegin && i < bandEnd;
        if (!inBand) {
            ASSERT_EQ(frame[i], original[i]) << "byte " << i << " outside the band changed";
            continue;
        }
        ++changed;
        const bool glyph = frame[i] == BlendByte(original[i], true);
        ASSERT_TRUE(glyph || frame[i] == BlendByte(original[i], false)) << "byte " << i;
        glyphBytes += glyph;
        // Every byte of a pixel takes the same mask value.
        const std::int64_t pixelStart = i - (i - bandBegin) % c.rowBytes % bytesPerPixel;
        const bool pixelGlyph = frame[pixelStart] == BlendByte(original[pixelStart], true);
        ASSERT_EQ(glyph, pixelGlyph) << "byte " << i << " disagrees with its pixel";
    }
    EXPECT_EQ(changed, (c.rows.high - c.rows.low + 1) * c.rowBytes);
    EXPECT_EQ(captureSettings.lastFrameBytes, c.bytes);
    if (c.height >= 12) {
        EXPECT_GT(glyphBytes, 0) << "no text in the band";
        EXPECT_GT(changed - glyphBytes, 0) << "no background in the band";
    }
}

INSTANTIATE_TEST_SUITE_P(Frames, BandRows, ::testing::ValuesIn(kBandCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(OverlayTest, BandHeightFollowsImageHeight) {
    struct Case {
        UINT height;
        std::int64_t rows;
    };
    for (const Case c : {Case{200, 12}, Case{288, 14}, Case{480, 24}, Case{576, 28},
                         Case{239, 12}, Case{240, 12}, Case{260, 13}}) {
        SCOPED_TRACE(c.height);
        EXPECT_EQ(ComputeBandGeometry(64, c.height, 64 * c.height * 3, 2, 0).bandRows, c.rows);
        // The same count of whole rows changes in a real frame.
        Configure(64, c.height, 2, 0);
        const std::vector<std::uint8_t> original = PatternFrame(64 * 3 * c.height);
        std::vector<std::uint8_t> frame = original;
        Stamp(frame);
        std::int64_t changedRows = 0;
        for (UINT row = 0; row < c.height; ++row) {
            changedRows += frame[row * 192] != original[row * 192];
        }
        EXPECT_EQ(changedRows, c.rows);
    }
}

TEST_F(OverlayTest, GeometryOfWorkedFrames) {
    struct Case {
        UINT width, height, bytes;
        int placement, flip;
        std::int64_t bytesPerPixel, rowBytes, bandOffset, firstRow;
    };
    const Case cases[] = {
        {320, 240, 230400, 1, 1, 3, 960, 220, 20},
        {320, 240, 230400, 2, 0, 3, 960, 7, 7},
        {160, 120, 57600, 1, 0, 3, 480, 108, 108},
        {640, 480, 921600, 1, 1, 3, 1920, 441, 39},
        {320, 240, 115200, 2, 1, 1, 320, 7, 233},
        {320, 240, 20000, 2, 1, 0, 0, 7, 233},
        {320, 240, 76799, 2, 1, 0, 0, 7, 233},
        {320, 240, 76800, 2, 1, 1, 320, 7, 233},
        // W * H overflows 32 bits; the two divisions do not.
        {65536, 65536, 4000000000u, 2, 0, 0, 0, 1966, 1966},
        {0, 240, 230400, 2, 0, 0, 0, 7, 7},
        {320, 0, 230400, 2, 1, 0, 0, -12, 12},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " " << c.bytes);
        const BandGeometry band =
            ComputeBandGeometry(c.width, c.height, c.bytes, c.placement, c.flip);
        EXPECT_EQ(band.bytesPerPixel, c.bytesPerPixel);
        EXPECT_EQ(band.rowBytes, c.rowBytes);
        EXPECT_EQ(band.bandOffset, c.bandOffset);
        EXPECT_EQ(band.firstRow, c.firstRow);
    }
}

TEST(OverlayBlend, ByteValues) {
    struct Case {
        std::uint8_t before;
        bool glyph;
        std::uint8_t after;
    };
    for (const Case c : {Case{200, false, 140}, Case{1, false, 0}, Case{255, false, 178},
                         Case{0, false, 0}, Case{0, true, 76}, Case{100, true, 146},
                         Case{255, true, 255}, Case{200, true, 216}}) {
        EXPECT_EQ(BlendByte(c.before, c.glyph), c.after) << int(c.before) << " " << c.glyph;
    }
    // The blend as a weighted sum in double precision, truncated, for every byte value.
    for (int d = 0; d < 256; ++d) {
        for (int s : {0, 255}) {
            const int expected = static_cast<int>(std::trunc((30.0 * s + 70.0 * d) * 0.01));
            ASSERT_EQ(BlendByte(static_cast<std::uint8_t>(d), s == 255), expected) << d;
        }
    }
}

// The row blend's block-wise paths against the byte blend, for pixel sizes with and without
// a fast path, row lengths that are not whole blocks and masks narrower than the row.
TEST(OverlayBlend, RowMatchesByteBlendForEveryPixelSize) {
    std::mt19937 random(20240611);
    for (std::int64_t bytesPerPixel = 1; bytesPerPixel <= 7; ++bytesPerPixel) {
        for (std::int64_t width : {1, 7, 31, 32, 33, 100, 321}) {
            for (std::int64_t maskWidth : {std::int64_t{0}, width / 2, width}) {
                SCOPED_TRACE(testing::Message() << bytesPerPixel << " " << width << " "
                                                << maskWidth);
                std::vector<std::uint8_t> mask(static_cast<std::size_t>(maskWidth) + 1);
                for (auto& m : mask) {
                    m = random() % 3 == 0;
                }
                std::vector<std::uint8_t> row(static_cast<std::size_t>(width * bytesPerPixel) + 8);
                for (auto& b : row) {
                    b = static_cast<std::uint8_t>(random());
                }
                const std::vector<std::uint8_t> before = row;
                BlendBandRow(row.data(), mask.data(), maskWidth, width, bytesPerPixel);
                for (std::size_t i = 0; i < row.size(); ++i) {
                    const std::int64_t x = static_cast<std::int64_t>(i) / bytesPerPixel;
                    if (x >= width) {
                        ASSERT_EQ(row[i], before[i]) << "wrote past the row at " << i;
                        continue;
                    }
                    const bool glyph = x < maskWidth && mask[x] != 0;
                    ASSERT_EQ(row[i], BlendByte(before[i], glyph)) << "byte " << i;
                }
            }
        }
    }
}

TEST_F(OverlayTest, UniformFrameTakesTwoValuesInTheBand) {
    Configure(320, 240, 2, 1);
    std::vector<std::uint8_t> frame(230400, 200);
    Stamp(frame);
    int darkened = 0;
    int lit = 0;
    for (std::size_t i = 0; i < frame.size(); ++i) {
        const std::size_t row = i / 960;
        if (row < 222 || row > 233) {
            ASSERT_EQ(frame[i], 200) << i;
        } else {
            ASSERT_TRUE(frame[i] == 140 || frame[i] == 216) << i << ": " << int(frame[i]);
            (frame[i] == 140 ? darkened : lit)++;
        }
    }
    EXPECT_GT(darkened, 0);
    EXPECT_GT(lit, 0);
}

// The band holds the rendered line itself: mask row y at frame row R0 - y (flipped) or
// R0 + y, column x at pixel x. The clock is read before and after; a call that straddles a
// second is repeated.
TEST_F(OverlayTest, BandCarriesTheRenderedLineInRowOrder) {
    for (const int flip : {0, 1}) {
        SCOPED_TRACE(flip);
        Configure(320, 240, 2, flip);
        const std::vector<std::uint8_t> original(230400, 100);
        std::vector<std::uint8_t> frame;
        std::vector<std::uint8_t> mask(320 * 12);
        LRESULT result = 0;
        int rendered = 0;
        for (int attempt = 0; attempt < 5; ++attempt) {
            const std::time_t before = std::time(nullptr);
            frame = original;
            result = Stamp(frame);
            if (std::time(nullptr) == before) {
                rendered = RenderTextMask(TimeStampText(before), 320, 12, mask.data());
                break;
            }
        }
        ASSERT_NE(rendered, 0) << "clock kept changing seconds";
        EXPECT_EQ(result, rendered);
        for (int y = 0; y < 12; ++y) {
            const int row = flip == 1 ? 233 - y : 7 + y;
            for (int x = 0; x < 320; ++x) {
                const std::uint8_t expected = mask[y * 320 + x] ? 146 : 70;
                for (int b = 0; b < 3; ++b) {
                    ASSERT_EQ(frame[row * 960 + x * 3 + b], expected)
                        << "text row " << y << " column " << x;
                }
            }
        }
    }
}

TEST_F(OverlayTest, TextOffLeavesFrameAndByteCount) {
    Configure(320, 240, 0, 1);
    captureSettings.lastFrameBytes = 4242;
    const std::vector<std::uint8_t> original = PatternFrame(230400);
    std::vector<std::uint8_t> frame = original;
    EXPECT_EQ(Stamp(frame), 0);
    EXPECT_EQ(frame, original);
    EXPECT_EQ(captureSettings.lastFrameBytes, 4242u);
}

// Frames the band cannot be placed in keep their bytes, but their byte count is recorded
// and the result is still the bottom of the line at that band height.
TEST_F(OverlayTest, FramesWithoutPixelsToStampAreLeftAlone) {
    struct Case {
        const char* name;
        UINT width, height;
        std::size_t bytes;
    };
    // The bottom of the line depends only on the band height (12 rows for all of these).
    std::vector<std::uint8_t> scratch(64 * 12);
    const int bottom = RenderTextMask("00h00m00sMay01,2026UTC", 64, 12, scratch.data());
    ASSERT_GT(bottom, 0);
    for (const Case c : {Case{"compressed", 320, 240, 20000}, Case{"no width", 0, 240, 230400},
                         Case{"no height", 320, 0, 230400}, Case{"no size", 0, 0, 5000},
                         Case{"one byte short of a pixel each", 320, 240, 76799}}) {
        SCOPED_TRACE(c.name);
        Configure(c.width, c.height, 2, 1);
        captureSettings.lastFrameBytes = 1;
        const std::vector<std::uint8_t> original = PatternFrame(c.bytes);
        std::vector<std::uint8_t> frame = original;
        EXPECT_EQ(Stamp(frame), bottom);
        EXPECT_EQ(frame, original);
        EXPECT_EQ(captureSettings.lastFrameBytes, c.bytes);
    }
}

TEST_F(OverlayTest, NullHeaderIsIgnored) {
    Configure(320, 240, 2, 1);
    captureSettings.lastFrameBytes = 77;
    EXPECT_EQ(FrameCallback(nullptr, nullptr), 0);
    EXPECT_EQ(captureSettings.lastFrameBytes, 77u);
}

// Bytes of the flipped 320x240 band (rows 233 down to 222) that differ from the blend of
// `original` under the line `text` drawn whole.
int BandMismatches(const std::vector<std::uint8_t>& frame,
                   const std::vector<std::uint8_t>& original, const std::string& text) {
    std::vector<std::uint8_t> mask(320 * 12);
    RenderTextMaskDirect(text, 320, 12, mask.data());
    int mismatches = 0;
    for (int y = 0; y < 12; ++y) {
        const std::size_t row = static_cast<std::size_t>(233 - y) * 960;
        for (int x = 0; x < 320 * 3; ++x) {
            const bool glyph = mask[y * 320 + x / 3] != 0;
            mismatches += frame[row + x] != BlendByte(original[row + x], glyph);
        }
    }
    return mismatches;
}

// The mask is kept for the frames of a second and composed anew when the second changes;
// each frame is blended from its own bytes alone, whatever the frames before it held.
TEST_F(OverlayTest, EachFrameCarriesTheLineOfItsSecondOverItsOwnPixels) {
    Configure(320, 240, 2, 1);
    const std::time_t start = 1780000000;  // 2026-05-28
    const struct Step {
        std::time_t now;
        std::uint8_t salt;
    } steps[] = {{start, 0}, {start, 91}, {start + 1, 17}, {start + 1, 200},
                 {start + 3600 * 9 + 47, 5}, {start, 33}};
    for (const Step& step : steps) {
        SCOPED_TRACE(testing::Message() << step.now << " salt " << int(step.salt));
        std::vector<std::uint8_t> original = PatternFrame(230400);
        for (std::size_t i = 0; i < original.size(); ++i) {
            original[i] = static_cast<std::uint8_t>(1 + (original[i] + step.salt * (i % 7)) % 254);
        }
        std::vector<std::uint8_t> frame = original;
        VIDEOHDR header{};
        header.lpData = frame.data();
        header.dwBufferLength = static_cast<DWORD>(frame.size());
        header.dwBytesUsed = static_cast<DWORD>(frame.size());
        const LRESULT bottom = StampFrame(&header, step.now);
        EXPECT_EQ(bottom, RenderTextMaskDirect(TimeStampText(step.now), 320, 12, nullptr));
        EXPECT_EQ(BandMismatches(frame, original, TimeStampText(step.now)), 0);
    }
}

// The text is formatted once a second, but a new TZ value shows within the same second.
TEST_F(OverlayTest, ZoneVariableChangeShowsWithinTheSecond) {
    std::optional<std::string> saved;
    if (const char* zone = std::getenv("TZ")) {
        saved = zone;
    }
    Configure(320, 240, 2, 1);
    const std::time_t now = 1780000000;
    const std::vector<std::uint8_t> original = PatternFrame(230400);
    for (const char* zone : {"UTC0", "JST-9", "NZST-12", "UTC0"}) {
        SCOPED_TRACE(zone);
        setenv("TZ", zone, 1);
        std::vector<std::uint8_t> frame = original;
        VIDEOHDR header{};
        header.lpData = frame.data();
        header.dwBufferLength = static_cast<DWORD>(frame.size());
        header.dwBytesUsed = static_cast<DWORD>(frame.size());
        StampFrame(&header, now);
        EXPECT_EQ(BandMismatches(frame, original, TimeStampText(now)), 0);
    }
    if (saved) {
        setenv("TZ", saved->c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}

}  // namespace
