// Where the device reader takes its packets from: a device or the test pattern opened
// through libavdevice, or a decorator around one.
#pragma once

#include <memory>

#include "av/AvHandles.h"
#include "device/SourceRequest.h"

namespace device {

class PacketInput {
public:
    virtual ~PacketInput() = default;
    // The next packet of the video stream into packet: 0, AVERROR(EAGAIN) while none is
    // ready, or another FFmpeg error.
    virtual int read(AVPacket* packet) = 0;
    // The video stream: its codec parameters, time base and rate.
    virtual const AVStream& stream() const = 0;
    // libavdevice's descriptor of a V4L2 device, to wait on for the next frame; -1 when
    // unknown.
    virtual int descriptor() const = 0;
};

// The rate of a stream; libavdevice reports the rate a V4L2 device agreed to as this.
AVRational FrameRate(const AVStream& stream);

class LibavInput : public PacketInput {
public:
    // Opens what request names, as it stands (format and rate already settled). interrupt
    // lets the reader's stop flag cut FFmpeg's own waits short. Null, with *error set to
    // FFmpeg's error code, when it cannot be opened; that is logged as a warning, or as a
    // debug line for a quiet open.
    static std::unique_ptr<LibavInput> Open(const SourceRequest& request,
                                            AVIOInterruptCB interrupt, int* error);

    int read(AVPacket* packet) override;
    const AVStream& stream() const override { return *input_->streams[stream_]; }
    int descriptor() const override { return descriptor_; }

private:
    av::InputContextPtr input_;
    int stream_ = -1;
    int descriptor_ = -1;
};

}  // namespace device
