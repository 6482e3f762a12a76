// The driver list over FFmpeg: the V4L2 capture devices, then the built-in test pattern.
#pragma once

#include <vector>

#include "platform/capwin/CaptureWindow.h"
#include "platform/capwin/FfmpegCaptureWindow.h"

class FfmpegDriverRegistry : public CaptureDriverRegistry {
public:
    enum class Devices { Scan, None };
    static constexpr int kMaxDrivers = 10;
    static constexpr const char* kTestPatternName = "Brisolt test pattern (built-in)";

    // Lists the devices present now (or none, for a machine-independent list).
    explicit FfmpegDriverRegistry(Devices devices = Devices::Scan);

    BOOL capGetDriverDescriptionA(UINT driverIndex, char* name, int nameSize, char* version,
                                  int versionSize) override;
    CaptureWindow* capCreateCaptureWindowA(const char* windowName, DWORD style, int x, int y,
                                           int width, int height, QWidget* parent,
                                           int id) override;

    const std::vector<capwin::DriverEntry>& drivers() const { return drivers_; }
    int testPatternIndex() const { return static_cast<int>(drivers_.size()) - 1; }

    // Time limits and test-pattern faults of the windows created from now on.
    capwin::CaptureWindowSettings& settings() { return settings_; }
    // Makes the test pattern stall after frames frames (0: it never sends one), like a
    // camera that dies; with recovers it delivers again once reopened.
    void setTestPatternStall(long long frames, bool recovers = false);

private:
    std::vector<capwin::DriverEntry> drivers_;
    capwin::CaptureWindowSettings settings_;
};
