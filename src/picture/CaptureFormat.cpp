// Frame layouts handed to the frame callback, and conversions between them and FFmpeg frames.
#include "picture/CaptureFormat.h"

#include <cstring>

#include "av/CaptureLog.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
}

namespace picture {

const char* LayoutName(PixelLayout layout) {
    switch (layout) {
    case PixelLayout::Rgb24: return "24-bit RGB";
    case PixelLayout::Rgb32: return "32-bit RGB";
    case PixelLayout::Yuy2: return "YUY2";
    case PixelLayout::Mjpeg: return "MJPEG";
    }
    return "?";
}

int BitsPerPixel(PixelLayout layout) {
    switch (layout) {
    case PixelLayout::Rgb24: return 24;
    case PixelLayout::Rgb32: return 32;
    case PixelLayout::Yuy2: return 16;
    case PixelLayout::Mjpeg: return 24;
    }
    return 0;
}

PixelLayout CallbackLayout(PixelLayout chosen) {
    return chosen == PixelLayout::Mjpeg ? PixelLayout::Rgb24 : chosen;
}

int RowBytes(PixelLayout layout, int width) {
    if (layout == PixelLayout::Mjpeg)
        return 0;
    return ((width * BitsPerPixel(layout) + 31) / 32) * 4;
}

namespace {

AVPixelFormat RawFormat(PixelLayout layout) {
    switch (layout) {
    case PixelLayout::Rgb24: return AV_PIX_FMT_BGR24;
    case PixelLayout::Rgb32: return AV_PIX_FMT_BGRA;
    case PixelLayout::Yuy2: return AV_PIX_FMT_YUYV422;
    case PixelLayout::Mjpeg: return AV_PIX_FMT_NONE;
    }
    return AV_PIX_FMT_NONE;
}

bool BottomUp(PixelLayout layout) {
    return layout == PixelLayout::Rgb24 || layout == PixelLayout::Rgb32;
}

// Points frame at the rows of a raw image, top row first whatever the storage order.
void PointAtRows(AVFrame* frame, std::uint8_t* bytes, PixelLayout layout, int width,
                 int height) {
    const int stride = RowBytes(layout, width);
    frame->format = RawFormat(layout);
    frame->width = width;
    frame->height = height;
    if (BottomUp(layout)) {
        frame->data[0] = bytes + static_cast<std::ptrdiff_t>(height - 1) * stride;
        frame->linesize[0] = -stride;
    } else {
        frame->data[0] = bytes;
        frame->linesize[0] = stride;
    }
}

av::FramePtr DecodeJpeg(const CapturedImage& image) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
    av::CodecContextPtr ctx(codec ? avcodec_alloc_context3(codec) : nullptr);
    if (!ctx || avcodec_open2(ctx.get(), codec, nullptr) < 0)
        return {};
    av::PacketPtr packet = av::MakePacket();
    av::FramePtr frame = av::MakeFrame();
    if (!packet || !frame || av_new_packet(packet.get(), static_cast<int>(image.used)) < 0)
        return {};
    std::memcpy(packet->data, image.bytes.data(), image.used);
    if (avcodec_send_packet(ctx.get(), packet.get()) < 0)
        return {};
    avcodec_send_packet(ctx.get(), nullptr);
    if (avcodec_receive_frame(ctx.get(), frame.get()) < 0)
        return {};
    return frame;
}

}  // namespace

namespace {

// The plain format of a yuvj one, with fullRange set; any other format as it is.
AVPixelFormat PlainFormat(AVPixelFormat format, bool* fullRange) {
    switch (format) {
    case AV_PIX_FMT_YUVJ420P: *fullRange = true; return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P: *fullRange = true; return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P: *fullRange = true; return AV_PIX_FMT_YUV444P;
    case AV_PIX_FMT_YUVJ440P: *fullRange = true; return AV_PIX_FMT_YUV440P;
    case AV_PIX_FMT_YUVJ411P: *fullRange = true; return AV_PIX_FMT_YUV411P;
    default: return format;
    }
}

av::SwsPtr MakeContext(const Scaler::Conversion& c) {
    av::SwsPtr ctx(sws_alloc_context());
    if (!ctx)
        return {};
    // The ranges go in before the context is set up, so that the tables are made for them.
    const struct {
        const char* name;
        std::int64_t value;
    } options[] = {{"srcw", c.srcWidth},
                   {"srch", c.srcHeight},
                   {"src_format", c.srcFormat},
                   {"src_range", c.srcFullRange ? 1 : 0},
                   {"dstw", c.dstWidth},
                   {"dsth", c.dstHeight},
                   {"dst_format", c.dstFormat},
                   {"dst_range", c.dstFullRange ? 1 : 0},
                   {"sws_flags", SWS_BILINEAR}};
    for (const auto& option : options) {
        if (av_opt_set_int(ctx.get(), option.name, option.value, 0) < 0) {
            qCWarning(lcCapture) << "swscale refused option" << option.name;
            return {};
        }
    }
    if (const int rc = sws_init_context(ctx.get(), nullptr, nullptr); rc < 0) {
        qCWarning(lcCapture).noquote()
            << "cannot set up the conversion:" << QString::fromStdString(av::AvError(rc));
        return {};
    }
    return ctx;
}

}  // namespace

Scaler::Conversion ConversionFor(const AVFrame* src, const AVFrame* dst) {
    Scaler::Conversion c;
    c.srcWidth = src->width;
    c.srcHeight = src->height;
    c.dstWidth = dst->width;
    c.dstHeight = dst->height;
    c.srcFullRange = src->color_range == AVCOL_RANGE_JPEG;
    c.dstFullRange = dst->color_range == AVCOL_RANGE_JPEG;
    c.srcFormat = PlainFormat(static_cast<AVPixelFormat>(src->format), &c.srcFullRange);
    c.dstFormat = PlainFormat(static_cast<AVPixelFormat>(dst->format), &c.dstFullRange);
    return c;
}

bool Scaler::convert(const AVFrame* src, AVFrame* dst) {
    // swscale's own cache compares the formats it rewrote from yuvj with the caller's and
    // would make a new context for every frame; the conversion is compared here instead.
    // A conversion that cannot be set up is reported once, not for every frame.
    const Conversion wanted = ConversionFor(src, dst);
    if (!(wanted == made_)) {
        made_ = wanted;
        ctx_ = MakeContext(wanted);
        if (!ctx_)
            qCWarning(lcCapture) << "no conversion from pixel format" << src->format << "to"
                                 << dst->format;
    }
    if (!ctx_)
        return false;
    return sws_scale(ctx_.get(), src->data, src->linesize, 0, src->height, dst->data,
                     dst->linesize) > 0;
}

bool FrameToImage(const AVFrame* frame, PixelLayout layout, int width, int height,
                  Scaler& scaler, CapturedImage* out) {
    out->layout = layout;
    out->width = width;
    out->height = height;
    out->used = 0;
    if (frame == nullptr || frame->width <= 0 || frame->height <= 0 || width <= 0 || height <= 0)
        return false;
    if (layout == PixelLayout::Mjpeg)
        return false;
    const std::size_t size = static_cast<std::size_t>(RowBytes(layout, width)) * height;
    // Padding bytes of the rows stay zero, as a DIB writer leaves them.
    out->bytes.assign(size, 0);
    av::FramePtr dst = av::MakeFrame();
    if (!dst)
        return false;
    PointAtRows(dst.get(), out->bytes.data(), layout, width, height);
    if (!scaler.convert(frame, dst.get()))
        return false;
    out->used = size;
    return true;
}

av::FramePtr ImageAsFrame(const CapturedImage& image) {
    if (image.empty())
        return {};
    if (image.layout == PixelLayout::Mjpeg)
        return DecodeJpeg(image);
    const std::size_t need =
        static_cast<std::size_t>(RowBytes(image.layout, image.width)) * image.height;
    if (image.used < need)
        return {};
    av::FramePtr frame = av::MakeFrame();
    if (frame)
        PointAtRows(frame.get(), const_cast<std::uint8_t*>(image.bytes.data()), image.layout,
                    image.width, image.height);
    return frame;
}

av::FramePtr ImageToFormat(const CapturedImage& image, AVPixelFormat format, Scaler& scaler) {
    av::FramePtr src = ImageAsFrame(image);
    if (!src)
        return {};
    av::FramePtr dst = av::MakeFrame();
    if (!dst)
        return {};
    dst->format = format;
    dst->width = src->width;
    dst->height = src->height;
    if (av_frame_get_buffer(dst.get(), 0) < 0 || !scaler.convert(src.get(), dst.get()))
        return {};
    return dst;
}

QImage ImageToQImage(const CapturedImage& image, Scaler& scaler) {
    av::FramePtr src = ImageAsFrame(image);
    if (!src)
        return {};
    // RGB888 rather than RGB32: a 32-bit callback frame may carry any alpha byte, which
    // RGB32 requires to be 0xff.
    QImage picture(src->width, src->height, QImage::Format_RGB888);
    if (picture.isNull())
        return {};
    av::FramePtr dst = av::MakeFrame();
    if (!dst)
        return {};
    dst->format = AV_PIX_FMT_RGB24;
    dst->width = src->width;
    dst->height = src->height;
    dst->data[0] = picture.bits();
    dst->linesize[0] = static_cast<int>(picture.bytesPerLine());
    if (!scaler.convert(src.get(), dst.get()))
        return {};
    return picture;
}

}  // namespace picture
