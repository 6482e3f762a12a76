// Which pixel format the capture window asks a V4L2 camera for: YUYV where the camera has the
// size in it, MJPEG where only MJPEG has it or where MJPEG is chosen.
#include "device/V4l2Queries.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using device::V4l2InputFormat;
using device::V4l2Modes;

V4l2Modes Webcam() {
    // Like most UVC webcams: YUYV up to 720p, MJPEG also at 1080p.
    V4l2Modes modes;
    modes.yuyv = modes.mjpeg = true;
    modes.yuyvSizes = {{640, 480}, {1280, 720}};
    modes.mjpegSizes = {{640, 480}, {1280, 720}, {1920, 1080}};
    modes.sizes = modes.mjpegSizes;
    return modes;
}

TEST(V4l2InputFormat, PrefersYuyvAndFallsBackToMjpegForSizesOnlyMjpegHas) {
    V4l2Modes mjpegOnly;
    mjpegOnly.mjpeg = true;
    mjpegOnly.mjpegSizes = mjpegOnly.sizes = {{640, 480}, {1920, 1080}};
    V4l2Modes yuyvOnly;
    yuyvOnly.yuyv = true;
    yuyvOnly.yuyvSizes = yuyvOnly.sizes = {{640, 480}};
    const struct {
        const char* name;
        V4l2Modes modes;
        bool mjpegAsked;
        int width, height;
        const char* expected;
    } cases[] = {
        {"raw size in YUYV", Webcam(), false, 1280, 720, "yuyv422"},
        {"1080p only in MJPEG", Webcam(), false, 1920, 1080, "mjpeg"},
        {"MJPEG asked at a YUYV size", Webcam(), true, 640, 480, "mjpeg"},
        {"the device's own size", Webcam(), false, 0, 0, "yuyv422"},
        {"a size no format lists", Webcam(), false, 800, 600, "yuyv422"},
        {"MJPEG-only camera at its size", mjpegOnly, false, 1920, 1080, "mjpeg"},
        {"MJPEG-only camera, its own size", mjpegOnly, false, 0, 0, ""},
        {"YUYV-only camera, size it lacks", yuyvOnly, false, 1920, 1080, "yuyv422"},
        {"nothing known about the camera", V4l2Modes{}, false, 640, 480, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(V4l2InputFormat(c.modes, c.mjpegAsked, c.width, c.height), c.expected)
            << c.name;
}

}  // namespace
