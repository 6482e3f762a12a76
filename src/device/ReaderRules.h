// What the device reader makes of what a device hands it: which read errors it rides out,
// when the pictures of a freshly opened camera can be trusted, whether a JPEG arrived whole,
// and how long a wait for a device may take at its frame rate.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace device {

// A read error other than "no frame yet": a device that went away, or a glitch of one frame
// (a USB hiccup, a buffer cut short) after which the device goes on.
enum class ReadFault { Transient, Gone };
ReadFault ClassifyReadError(int averror);

// Glitches in a row, with no good frame between, after which the device counts as gone.
constexpr int kMaxTransientErrors = 25;

// A camera's first pictures after STREAMON are badly exposed or cut off. The gate lets
// frames through once three have gone by and 300 ms have passed since the first, or once a
// second has passed for a camera too slow for that (its first frame is its settling).
class SettleGate {
public:
    explicit SettleGate(bool settles) : settles_(settles) {}
    // For each frame in order, with the time its picture was taken: whether it may be used.
    bool pass(std::int64_t captureUs);

private:
    bool settles_;
    bool open_ = false;
    long seen_ = 0;
    std::int64_t firstUs_ = 0;
};

// The longest time from a camera's first frame to the first frame the gate lets through,
// at a frame period of periodUs (0: not known; at most kLongestPeriodUs counts).
std::int64_t SettleUs(std::int64_t periodUs);

// Whether a JPEG picture has its end-of-image marker near its end (some cameras append
// padding after it): one cut off in transfer has none.
bool JpegIsWhole(const std::uint8_t* data, int size);

// The period of a rate written "num/den" (or "num") frames a second, as libavdevice takes
// it; 0 when it says none.
std::int64_t PeriodOfRate(const std::string& rate);

// Periods longer than this are taken as this long: a driver that reports an absurd rate
// must not hold the window for minutes.
constexpr std::int64_t kLongestPeriodUs = 2'000'000;

// How long a wait for one new frame may take: the floor, or three frame periods of a
// slower device.
std::chrono::milliseconds FrameWait(std::chrono::milliseconds floor, std::int64_t periodUs);
// The same for the first frame after opening, which also waits out the settling.
std::chrono::milliseconds FirstFrameWait(std::chrono::milliseconds floor, std::int64_t periodUs);

}  // namespace device
