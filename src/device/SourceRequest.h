// What a device reader is asked to open: the kind of device, its path, size, format and rate.
#pragma once

#include <memory>
#include <string>

#include "device/TestPattern.h"

namespace device {

class TestPatternFault;

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
inline std::string TestPatternGraph(const SourceRequest& request) {
    return TestPatternGraph(request.pattern, request.width, request.height,
                            request.framesPerSecond);
}

}  // namespace device
