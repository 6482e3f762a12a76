// The driver list over FFmpeg: the V4L2 capture devices, then the built-in test pattern.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "device/V4l2Devices.h"
#include "platform/capwin/CaptureWindow.h"
#include "platform/capwin/FfmpegCaptureWindow.h"

class FfmpegDriverRegistry : public CaptureDriverRegistry {
public:
    enum class Devices { Scan, None };
    static constexpr int kMaxDrivers = 10;
    static constexpr const char* kTestPatternName = "Brisolt test pattern (built-in)";

    // Lists the devices present now under deviceDir (or none, for a machine-independent
    // list), waiting at most answerWait for their drivers to answer: one that hangs is left
    // out.
    explicit FfmpegDriverRegistry(
        Devices devices = Devices::Scan, const std::string& deviceDir = device::DeviceDirectory(),
        std::chrono::milliseconds answerWait = std::chrono::milliseconds(1000));

    BOOL capGetDriverDescriptionA(UINT driverIndex, char* name, int nameSize, char* version,
                                  int versionSize) override;
    CaptureWindow* capCreateCaptureWindowA(const char* windowName, DWORD style, int x, int y,
                                           int width, int height, QWidget* parent,
                                           int id) override;

    const std::vector<capwin::DriverEntry>& drivers() const { return drivers_; }
    int testPatternIndex() const { return static_cast<int>(drivers_.size()) - 1; }

    // Time limits of this registry's capture windows, also of those that exist already.
    capwin::CaptureWindowSettings& settings() { return *settings_; }
    // Makes the test pattern stall, like a camera that dies, after frames more frames
    // (0: at once, or at connect, which then fails; negative: never again). It takes effect
    // at once, also in windows that are connected. With recovers, every reopening of the
    // pattern delivers frames again (as a camera back after a resume), stalling again after
    // as many frames.
    void setTestPatternStall(long long frames, bool recovers = false);

private:
    std::vector<capwin::DriverEntry> drivers_;
    std::shared_ptr<capwin::CaptureWindowSettings> settings_ =
        std::make_shared<capwin::CaptureWindowSettings>();
    std::shared_ptr<device::TestPatternFault> fault_ = std::make_shared<device::TestPatternFault>();
};
