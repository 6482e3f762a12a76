// The device reader's rules: which read errors it rides out, when a new camera's frames
// count, what a whole JPEG is, and how long waits at a frame rate are.
#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

extern "C" {
#include <libavutil/error.h>
}

#include "device/ReaderRules.h"

namespace {

using device::ReadFault;
using std::chrono::milliseconds;

TEST(ReaderRules, ReadErrorsOfAGoneDeviceEndTheReadingAndGlitchesDoNot) {
    const struct {
        int error;
        ReadFault fault;
    } cases[] = {
        {AVERROR(ENODEV), ReadFault::Gone},         {AVERROR(ENXIO), ReadFault::Gone},
        {AVERROR(ENOENT), ReadFault::Gone},         {AVERROR(EBADF), ReadFault::Gone},
        {AVERROR_EOF, ReadFault::Gone},             {AVERROR_EXIT, ReadFault::Gone},
        {AVERROR(ESHUTDOWN), ReadFault::Gone},
        {AVERROR(EIO), ReadFault::Transient},       {AVERROR_INVALIDDATA, ReadFault::Transient},
        {AVERROR(EINVAL), ReadFault::Transient},    {AVERROR(ENOMEM), ReadFault::Transient},
    };
    for (const auto& c : cases)
        EXPECT_EQ(device::ClassifyReadError(c.error), c.fault) << "error " << c.error;
}

// The frames a gate lets through, for frames taken periodUs apart.
std::vector<int> Passed(std::int64_t periodUs, int frames, bool settles = true) {
    device::SettleGate gate(settles);
    std::vector<int> passed;
    const std::int64_t startUs = 5'000'000;  // any clock origin
    for (int i = 0; i < frames; ++i)
        if (gate.pass(startUs + i * periodUs))
            passed.push_back(i);
    return passed;
}

TEST(ReaderRules, ACameraCountsOnceThreeFramesAnd300MsOrASlowOnesFirstSecondHavePassed) {
    const struct {
        std::int64_t periodUs;
        int firstPassed;  // index of the first frame let through
    } cases[] = {
        {33'333, 10},      // 30 fps: 300 ms rules (frame 9 is 3 us short of it)
        {66'667, 5},       // 15 fps: 300 ms rules (frame 4 is at 267 ms)
        {200'000, 3},      // 5 fps: three frames rule (600 ms)
        {400'000, 3},      // 2.5 fps: three frames (1.2 s), no later than the second
        {1'000'000, 1},    // 1 fps: the first second
        {2'000'000, 1},    // 0.5 fps: the first frame is its settling
    };
    for (const auto& c : cases) {
        const std::vector<int> passed = Passed(c.periodUs, 12);
        ASSERT_FALSE(passed.empty()) << c.periodUs;
        EXPECT_EQ(passed.front(), c.firstPassed) << "period " << c.periodUs;
        // Once through, every later frame is.
        EXPECT_EQ(passed.size(), static_cast<std::size_t>(12 - c.firstPassed)) << c.periodUs;
        // The settle time covers the frames held back.
        EXPECT_GE(device::SettleUs(c.periodUs), c.firstPassed * c.periodUs) << c.periodUs;
    }
    EXPECT_EQ(Passed(33'333, 3, false), (std::vector<int>{0, 1, 2})) << "the pattern settles not";
}

TEST(ReaderRules, WaitsAreTheFloorOrThreePeriodsOfASlowDevice) {
    EXPECT_EQ(device::FrameWait(milliseconds(1000), 0), milliseconds(1000));
    EXPECT_EQ(device::FrameWait(milliseconds(1000), 33'333), milliseconds(1000));
    EXPECT_EQ(device::FrameWait(milliseconds(1000), 1'000'000), milliseconds(3000));
    EXPECT_EQ(device::FrameWait(milliseconds(500), 2'000'000), milliseconds(6000));
    // The first frame also waits out the settling: one frame for a camera at 0.5 fps.
    EXPECT_EQ(device::FirstFrameWait(milliseconds(4000), 33'333), milliseconds(4000));
    EXPECT_EQ(device::FirstFrameWait(milliseconds(4000), 2'000'000), milliseconds(8000));
    EXPECT_EQ(device::FirstFrameWait(milliseconds(1000), 1'000'000), milliseconds(4000));
    // A driver's absurd rate (a frame every ten minutes) is taken as one every 2 s.
    EXPECT_EQ(device::FrameWait(milliseconds(1000), 600'000'000), milliseconds(6000));
    EXPECT_EQ(device::FirstFrameWait(milliseconds(4000), 600'000'000), milliseconds(8000));
}

TEST(ReaderRules, AJpegIsWholeWhenItEndsWithItsEndMarkerBeforeAnyPadding) {
    using Bytes = std::vector<std::uint8_t>;
    const struct {
        const char* name;
        Bytes bytes;
        bool whole;
    } cases[] = {
        {"whole", {0xFF, 0xD8, 0x12, 0x34, 0xFF, 0xD9}, true},
        {"padded with zeros", {0xFF, 0xD8, 0x12, 0xFF, 0xD9, 0x00, 0x00, 0x00}, true},
        {"other bytes after the marker", {0xFF, 0xD8, 0x12, 0xFF, 0xD9, 0x55, 0xAA}, true},
        {"cut off", {0xFF, 0xD8, 0x12, 0x34, 0xFF, 0x00, 0x56}, false},
        {"no start marker", {0x00, 0xD8, 0x12, 0xFF, 0xD9}, false},
        {"only markers of nothing", {0xFF, 0xD9}, false},
        {"empty", {}, false},
        {"all padding", {0x00, 0x00, 0x00, 0x00}, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(device::JpegIsWhole(c.bytes.data(), static_cast<int>(c.bytes.size())), c.whole)
            << c.name;
}

}  // namespace
