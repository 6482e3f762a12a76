// The frame callback: renders the time-stamp line and blends it into a band of the frame.
#include "overlay/FrameCallback.h"

#include "common/CaptureSettings.h"
#include "overlay/OverlayGeometry.h"
#include "overlay/TimeStampText.h"
#include "platform/text/TextMaskCache.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <ctime>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// A mask larger than this (a frame far wider than any device delivers) is rendered only
// for its first columns; the band right of them is darkened as plain background.
constexpr std::int64_t kMaxMaskBytes = std::int64_t{32} << 20;

// The text of the second `now`, formatted once for all the frames of that second. Formatting
// re-reads the zone setting, which costs a file-system call, more than the whole blend of a
// small frame; a change of the TZ variable shows at once, a change of /etc/localtime from
// the next second on.
const std::string& TextOfSecond(std::time_t now) {
    struct Formatted {
        bool valid = false;
        std::time_t now = 0;
        bool hasZone = false;
        std::string zone;
        std::string text;
    };
    thread_local Formatted last;
    const char* zone = std::getenv("TZ");
    const bool sameZone =
        (zone != nullptr) == last.hasZone && (zone == nullptr || last.zone == zone);
    if (!last.valid || now != last.now || !sameZone) {
        last.text = TimeStampText(now);
        last.now = now;
        last.hasZone = zone != nullptr;
        last.zone = zone != nullptr ? zone : "";
        last.valid = true;
    }
    return last.text;
}

}  // namespace

LRESULT FrameCallback(HWND /*window*/, VIDEOHDR* header) {
    return StampFrame(header, std::time(nullptr));
}

LRESULT StampFrame(VIDEOHDR* header, std::time_t now) {
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
    const std::string& text = TextOfSecond(now);
    // The mask of the line is composed from glyph cells when the text or the band changes,
    // and kept for the other frames of the second. It is drawn from the text alone, so
    // nothing of one frame's pixels reaches the next.
    thread_local TextMaskCache masks;
    // F is at most (2^32 - 1) / 20, so it fits an int.
    const int bandRows = static_cast<int>(band.bandRows);

    // A compressed frame (fewer bytes than pixels) or one without a size keeps its bytes;
    // the text is only measured for the result.
    if (band.bytesPerPixel == 0 || header->lpData == nullptr) {
        return masks.Render(text, 0, bandRows).bottom;
    }

    const std::int64_t maskWidth =
        std::min<std::int64_t>({std::int64_t{width}, kMaxMaskBytes / band.bandRows, INT_MAX});
    const TextMaskCache::Mask composed =
        masks.Render(text, static_cast<int>(maskWidth), bandRows);
    const std::uint8_t* const mask = composed.bits;
    const int bottom = composed.bottom;
    // Without a mask the band is darkened as plain background.
    const std::int64_t litWidth = mask != nullptr ? maskWidth : 0;

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
        BlendBandRow(header->lpData + offset, mask + y * litWidth, litWidth, width,
                     band.bytesPerPixel);
    }
    return bottom;
}
