// The four driver dialogs of the capture window: source, format, display and compression.
#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "avi/VideoEncoder.h"
#include "device/SourceRequest.h"
#include "picture/CaptureFormat.h"

class QWidget;

namespace capwin {

// Object names by which the dialogs and their choices can be found.
inline constexpr const char* kVideoSourceDialog = "videoSourceDialog";
inline constexpr const char* kVideoFormatDialog = "videoFormatDialog";
inline constexpr const char* kVideoDisplayDialog = "videoDisplayDialog";
inline constexpr const char* kVideoCompressionDialog = "videoCompressionDialog";

// Video source. For a V4L2 device its controls, applied as they are moved (the device is
// opened once, off this thread, and never waited for longer than deviceWait); for the test
// pattern the picture to show. True when accepted (pattern then holds the choice).
bool RunVideoSourceDialog(QWidget* parent, device::DeviceKind kind, const std::string& devicePath,
                          device::TestPattern* pattern, std::chrono::milliseconds deviceWait);

struct FormatChoice {
    int width = 0;
    int height = 0;
    picture::PixelLayout layout = picture::PixelLayout::Rgb24;
};

// Video format: frame size and the layout frames reach the callback in. MJPEG, offered only
// when the device sends it, has the device send MJPEG; the frames are decoded to 24-bit RGB
// for the callback. True when accepted.
bool RunVideoFormatDialog(QWidget* parent, const std::vector<std::pair<int, int>>& sizes,
                          bool offersMjpeg, FormatChoice* choice);

// Video display: whether the preview is scaled to the window. True when accepted.
bool RunVideoDisplayDialog(QWidget* parent, bool* scale);

struct CompressionChoice {
    avi::Compression compression = avi::Compression::None;
    int crf = 23;  // H.264 constant quality: 0 lossless to 51, lower is better
};

// Video compression of the single-frame files: the compressions whose encoder lookup
// finds in this FFmpeg, and the quality of H.264. layout is the format dialog's choice; for
// MJPEG a note says that the frames are decoded and compressed again. True when accepted.
bool RunVideoCompressionDialog(QWidget* parent, picture::PixelLayout layout,
                               CompressionChoice* choice, const avi::EncoderLookup& lookup);

}  // namespace capwin
