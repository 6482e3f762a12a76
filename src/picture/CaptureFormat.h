// Frame layouts handed to the frame callback, and conversions between them and FFmpeg frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <QImage>

#include "av/AvHandles.h"

namespace picture {

// The layouts of the format dialog and of captured images. The RGB layouts are DIBs: rows
// padded to four bytes, bottom row first. YUY2 rows run top to bottom as YUV DIBs do. An image
// in the MJPEG layout is the compressed picture as the device sent it; as a format choice,
// MJPEG means the device sends MJPEG, which reaches the callback decoded (CallbackLayout).
enum class PixelLayout { Rgb24, Rgb32, Yuy2, Mjpeg };

// The layout in which frames of a format choice reach the frame callback: a camera's MJPEG
// pictures are decoded to the default DIB layout, since the time stamp is blended into pixels
// and a compressed picture has none.
PixelLayout CallbackLayout(PixelLayout chosen);

const char* LayoutName(PixelLayout layout);

// Bytes of one row in the layout (0 for MJPEG, which has no rows).
int RowBytes(PixelLayout layout, int width);
// Bits per pixel as a bitmap header states them.
int BitsPerPixel(PixelLayout layout);

// One frame in a callback layout. bytes may be larger than used.
struct CapturedImage {
    std::vector<std::uint8_t> bytes;
    std::size_t used = 0;
    int width = 0;
    int height = 0;
    PixelLayout layout = PixelLayout::Rgb24;

    bool empty() const { return used == 0; }
};

// A cached scaler for one conversion at a time.
class Scaler {
public:
    // Converts src into dst (both allocated, dst with its size and format set). The colour
    // range of each side is that of its format (the yuvj formats are full range) or of its
    // color_range; the context is made again only when a size, format or range changes.
    bool convert(const AVFrame* src, AVFrame* dst);

    // What a context converts: sizes, swscale's pixel formats and whether each side is
    // full range.
    struct Conversion {
        int srcWidth = 0, srcHeight = 0, dstWidth = 0, dstHeight = 0;
        AVPixelFormat srcFormat = AV_PIX_FMT_NONE, dstFormat = AV_PIX_FMT_NONE;
        bool srcFullRange = false, dstFullRange = false;
        bool operator==(const Conversion&) const = default;
    };

private:
    av::SwsPtr ctx_;
    Conversion made_;
};

// The conversion swscale is to make for a frame pair: a yuvj format is given as its plain
// counterpart at full range, the way swscale wants it (it warns about the yuvj ones).
Scaler::Conversion ConversionFor(const AVFrame* src, const AVFrame* dst);

// Fills out with the decoded frame in the layout at width x height, scaling a frame of
// another size. False for the MJPEG layout: a decoded picture is not made into JPEG here.
bool FrameToImage(const AVFrame* frame, PixelLayout layout, int width, int height,
                  Scaler& scaler, CapturedImage* out);

// A top-down frame that shows the image: a view into its bytes for the raw layouts (valid
// while the image lives and is not resized), a decoded picture for MJPEG. Null on failure.
av::FramePtr ImageAsFrame(const CapturedImage& image);

// The image as a QImage for painting, or a null QImage when it cannot be decoded.
QImage ImageToQImage(const CapturedImage& image, Scaler& scaler);

// The image converted to a fresh frame of the given pixel format (same size), or null.
av::FramePtr ImageToFormat(const CapturedImage& image, AVPixelFormat format, Scaler& scaler);

}  // namespace picture
