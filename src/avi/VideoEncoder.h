// The encoders of single-frame files: which of them this FFmpeg has, and their set-up.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "av/AvHandles.h"
#include "picture/CaptureFormat.h"

namespace avi {

// How single-frame files store their frames.
enum class Compression { None, MotionJpeg, Ffv1, H264 };
const char* CompressionName(Compression compression);

// Finds an encoder by its FFmpeg name ("libx264"); null when this FFmpeg lacks it. The
// capture window asks through this, so that a test can play an FFmpeg without one.
using EncoderLookup = std::function<const AVCodec*(const char* name)>;
EncoderLookup DefaultEncoderLookup();

// The FFmpeg encoder behind a compression, or null for uncompressed frames.
const char* EncoderName(Compression compression);
bool CompressionAvailable(Compression compression, const EncoderLookup& lookup);
// The choices of the compression dialog, in its order: those this FFmpeg can write.
std::vector<Compression> AvailableCompressions(const EncoderLookup& lookup);

struct EncoderSetup {
    int width = 0;
    int height = 0;
    picture::PixelLayout layout = picture::PixelLayout::Rgb24;
    Compression compression = Compression::MotionJpeg;
    AVRational timeBase{1, 15};
    bool globalHeader = false;
    double crf = 23;  // H.264 constant quality
};

// H.264 starts a group with a key frame at least this often, so damage costs few frames.
inline constexpr int kH264KeyFrameInterval = 60;

class VideoEncoder {
public:
    // An opened encoder for frames of the setup's size and layout; null (logged) when the
    // encoder is missing or refuses the set-up.
    static std::unique_ptr<VideoEncoder> Open(const EncoderSetup& setup,
                                              const EncoderLookup& lookup);

    // Encodes one picture into packet. Every frame comes out at once: an encoder that
    // holds a frame back fails the call, since a grab must be on disk when it returns.
    bool encode(const picture::CapturedImage& image, std::int64_t pts, AVPacket* packet);

    const AVCodecContext* context() const { return ctx_.get(); }
    // The size the encoder codes, which may be larger than the pictures (H.264 in 4:2:0
    // needs even sizes); the extra column and row repeat the picture's edge.
    int codedWidth() const { return ctx_->width; }
    int codedHeight() const { return ctx_->height; }

private:
    VideoEncoder() = default;
    bool convert(const picture::CapturedImage& image);

    av::CodecContextPtr ctx_;
    av::FramePtr picture_;  // the encoder's input, kept for the next frame
    picture::Scaler scaler_;
    bool held_ = false;  // the encoder once kept a frame: no later packet is in order
};

}  // namespace avi
