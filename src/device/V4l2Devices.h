// V4L2 capture devices: finding them by stable names.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace device {

struct V4l2Device {
    std::string card;        // the driver's card name
    std::string node;        // /dev/videoN
    std::string stablePath;  // /dev/v4l/by-id/... where it exists, else by-path, else node
    std::string driver;
    std::uint32_t version = 0;
};

// Where device nodes are looked for: /dev, or the directory that BRISOLT_DEVICE_DIR names
// (read once; meant for tests that lay out a fake camera in a directory of their own).
const std::string& DeviceDirectory();

// The video capture devices present now under deviceDir (its videoN nodes, with stable
// names from v4l/by-id, else v4l/by-path), in node order. The nodes are asked at once, each
// on a thread of its own, and waited for at most answerWait: a node whose driver does not
// answer by then is left out (logged), and nothing waits for its driver to return.
std::vector<V4l2Device> FindV4l2CaptureDevices(const std::string& deviceDir,
                                               std::chrono::milliseconds answerWait);

}  // namespace device
