// The frame callback: renders the time-stamp line and blends it into a band of the frame.
#include "overlay/FrameCallback.h"

#include "common/CaptureSettings.h"
#include "overlay/OverlayGeometry.h"
#include "overlay/TimeStampText.h"
#include "platform/text/TextMask.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <ctime>
#include <memory>
#include <vector>

namespace {

// A mask larger than this (a frame far wider than any device delivers) is rendered only
// for its first columns; the band right of them is darkened as plain background.
constexpr std::int64_t kMaxMaskBytes = std::int64_t{32} << 20;

// Masks up to this size are drawn into memory that is kept for the next frame, so that a
// preview at 30 frames a second does not map and fault in a fresh buffer each time; the
// renderer rewrites every byte, so nothing of one frame's mask reaches the next.
constexpr std::size_t kKeptMaskBytes = std::size_t{4} << 20;

// Memory for a mask of `bytes` bytes: the kept buffer, or for larger masks a buffer of
// this call alone (held in `once`).
std::uint8_t* MaskMemory(std::size_t bytes, std::unique_ptr<std::uint8_t[]>& once) {
    if (bytes > kKeptMaskBytes) {
        once = std::make_unique_for_overwrite<std::uint8_t[]>(bytes);
        return once.get();
    }
    thread_local std::vector<std::uint8_t> kept;
    if (kept.size() < bytes) {
        kept.resize(bytes);
    }
    return kept.data();
}

}  // namespace

LRESULT FrameCallback(HWND /*window*/, VIDEOHDR* header) {
    const std::int32_t placement = captureSettings.textPlacement;
    if (placement == 0 || header == nullptr) {
        return 0;
    }
    const DWORD bytesUsed = header->dwBytesUsed;
    captureSettings.lastFrameBytes = bytesUsed;

    const UINT width = captureSettings.capStatus.uiImageWidth;
    const UINT height = captureSettings.capStatus.uiImageHeight;
    const BandGeometry band =
        ComputeBandGeometry(width, height, bytesUsed, placement, captureSettings.flipText);
    const std::string text = TimeStampText(std::time(nullptr));
    // F is at most (2^32 - 1) / 20, so it fits an int.
    const int bandRows = static_cast<int>(band.bandRows);

    // A compressed frame (fewer bytes than pixels) or one without a size keeps its bytes;
    // the text is only measured for the result.
    if (band.bytesPerPixel == 0 || header->lpData == nullptr) {
        return RenderTextMask(text, 0, bandRows, nullptr);
    }

    const std::int64_t maskWidth =
        std::min<std::int64_t>({std::int64_t{width}, kMaxMaskBytes / band.bandRows, INT_MAX});
    // Drawn afresh for every frame.
    std::unique_ptr<std::uint8_t[]> largeMask;
    std::uint8_t* const mask =
        MaskMemory(static_cast<std::size_t>(maskWidth * band.bandRows), largeMask);
    const int bottom = RenderTextMask(text, static_cast<int>(maskWidth), bandRows, mask);

    // Text rows whose frame row lies outside the frame (a flipped band with h = 0, a frame
    // lower than the band) are left out; the band is not moved.
    const std::int64_t frameRows = height;
    const std::int64_t firstText =
        std::max<std::int64_t>(0, band.flip ? band.firstRow - frameRows + 1 : -band.firstRow);
    const std::int64_t endText = std::min<std::int64_t>(
        band.bandRows, band.flip ? band.firstRow + 1 : frameRows - band.firstRow);
    for (std::int64_t y = firstText; y < endText; ++y) {
        const std::int64_t offset = BandFrameRow(band, y) * band.rowBytes;
        if (offset < 0 || offset + band.rowBytes > std::int64_t{bytesUsed}) {
            continue;
        }
        BlendBandRow(header->lpData + offset, mask + y * maskWidth, maskWidth, width,
                     band.bytesPerPixel);
    }
    return bottom;
}
