// The encoders of single-frame files: which of them this FFmpeg has, and their set-up.
#include "avi/VideoEncoder.h"

#include <charconv>
#include <cstring>

#include <QString>

#include "av/CLocaleScope.h"
#include "av/CaptureLog.h"

extern "C" {
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

namespace avi {

namespace {

std::string FormatNumber(double value) {
    // to_chars never follows the locale.
    char text[32] = {};
    const auto result = std::to_chars(text, text + sizeof text - 1, value);
    return std::string(text, result.ptr);
}

AVPixelFormat EncoderPixelFormat(const EncoderSetup& setup) {
    switch (setup.compression) {
    case Compression::MotionJpeg: return AV_PIX_FMT_YUVJ420P;
    case Compression::Ffv1:
        return setup.layout == picture::PixelLayout::Yuy2 ? AV_PIX_FMT_YUV422P : AV_PIX_FMT_BGR0;
    case Compression::H264: return AV_PIX_FMT_YUV420P;
    case Compression::None: break;
    }
    return AV_PIX_FMT_NONE;
}

// Options of the H.264 encoder for frames grabbed far apart: each frame leaves the encoder
// as soon as it goes in (no lookahead, no B-frames, no frame threads), at constant quality,
// with the fastest presets' low CPU per frame.
bool SetH264Options(AVCodecContext* ctx, double crf, AVDictionary** options) {
    ctx->max_b_frames = 0;
    // One thread: left to itself x264 cuts every picture into a slice per thread (1.5 per
    // core), and each slice starts its prediction afresh, so the same recording grew with
    // the user's core count (12 slices: 14% larger than one). A frame a few seconds or
    // minutes apart can take the tens of milliseconds one core needs, and the total CPU
    // is the same.
    ctx->thread_count = 1;
    // Key frames (IDR, with the parameter sets in band) start every group, so a file cut
    // short by a crash or a damaged stretch loses at most the rest of one group.
    ctx->gop_size = kH264KeyFrameInterval;
    bool ok = av_dict_set(options, "preset", "veryfast", 0) >= 0;
    ok = ok && av_dict_set(options, "tune", "zerolatency", 0) >= 0;
    ok = ok && av_dict_set(options, "crf", FormatNumber(crf).c_str(), 0) >= 0;
    ok = ok && av_dict_set(options, "rc-lookahead", "0", 0) >= 0;
    return ok;
}

// swscale turns RGB into YUV with the BT.601 matrix at limited range. Said so in the
// stream, players and decoders convert back with the same matrix; left unsaid, they
// assume BT.709 for pictures of HD size and shift every colour (orange towards red,
// greens towards yellow).
void TagBt601(AVCodecContext* ctx) {
    ctx->color_range = AVCOL_RANGE_MPEG;
    ctx->colorspace = AVCOL_SPC_SMPTE170M;
    ctx->color_primaries = AVCOL_PRI_SMPTE170M;
    ctx->color_trc = AVCOL_TRC_SMPTE170M;
}

// Repeats the last column and row of the picture into the coded area beyond it.
void PadEdges(AVFrame* frame, int width, int height) {
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
    if (desc == nullptr || (desc->flags & AV_PIX_FMT_FLAG_PLANAR) == 0)
        return;
    for (int plane = 0; plane < desc->nb_components && frame->data[plane]; ++plane) {
        const bool chroma = plane == 1 || plane == 2;
        const int sx = chroma ? desc->log2_chroma_w : 0;
        const int sy = chroma ? desc->log2_chroma_h : 0;
        const int w = AV_CEIL_RSHIFT(width, sx);
        const int h = AV_CEIL_RSHIFT(height, sy);
        const int cw = AV_CEIL_RSHIFT(frame->width, sx);
        const int ch = AV_CEIL_RSHIFT(frame->height, sy);
        std::uint8_t* data = frame->data[plane];
        const int stride = frame->linesize[plane];
        for (int y = 0; y < h && cw > w; ++y) {
            std::uint8_t* row = data + static_cast<std::ptrdiff_t>(y) * stride;
            std::memset(row + w, row[w - 1], static_cast<std::size_t>(cw - w));
        }
        for (int y = h; y < ch; ++y)
            std::memcpy(data + static_cast<std::ptrdiff_t>(y) * stride,
                        data + static_cast<std::ptrdiff_t>(h - 1) * stride,
                        static_cast<std::size_t>(cw));
    }
}

}  // namespace

const char* CompressionName(Compression compression) {
    switch (compression) {
    case Compression::None: return "Uncompressed";
    case Compression::MotionJpeg: return "Motion JPEG";
    case Compression::Ffv1: return "FFV1 lossless";
    case Compression::H264: return "H.264 (x264)";
    }
    return "?";
}

EncoderLookup DefaultEncoderLookup() {
    return [](const char* name) { return avcodec_find_encoder_by_name(name); };
}

const char* EncoderName(Compression compression) {
    switch (compression) {
    case Compression::None: return nullptr;
    case Compression::MotionJpeg: return "mjpeg";
    case Compression::Ffv1: return "ffv1";
    case Compression::H264: return "libx264";
    }
    return nullptr;
}

bool CompressionAvailable(Compression compression, const EncoderLookup& lookup) {
    const char* name = EncoderName(compression);
    return name == nullptr || (lookup && lookup(name) != nullptr);
}

std::vector<Compression> AvailableCompressions(const EncoderLookup& lookup) {
    std::vector<Compression> choices;
    for (Compression c :
         {Compression::None, Compression::MotionJpeg, Compression::Ffv1, Compression::H264})
        if (CompressionAvailable(c, lookup))
            choices.push_back(c);
    return choices;
}

std::unique_ptr<VideoEncoder> VideoEncoder::Open(const EncoderSetup& setup,
                                                 const EncoderLookup& lookup) {
    const char* name = EncoderName(setup.compression);
    const AVCodec* codec = name && lookup ? lookup(name) : nullptr;
    std::unique_ptr<VideoEncoder> encoder(new VideoEncoder);
    encoder->ctx_.reset(codec ? avcodec_alloc_context3(codec) : nullptr);
    encoder->picture_ = av::MakeFrame();
    if (!encoder->ctx_ || !encoder->picture_) {
        qCWarning(lcCapture) << "FFmpeg has no encoder for" << CompressionName(setup.compression);
        return {};
    }
    AVCodecContext* ctx = encoder->ctx_.get();
    ctx->pix_fmt = EncoderPixelFormat(setup);
    ctx->width = setup.width;
    ctx->height = setup.height;
    ctx->time_base = setup.timeBase;
    ctx->framerate = av_inv_q(setup.timeBase);
    if (setup.globalHeader)
        ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    AVDictionary* raw = nullptr;
    bool ok = true;
    switch (setup.compression) {
    case Compression::MotionJpeg:
        // Every frame stands alone, so that a file cut short still decodes up to its end.
        ctx->gop_size = 1;
        ctx->flags |= AV_CODEC_FLAG_QSCALE;
        ctx->global_quality = FF_QP2LAMBDA * 3;
        break;
    case Compression::Ffv1:
        ctx->gop_size = 1;
        break;
    case Compression::H264:
        // 4:2:0 halves the chroma in both directions: round the size up to even and
        // repeat the edge rather than cut off a row or column of the picture.
        ctx->width = (setup.width + 1) & ~1;
        ctx->height = (setup.height + 1) & ~1;
        TagBt601(ctx);
        ok = SetH264Options(ctx, setup.crf, &raw);
        break;
    case Compression::None: break;
    }
    std::unique_ptr<AVDictionary, av::DictionaryDeleter> options(raw);
    int rc = AVERROR(EINVAL);
    if (ok) {
        // Encoder options are parsed with strtod (av_opt, x264's own parameter parser): a
        // decimal comma from the user's LC_NUMERIC would cut "23.5" to 23.
        const av::CLocaleScope numbers;
        raw = options.release();
        rc = avcodec_open2(ctx, codec, &raw);
        options.reset(raw);
    }
    if (rc < 0) {
        qCWarning(lcCapture).noquote()
            << "cannot open the" << name << "encoder:" << QString::fromStdString(av::AvError(rc));
        return {};
    }
    for (const AVDictionaryEntry* left = av_dict_get(options.get(), "", nullptr, AV_DICT_IGNORE_SUFFIX);
         left != nullptr; left = av_dict_get(options.get(), "", left, AV_DICT_IGNORE_SUFFIX))
        qCWarning(lcCapture) << "the encoder" << name << "ignored the option" << left->key;
    encoder->picture_->format = ctx->pix_fmt;
    encoder->picture_->width = ctx->width;
    encoder->picture_->height = ctx->height;
    if (av_frame_get_buffer(encoder->picture_.get(), 0) < 0)
        return {};
    return encoder;
}

bool VideoEncoder::convert(const picture::CapturedImage& image) {
    av::FramePtr source = picture::ImageAsFrame(image);
    if (!source || av_frame_make_writable(picture_.get()) < 0)
        return false;
    // The picture goes into the top left of the coded area, at its own size.
    av::FramePtr view = av::MakeFrame();
    if (!view)
        return false;
    view->format = picture_->format;
    view->width = source->width;
    view->height = source->height;
    std::memcpy(view->data, picture_->data, sizeof view->data);
    std::memcpy(view->linesize, picture_->linesize, sizeof view->linesize);
    if (!scaler_.convert(source.get(), view.get()))
        return false;
    if (picture_->width != source->width || picture_->height != source->height)
        PadEdges(picture_.get(), source->width, source->height);
    return true;
}

bool VideoEncoder::encode(const picture::CapturedImage& image, std::int64_t pts, AVPacket* packet) {
    if (held_)
        return false;
    if (image.width > ctx_->width || image.height > ctx_->height || !convert(image))
        return false;
    picture_->pts = pts;
    int rc = avcodec_send_frame(ctx_.get(), picture_.get());
    if (rc < 0) {
        qCWarning(lcCapture).noquote()
            << "the encoder refused the frame:" << QString::fromStdString(av::AvError(rc));
        return false;
    }
    rc = avcodec_receive_packet(ctx_.get(), packet);
    if (rc == AVERROR(EAGAIN)) {
        // Its packet would come out with a later frame, in the wrong place of the file.
        held_ = true;
        qCWarning(lcCapture) << "the encoder held the frame back instead of coding it at once";
        return false;
    }
    if (rc < 0) {
        qCWarning(lcCapture).noquote()
            << "the encoder failed:" << QString::fromStdString(av::AvError(rc));
        return false;
    }
    return true;
}

}  // namespace avi
