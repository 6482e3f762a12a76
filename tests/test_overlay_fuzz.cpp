// Randomised frames of every shape: the callback writes only inside the frame and its band.
#include "common/CaptureSettings.h"
#include "overlay/FrameCallback.h"
#include "overlay/OverlayGeometry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
// Fontconfig and the font engines keep their caches until exit; those are not ours.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig\nleak:libfreetype\nleak:libQt6Gui\nleak:libQt6Core\n"
           "leak:libglib\n";
}
#endif

namespace {

constexpr std::size_t kGuard = 64;
constexpr std::uint8_t kGuardByte = 0xE7;

struct Shape {
    std::uint32_t width;
    std::uint32_t height;
    std::uint32_t bytes;
    int placement;
    int flip;
};

// Sizes a device may report, degenerate ones, and byte counts around what the rows need.
Shape RandomShape(std::mt19937& random) {
    auto pick = [&](std::uint32_t low, std::uint32_t high) {
        return std::uniform_int_distribution<std::uint32_t>(low, high)(random);
    };
    Shape s{};
    switch (pick(0, 9)) {
    case 0: s.width = pick(0, 3); s.height = pick(0, 40); break;
    case 1: s.width = pick(1, 40); s.height = pick(0, 3); break;
    case 2: s.width = pick(1, 64); s.height = pick(4, 40); break;
    // Huge sizes whose product overflows 32 bits; only a short buffer goes with them.
    case 3: s.width = pick(60000, 4000000000u); s.height = pick(60000, 4000000000u); break;
    case 4: s.width = pick(1, 8); s.height = pick(100000, 2000000); break;
    // Narrow frames with tall bands, beside and beyond those composed from glyph cells.
    case 5: s.width = pick(1, 40); s.height = pick(240, 6500); break;
    default: s.width = pick(1, 400); s.height = pick(1, 300); break;
    }
    const std::uint64_t pixels = std::uint64_t{s.width} * s.height;
    const std::uint64_t limit = 1u << 18;
    std::uint64_t bytes = 0;
    switch (pixels > limit ? 0 : pick(0, 4)) {
    case 0: bytes = pick(0, 4096); break;                               // compressed
    case 1: bytes = pixels * pick(1, 5) - std::min<std::uint64_t>(pixels, pick(1, 3)); break;
    case 2: bytes = pixels * pick(1, 4) + pick(0, 3 * s.height); break; // padded rows
    default: bytes = pixels * pick(1, 4); break;
    }
    s.bytes = static_cast<std::uint32_t>(std::min(bytes, limit));
    s.placement = static_cast<int>(pick(0, 2));
    s.flip = static_cast<int>(pick(0, 1));
    return s;
}

// Byte ranges of the frame rows the band covers, derived from the rules alone.
std::vector<bool> BandBytes(const Shape& s) {
    std::vector<bool> band(s.bytes, false);
    if (s.placement == 0 || s.width == 0 || s.height == 0) {
        return band;
    }
    const std::int64_t w = s.width;
    const std::int64_t h = s.height;
    const std::int64_t bytesPerPixel =
        static_cast<std::int64_t>(std::uint64_t{s.bytes} / (std::uint64_t{s.width} * s.height));
    if (bytesPerPixel == 0) {
        return band;
    }
    const std::int64_t rows = std::max<std::int64_t>(h / 20, 12);
    std::int64_t offset = h * (s.placement == 1 ? 92 : 3) / 100;
    if (offset + rows > h) {
        offset = h - rows;
    }
    for (std::int64_t y = 0; y < rows; ++y) {
        const std::int64_t row = s.flip == 1 ? h - offset - y : offset + y;
        if (row < 0 || row >= h) {
            continue;
        }
        const std::int64_t begin = row * bytesPerPixel * w;
        const std::int64_t end = begin + bytesPerPixel * w;
        for (std::int64_t i = begin; i < end && i < std::int64_t{s.bytes}; ++i) {
            band[static_cast<std::size_t>(i)] = true;
        }
    }
    return band;
}

TEST(OverlayFuzz, WritesStayInsideTheFrameAndTheBand) {
    std::mt19937 random(0xB815017u);
    int stamped = 0;
    for (int round = 0; round < 600; ++round) {
        const Shape s = RandomShape(random);
        SCOPED_TRACE(testing::Message() << "round " << round << ": " << s.width << "x"
                                        << s.height << " " << s.bytes << " bytes, placement "
                                        << s.placement << " flip " << s.flip);
        captureSettings.capStatus.uiImageWidth = s.width;
        captureSettings.capStatus.uiImageHeight = s.height;
        captureSettings.textPlacement = s.placement;
        captureSettings.flipText = s.flip;
        captureSettings.lastFrameBytes = 0xFFFFFFFFu;

        // The frame alone on the heap, exactly dwBytesUsed long, so that ASan catches any
        // access past it; guard zones around a copy catch writes without it.
        std::vector<std::uint8_t> original(s.bytes);
        for (auto& b : original) {
            b = static_cast<std::uint8_t>(1 + random() % 254);
        }
        std::vector<std::uint8_t> frame = original;
        std::vector<std::uint8_t> guarded(kGuard + s.bytes + kGuard, kGuardByte);
        std::copy(original.begin(), original.end(), guarded.begin() + kGuard);

        VIDEOHDR header{};
        header.lpData = frame.data();
        header.dwBufferLength = s.bytes;
        header.dwBytesUsed = s.bytes;
        FrameCallback(nullptr, &header);
        VIDEOHDR guardedHeader = header;
        guardedHeader.lpData = guarded.data() + kGuard;
        FrameCallback(nullptr, &guardedHeader);

        for (std::size_t i = 0; i < kGuard; ++i) {
            ASSERT_EQ(guarded[i], kGuardByte) << "wrote " << kGuard - i << " bytes before";
            ASSERT_EQ(guarded[kGuard + s.bytes + i], kGuardByte) << "wrote " << i << " past";
        }
        const std::vector<bool> band = BandBytes(s);
        bool changed = false;
        // The two calls may fall in different seconds, so each is checked on its own.
        for (const std::uint8_t* result : {frame.data(), guarded.data() + kGuard}) {
            for (std::size_t i = 0; i < s.bytes; ++i) {
                if (!band[i]) {
                    ASSERT_EQ(result[i], original[i]) << "byte " << i << " outside the band";
                } else {
                    ASSERT_TRUE(result[i] == BlendByte(original[i], false) ||
                                result[i] == BlendByte(original[i], true))
                        << "byte " << i;
                    changed = true;
                }
            }
        }
        stamped += changed;
        EXPECT_EQ(captureSettings.lastFrameBytes, s.placement == 0 ? 0xFFFFFFFFu : s.bytes);
    }
    // The shapes must exercise the blend, not only the early outs.
    EXPECT_GT(stamped, 150);
}

}  // namespace
