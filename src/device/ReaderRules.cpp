// What the device reader makes of what a device hands it.
#include "device/ReaderRules.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

extern "C" {
#include <libavutil/error.h>
}

namespace device {

namespace {
constexpr std::int64_t kSettleFrames = 3;
constexpr std::int64_t kSettleUs = 300'000;
constexpr std::int64_t kSlowSettleUs = 1'000'000;
constexpr std::int64_t kWaitPeriods = 3;
// How far before its end a JPEG's end marker is looked for.
constexpr int kJpegTail = 4096;

// The first whole number of periods that spans at least us.
std::int64_t WholePeriods(std::int64_t us, std::int64_t periodUs) {
    return (us + periodUs - 1) / periodUs * periodUs;
}
}  // namespace

ReadFault ClassifyReadError(int averror) {
    switch (averror) {
    case AVERROR(ENODEV):
    case AVERROR(ENXIO):
    case AVERROR(ENOENT):
    case AVERROR(EBADF):
    case AVERROR(ESHUTDOWN):
    case AVERROR_EOF:
    case AVERROR_EXIT:
        return ReadFault::Gone;
    default:
        return ReadFault::Transient;
    }
}

bool SettleGate::pass(std::int64_t captureUs) {
    if (!settles_ || open_)
        return true;
    const long index = seen_++;
    if (index == 0)
        firstUs_ = captureUs;
    const std::int64_t since = captureUs - firstUs_;
    open_ = (index >= kSettleFrames && since >= kSettleUs) ||
            (index >= 1 && since >= kSlowSettleUs);
    return open_;
}

std::int64_t SettleUs(std::int64_t periodUs) {
    periodUs = std::min(periodUs, kLongestPeriodUs);
    if (periodUs <= 0)
        return kSettleUs + kSettleUs;  // a margin for a rate nobody told
    const std::int64_t quick =
        WholePeriods(std::max(kSettleFrames * periodUs, kSettleUs), periodUs);
    const std::int64_t slow = WholePeriods(std::max(periodUs, kSlowSettleUs), periodUs);
    return std::min(quick, slow);
}

bool JpegIsWhole(const std::uint8_t* data, int size) {
    if (size < 4 || data[0] != 0xFF || data[1] != 0xD8)
        return false;
    // Entropy-coded data stuffs every 0xFF with a zero, so FF D9 near the end is the marker.
    for (int at = size - 2; at >= std::max(2, size - kJpegTail); --at)
        if (data[at] == 0xFF && data[at + 1] == 0xD9)
            return true;
    return false;
}

std::int64_t PeriodOfRate(const std::string& rate) {
    long num = 0, den = 1;
    if (std::sscanf(rate.c_str(), "%ld/%ld", &num, &den) < 1 || num <= 0 || den <= 0)
        return 0;
    return 1'000'000 * den / num;
}

std::chrono::milliseconds FrameWait(std::chrono::milliseconds floor, std::int64_t periodUs) {
    periodUs = std::min(periodUs, kLongestPeriodUs);
    const std::int64_t us = kWaitPeriods * std::max<std::int64_t>(0, periodUs);
    const auto periods = std::chrono::milliseconds((us + 999) / 1000);
    return std::max(floor, periods);
}

std::chrono::milliseconds FirstFrameWait(std::chrono::milliseconds floor, std::int64_t periodUs) {
    periodUs = std::min(periodUs, kLongestPeriodUs);
    const std::int64_t us = SettleUs(periodUs) + kWaitPeriods * std::max<std::int64_t>(0, periodUs);
    return std::max(floor, std::chrono::milliseconds((us + 999) / 1000));
}

}  // namespace device
