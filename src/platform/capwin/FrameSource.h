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

#include "platform/capwin/AvHandles.h"

namespace capwin {

enum class DeviceKind { V4l2, TestPattern };

// The moving pictures the built-in test pattern can show.
enum class TestPattern { Gradients, HueBars, Life };
const char* TestPatternName(TestPattern pattern);

// A fault the built-in test pattern can be told to show, shared by every opening of it:
// after a number of frames it keeps the device open and sends nothing, like a camera that
// died. Changes take effect at once, also for a pattern that is running.
class TestPatternFault {
public:
    // Stalls after frames more frames (0: at once; negative: never). With recovers, every
    // new opening starts again with that many frames, as a camera that came back would.
    void set(long long frames, bool recovers);
    // Called when the pattern is opened.
    void onOpening();
    // Called for each frame the pattern makes: false when it is to be swallowed.
    bool take();

private:
    std::atomic<long long> remaining_{-1};
    std::atomic<long long> perOpening_{-1};
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
    std::shared_ptr<TestPatternFault> fault;  // test pattern only; null means none
};

// The lavfi graph that draws the test pattern for a request.
std::string TestPatternGraph(const SourceRequest& request);

struct SourceFrame {
    FramePtr frame;          // decoded picture
    std::uint64_t sequence = 0;
    // When the picture was taken, on the monotonic clock (av_gettime_relative).
    std::int64_t captureUs = 0;
};

// Reads a device on its own thread. The reader only takes packets off the device and keeps
// the newest; decoding happens when a frame is asked for, so a camera at 30 frames a second
// previewed once a second costs one decode a second, not thirty.
class FrameSource {
public:
    explicit FrameSource(SourceRequest request);
    ~FrameSource();
    FrameSource(const FrameSource&) = delete;
    FrameSource& operator=(const FrameSource&) = delete;

    // Starts the reader thread, which opens the device. Once per source.
    void start();
    // Stops the reader and releases the device.
    void stop();

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
    const SourceRequest& request() const { return request_; }

private:
    struct Latest {
        PacketPtr packet;
        std::uint64_t sequence = 0;
        std::int64_t captureUs = 0;
    };

    void run();
    bool open(InputContextPtr* input, int* stream);
    void publish(AVPacket* packet, std::int64_t captureUs);
    void finish();
    bool takeLatest(Latest* out) const;
    bool decode(const Latest& latest, SourceFrame* out);
    static int interrupted(void* self);

    SourceRequest request_;
    std::thread thread_;
    std::atomic<bool> abort_{false};
    std::atomic<int> openError_{0};

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    Latest latest_;
    bool ended_ = false;

    // Made by the reader before its first packet is published, then used only by the
    // thread that asks for frames.
    CodecContextPtr decoder_;
    // libavdevice's descriptor of a V4L2 device, borrowed for waiting; -1 when unknown.
    int deviceFd_ = -1;
};

}  // namespace capwin
