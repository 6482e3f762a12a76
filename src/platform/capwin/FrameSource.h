// The device reader: a worker thread that keeps only the newest decoded frame of a device.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/capwin/AvHandles.h"

namespace capwin {

enum class DeviceKind { V4l2, TestPattern };

// The moving pictures the built-in test pattern can show.
enum class TestPattern { Gradients, HueBars, Life };
const char* TestPatternName(TestPattern pattern);

// Shared between every opening of one device in a window: how many more frames the test
// pattern delivers before it stalls like a dead camera. Negative: no limit.
struct FrameBudget {
    std::atomic<long long> remaining{-1};
    // When set, every new opening of the device starts again with this many frames, so a
    // reopen brings it back (a camera that came back after a resume).
    long long perOpening = -1;
};

// What to open and how.
struct SourceRequest {
    DeviceKind kind = DeviceKind::TestPattern;
    std::string path;  // the device node for V4L2
    int width = 320;   // 0: the size the device is set to
    int height = 240;
    std::string inputFormat;  // V4L2 pixel format to ask for ("mjpeg", "yuyv422"), or any
    TestPattern pattern = TestPattern::Gradients;
    int framesPerSecond = 25;
    std::shared_ptr<FrameBudget> budget;  // test pattern only; null means no limit
};

// The lavfi graph that draws the test pattern for a request.
std::string TestPatternGraph(const SourceRequest& request);

struct SourceFrame {
    FramePtr frame;          // decoded picture
    PacketPtr compressed;    // the packet as sent, when the device delivers MJPEG
    std::uint64_t sequence = 0;
    std::int64_t captureUs = 0;  // wall clock (av_gettime) at which the capture began
};

class FrameSource {
public:
    explicit FrameSource(SourceRequest request);
    ~FrameSource();
    FrameSource(const FrameSource&) = delete;
    FrameSource& operator=(const FrameSource&) = delete;

    // Starts the reader thread, which opens the device.
    void start();
    // Stops the reader and releases the device.
    void stop();

    enum class Wait { Frame, Timeout, Ended };
    // Waits for a frame newer than afterSequence whose capture began at notBeforeUs or later.
    // Ended: the device failed to open or stopped for good.
    Wait waitFrame(std::uint64_t afterSequence, std::int64_t notBeforeUs,
                   std::chrono::milliseconds timeout, SourceFrame* out);
    // The newest frame, if any arrived since the one with afterSequence.
    bool newest(std::uint64_t afterSequence, SourceFrame* out);

    bool ended() const;
    const SourceRequest& request() const { return request_; }

private:
    void run();
    bool open(InputContextPtr* input, CodecContextPtr* decoder, int* stream);
    void publish(FramePtr frame, const AVPacket* packet, std::int64_t captureUs);
    void finish();
    void copyOut(SourceFrame* out) const;
    static int interrupted(void* self);

    SourceRequest request_;
    std::thread thread_;
    std::atomic<bool> abort_{false};

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    SourceFrame latest_;
    bool ended_ = false;
};

}  // namespace capwin
