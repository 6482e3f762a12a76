// A frame source: the handle of a device reader, which hands out its newest frame decoded.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>

#include "av/AvHandles.h"
#include "device/SourceRequest.h"

namespace device {

struct ReaderState;

struct SourceFrame {
    av::FramePtr frame;  // decoded picture
    std::uint64_t sequence = 0;
    // When the picture was taken, on the monotonic clock (av_gettime_relative).
    std::int64_t captureUs = 0;
};

// Reads a device on a thread of its own (DeviceReader). The reader only takes packets off
// the device and keeps the newest; decoding happens here, on the thread that asks for a
// frame, so a camera at 30 frames a second previewed once a second costs one decode a
// second, not thirty.
//
// A V4L2 driver may hang in open or in an ioctl, where FFmpeg's interrupt does not reach.
// The source therefore never waits for its reader without a bound: stop() and the end of
// the source wait at most their bound for it to release the device, and otherwise leave it
// to release the device alone when its driver returns.
class FrameSource {
public:
    // Starts the reader, which opens the device. The source's end waits at most stopBound.
    FrameSource(SourceRequest request, std::chrono::milliseconds stopBound);
    ~FrameSource();
    FrameSource(const FrameSource&) = delete;
    FrameSource& operator=(const FrameSource&) = delete;

    // Tells the reader to stop and waits at most bound for it to release the device: true
    // when it did. Otherwise the reader goes on alone and closes the device when its driver
    // returns. The source gives no frames after this.
    bool stop(std::chrono::milliseconds bound);

    enum class Wait { Frame, Timeout, Ended };
    // Waits for a frame newer than afterSequence whose picture was taken at notBeforeUs or
    // later. Ended: the device failed to open or stopped for good. Called from one thread.
    Wait waitFrame(std::uint64_t afterSequence, std::int64_t notBeforeUs,
                   std::chrono::milliseconds timeout, SourceFrame* out);
    // The newest frame, if any arrived since the one with afterSequence and it decodes.
    bool newest(std::uint64_t afterSequence, SourceFrame* out);

    bool ended() const;
    // FFmpeg's error code of a failed open, 0 while none failed; read once ended() holds.
    int openError() const;
    // The time between two frames: what the device agreed to once it is open, else what was
    // asked for; 0 when neither is known.
    std::int64_t framePeriodUs() const;
    const SourceRequest& request() const { return request_; }
    // The request as the reader settled it (format and rate filled in), once a frame came.
    SourceRequest settledRequest() const;

private:
    struct Packet;
    bool decode(const Packet& packet, SourceFrame* out);
    bool makeDecoder();

    const SourceRequest request_;
    const std::chrono::milliseconds stopBound_;
    std::shared_ptr<ReaderState> state_;
    std::thread reader_;
    // Made on the thread that asks for frames, from the stream the reader published.
    av::CodecContextPtr decoder_;
    bool decoderFailed_ = false;
};

}  // namespace device
