// The device reader: a worker thread that keeps only the newest frame of a device.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "av/AvHandles.h"
#include "device/ReaderRules.h"
#include "device/TestPattern.h"

namespace device {

enum class DeviceKind { V4l2, TestPattern };

// What to open and how.
struct SourceRequest {
    DeviceKind kind = DeviceKind::TestPattern;
    std::string path;  // the device node for V4L2
    int width = 320;   // 0: the size the device is set to
    int height = 240;
    std::string inputFormat;  // V4L2 pixel format to ask for ("mjpeg", "yuyv422"), or any
    // V4L2: the frame rate to ask for, as "num/den" frames a second; empty: the device's.
    std::string frameRate;
    // V4L2, settled by the reader before it opens the device, so that a driver that hangs
    // holds the reader and not the window: where inputFormat is empty, YUYV where the device
    // has the size in it, else MJPEG; where frameRate is empty, the fastest rate it offers.
    bool rawWherePossible = false;
    bool fastestRate = false;
    // An attempt that is repeated until the device is back: a failed open is no warning.
    bool quietOpen = false;
    TestPattern pattern = TestPattern::Gradients;
    int framesPerSecond = 25;
    std::shared_ptr<TestPatternFault> fault;  // test pattern only; null means none
};

// The lavfi graph that draws the test pattern for a request.
std::string TestPatternGraph(const SourceRequest& request);

struct SourceFrame {
    av::FramePtr frame;  // decoded picture
    std::uint64_t sequence = 0;
    // When the picture was taken, on the monotonic clock (av_gettime_relative).
    std::int64_t captureUs = 0;
};

// Reads a device on its own thread. The reader only takes packets off the device and keeps
// the newest; decoding happens when a frame is asked for, so a camera at 30 frames a second
// previewed once a second costs one decode a second, not thirty.
//
// A V4L2 driver may hang in open or an ioctl, where FFmpeg's interrupt does not reach, so
// the reader thread holds the source alive itself: release() waits a bounded time for it and
// otherwise leaves it to close the device when the driver returns. An owner therefore calls
// release() before it lets go of a started source; dropping it alone leaves the reader on.
class FrameSource : public std::enable_shared_from_this<FrameSource> {
public:
    static std::shared_ptr<FrameSource> Create(SourceRequest request);
    ~FrameSource();
    FrameSource(const FrameSource&) = delete;
    FrameSource& operator=(const FrameSource&) = delete;

    // Starts the reader thread, which opens the device. Once per source.
    void start();
    // Tells the reader to stop and waits at most bound for it to release the device: true
    // when it did. Otherwise the reader goes on alone and closes the device when its call
    // returns.
    bool release(std::chrono::milliseconds bound);

    enum class Wait { Frame, Timeout, Ended };
    // Waits for a frame newer than afterSequence whose picture was taken at notBeforeUs or
    // later. Ended: the device failed to open or stopped for good. Called from one thread.
    Wait waitFrame(std::uint64_t afterSequence, std::int64_t notBeforeUs,
                   std::chrono::milliseconds timeout, SourceFrame* out);
    // The newest frame, if any arrived since the one with afterSequence and it decodes.
    bool newest(std::uint64_t afterSequence, SourceFrame* out);

    bool ended() const;
    // FFmpeg's error code of a failed open, 0 while none failed; read once ended() holds.
    int openError() const { return openError_.load(); }
    // The time between two frames: what the device agreed to once it is open, else what was
    // asked for; 0 when neither is known.
    std::int64_t framePeriodUs() const;
    const SourceRequest& request() const { return request_; }
    // The request as the reader settled it (format and rate filled in), once a frame came.
    SourceRequest settledRequest() const;

private:
    explicit FrameSource(SourceRequest request);

    struct Latest {
        av::PacketPtr packet;
        std::uint64_t sequence = 0;
        std::int64_t captureUs = 0;
    };

    void run();
    bool open(av::InputContextPtr* input, int* stream);
    void readPackets(AVFormatContext* input, int stream);
    // Waits for the device's next frame: true when its descriptor said it is readable.
    bool waitForDevice();
    std::int64_t captureTime(const AVPacket* packet, AVRational timeBase,
                             std::int64_t readStartUs) const;
    void publish(AVPacket* packet, std::int64_t captureUs);
    void finish();
    bool takeLatest(Latest* out) const;
    bool decode(const Latest& latest, SourceFrame* out);
    static int interrupted(void* self);

    SourceRequest request_;
    std::thread thread_;
    std::atomic<bool> abort_{false};
    std::atomic<int> openError_{0};
    std::atomic<std::int64_t> negotiatedPeriodUs_{0};

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    Latest latest_;
    SourceRequest settled_;
    bool ended_ = false;
    bool finished_ = false;  // the reader has released the device

    // Made by the reader before its first packet is published, then used only by the
    // thread that asks for frames.
    av::CodecContextPtr decoder_;
    // libavdevice's descriptor of a V4L2 device, borrowed for waiting; -1 when unknown.
    int deviceFd_ = -1;
};

}  // namespace device
