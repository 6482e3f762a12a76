// Frame conversions of the capture window: colour ranges kept, and no FFmpeg warning for
// the full-range (yuvj) formats an MJPEG camera's pictures decode to.
#include "picture/CaptureFormat.h"

#include <QImage>

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/log.h>
#include <libavutil/pixdesc.h>
}

namespace {

using picture::CapturedImage;
using picture::PixelLayout;

std::mutex g_linesMutex;
std::vector<std::string> g_lines;

// Everything FFmpeg says at warning level or above while a test runs.
void RecordFfmpegLine(void* ptr, int level, const char* format, va_list args) {
    if (level > AV_LOG_WARNING)
        return;
    char line[1024];
    int prefix = 1;
    if (av_log_format_line2(ptr, level, format, args, line, sizeof line, &prefix) < 0)
        return;
    std::lock_guard lock(g_linesMutex);
    g_lines.emplace_back(line, strnlen(line, sizeof line));
}

class Conversion : public ::testing::Test {
protected:
    void SetUp() override {
        g_lines.clear();
        av_log_set_callback(&RecordFfmpegLine);
    }
    void TearDown() override { av_log_set_callback(&av_log_default_callback); }
    static std::string Lines() {
        std::lock_guard lock(g_linesMutex);
        std::string all;
        for (const std::string& line : g_lines)
            all += line;
        return all;
    }
};

// A planar YUV frame of one flat colour.
av::FramePtr FlatYuv(AVPixelFormat format, AVColorRange range, int y, int width = 32,
                     int height = 16) {
    av::FramePtr frame = av::MakeFrame();
    if (!frame)
        return {};
    frame->format = format;
    frame->width = width;
    frame->height = height;
    frame->color_range = range;
    if (av_frame_get_buffer(frame.get(), 0) < 0)
        return {};
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
    for (int plane = 0; plane < 3; ++plane) {
        const int rows = plane == 0 ? height : AV_CEIL_RSHIFT(height, desc->log2_chroma_h);
        for (int row = 0; row < rows; ++row)
            std::memset(frame->data[plane] + row * frame->linesize[plane], plane == 0 ? y : 128,
                        frame->linesize[plane]);
    }
    return frame;
}

TEST_F(Conversion, FullRangeYuvKeepsItsRangeAndRaisesNoWarning) {
    const struct {
        AVPixelFormat format;
        AVColorRange range;
        int y;
        int grey;  // the 24-bit picture's value
    } cases[] = {
        // An MJPEG camera's picture: full range, so black stays 16 above black.
        {AV_PIX_FMT_YUVJ422P, AVCOL_RANGE_JPEG, 16, 16},
        {AV_PIX_FMT_YUVJ422P, AVCOL_RANGE_JPEG, 235, 235},
        {AV_PIX_FMT_YUVJ420P, AVCOL_RANGE_UNSPECIFIED, 16, 16},
        {AV_PIX_FMT_YUVJ444P, AVCOL_RANGE_JPEG, 128, 128},
        // A plain format marked full range is full range too.
        {AV_PIX_FMT_YUV422P, AVCOL_RANGE_JPEG, 16, 16},
        // Plain video range: 16 is black and 235 white.
        {AV_PIX_FMT_YUV422P, AVCOL_RANGE_MPEG, 16, 0},
        {AV_PIX_FMT_YUV420P, AVCOL_RANGE_UNSPECIFIED, 235, 255},
    };
    picture::Scaler scaler;  // one scaler for all, as the capture window keeps one
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(av_get_pix_fmt_name(c.format)) + " Y=" + std::to_string(c.y));
        av::FramePtr frame = FlatYuv(c.format, c.range, c.y);
        ASSERT_TRUE(frame);
        // Twice each: the second frame of a kind must not set the conversion up again.
        for (int repeat = 0; repeat < 2; ++repeat) {
            CapturedImage image;
            ASSERT_TRUE(
                picture::FrameToImage(frame.get(), PixelLayout::Rgb24, 32, 16, scaler, &image));
            for (std::size_t i = 0; i < image.used; i += 97)
                EXPECT_NEAR(image.bytes[i], c.grey, 2) << "byte " << i;
        }
    }
    EXPECT_EQ(Lines(), "") << "FFmpeg warned about the conversions";
}

TEST_F(Conversion, PicturesForTheMotionJpegEncoderAreFullRange) {
    // The encoder takes yuvj420p: a 24-bit grey of 16 is Y = 16 at full range (video range
    // would make it about 30).
    CapturedImage image;
    image.width = 32;
    image.height = 16;
    image.layout = PixelLayout::Rgb24;
    image.used = static_cast<std::size_t>(picture::RowBytes(PixelLayout::Rgb24, 32)) * 16;
    image.bytes.assign(image.used, 16);
    picture::Scaler scaler;
    for (int repeat = 0; repeat < 2; ++repeat) {
        av::FramePtr yuv = picture::ImageToFormat(image, AV_PIX_FMT_YUVJ420P, scaler);
        ASSERT_TRUE(yuv);
        EXPECT_NEAR(yuv->data[0][0], 16, 2);
        EXPECT_NEAR(yuv->data[0][yuv->linesize[0] * 15 + 31], 16, 2);
        EXPECT_NEAR(yuv->data[1][0], 128, 2);
    }
    // And back to a picture for the preview.
    CapturedImage shown;
    av::FramePtr yuv = picture::ImageToFormat(image, AV_PIX_FMT_YUVJ420P, scaler);
    ASSERT_TRUE(yuv);
    ASSERT_TRUE(picture::FrameToImage(yuv.get(), PixelLayout::Rgb32, 32, 16, scaler, &shown));
    EXPECT_NEAR(shown.bytes[0], 16, 2);
    EXPECT_EQ(Lines(), "") << "FFmpeg warned about the conversions";
}

// A picture as an MJPEG camera sends it.
std::vector<std::uint8_t> EncodeJpeg(const AVFrame* frame) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    av::CodecContextPtr ctx(codec ? avcodec_alloc_context3(codec) : nullptr);
    if (!ctx)
        return {};
    ctx->width = frame->width;
    ctx->height = frame->height;
    ctx->pix_fmt = static_cast<AVPixelFormat>(frame->format);
    ctx->time_base = AVRational{1, 25};
    av::PacketPtr packet = av::MakePacket();
    if (!packet || avcodec_open2(ctx.get(), codec, nullptr) < 0 ||
        avcodec_send_frame(ctx.get(), frame) < 0 ||
        avcodec_receive_packet(ctx.get(), packet.get()) < 0)
        return {};
    return {packet->data, packet->data + packet->size};
}

TEST_F(Conversion, MotionJpegPreviewFramesRaiseNoWarning) {
    av::FramePtr source = FlatYuv(AV_PIX_FMT_YUVJ420P, AVCOL_RANGE_JPEG, 16);
    ASSERT_TRUE(source);
    CapturedImage image;
    image.bytes = EncodeJpeg(source.get());
    ASSERT_FALSE(image.bytes.empty());
    image.used = image.bytes.size();
    image.width = 32;
    image.height = 16;
    image.layout = PixelLayout::Mjpeg;
    {
        std::lock_guard lock(g_linesMutex);
        g_lines.clear();  // only the preview's own conversions count
    }
    picture::Scaler scaler;
    for (int frame = 0; frame < 3; ++frame) {
        const QImage shown = picture::ImageToQImage(image, scaler);
        ASSERT_EQ(shown.size(), QSize(32, 16));
        EXPECT_NEAR(qRed(shown.pixel(5, 5)), 16, 3) << "full range: 16 stays 16";
    }
    EXPECT_EQ(Lines(), "") << "FFmpeg warned about the preview of MJPEG frames";
}

TEST_F(Conversion, ConversionNamesSwscaleFormatsAndRanges) {
    av::FramePtr src = FlatYuv(AV_PIX_FMT_YUVJ422P, AVCOL_RANGE_UNSPECIFIED, 16);
    av::FramePtr dst = FlatYuv(AV_PIX_FMT_YUV420P, AVCOL_RANGE_UNSPECIFIED, 16, 64, 32);
    ASSERT_TRUE(src && dst);
    const picture::Scaler::Conversion c = picture::ConversionFor(src.get(), dst.get());
    EXPECT_EQ(c.srcFormat, AV_PIX_FMT_YUV422P);
    EXPECT_TRUE(c.srcFullRange);
    EXPECT_EQ(c.dstFormat, AV_PIX_FMT_YUV420P);
    EXPECT_FALSE(c.dstFullRange);
    EXPECT_EQ(c.dstWidth, 64);
    EXPECT_EQ(c.dstHeight, 32);
}

}  // namespace
