// What a V4L2 device offers and what can be set on it: formats, sizes and rates, controls.
// Each query comes for an open descriptor (to be asked on a thread that may hang in the
// driver, see DeviceWorker) and for a path (for the device reader's own thread).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace device {

struct V4l2Modes {
    bool yuyv = false;
    bool mjpeg = false;
    std::vector<std::pair<int, int>> sizes;  // discrete frame sizes offered, largest last
    // The sizes each format offers: webcams commonly send their large sizes only as MJPEG.
    std::vector<std::pair<int, int>> yuyvSizes;
    std::vector<std::pair<int, int>> mjpegSizes;
};

// What the device offers; empty when it cannot be asked.
V4l2Modes QueryV4l2Modes(int fd);
V4l2Modes QueryV4l2Modes(const std::string& path);

// The pixel format to ask the device for, as libavdevice names it ("yuyv422", "mjpeg"), or
// empty for whatever the device is set to. MJPEG when it is asked for; otherwise YUYV, which
// needs no decoding, where the device offers it at width x height (0 x 0: at any size), and
// MJPEG where only MJPEG has that size.
std::string V4l2InputFormat(const V4l2Modes& modes, bool mjpegAsked, int width, int height);

// The fastest frame rate the device offers in a pixel format ("yuyv422", "mjpeg"; empty:
// the one it is set to) at width x height (0 x 0: the size it is set to), written "num/den"
// frames a second as libavdevice takes it; empty when the device does not say. A camera
// keeps the rate the last program set, which may be far below what it can do.
std::string V4l2BestFrameRate(const std::string& path, const std::string& inputFormat,
                              int width, int height);

struct V4l2Control {
    std::uint32_t id = 0;
    std::string name;
    enum class Kind { Integer, Boolean, Menu } kind = Kind::Integer;
    int minimum = 0;
    int maximum = 0;
    int step = 1;
    int value = 0;
    std::vector<std::pair<int, std::string>> menu;  // index and name of each menu entry
};

// The user controls of the device (brightness, contrast, ...) with their current values.
std::vector<V4l2Control> QueryV4l2Controls(int fd);

// Sets one control; false (logged) when the device refuses.
bool SetV4l2Control(int fd, std::uint32_t id, int value);

}  // namespace device
