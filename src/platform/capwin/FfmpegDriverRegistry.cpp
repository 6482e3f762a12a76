// The driver list over FFmpeg: the V4L2 capture devices, then the built-in test pattern.
#include "platform/capwin/FfmpegDriverRegistry.h"

#include <algorithm>
#include <cstring>

#include "av/CaptureLog.h"
#include "device/V4l2Devices.h"

extern "C" {
#include <libavutil/avutil.h>
}

namespace {

// Copies text into a buffer of size bytes, cut to fit and always zero-terminated.
void CopyText(const std::string& text, char* out, int size) {
    if (out == nullptr || size <= 0)
        return;
    const std::size_t n = std::min(text.size(), static_cast<std::size_t>(size - 1));
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
}

std::string KernelVersion(std::uint32_t v) {
    return std::to_string((v >> 16) & 0xff) + "." + std::to_string((v >> 8) & 0xff) + "." +
           std::to_string(v & 0xff);
}

}  // namespace

FfmpegDriverRegistry::FfmpegDriverRegistry(Devices devices, const std::string& deviceDir,
                                           std::chrono::milliseconds answerWait) {
    if (devices == Devices::Scan) {
        for (const device::V4l2Device& device : device::FindV4l2CaptureDevices(deviceDir, answerWait)) {
            if (static_cast<int>(drivers_.size()) >= kMaxDrivers - 1)
                break;
            capwin::DriverEntry entry;
            // The stable path tells two cameras of one model apart, and stays the same
            // when the device comes back under another /dev/videoN.
            entry.name = device.card + " (" + device.stablePath + ")";
            entry.version = "V4L2 " + device.driver + " " + KernelVersion(device.version);
            entry.kind = device::DeviceKind::V4l2;
            entry.path = device.stablePath;
            qCInfo(lcCapture).noquote() << "capture device" << QString::fromStdString(entry.name);
            drivers_.push_back(std::move(entry));
        }
    }
    capwin::DriverEntry pattern;
    pattern.name = kTestPatternName;
    pattern.version = std::string("FFmpeg lavfi ") + av_version_info();
    pattern.kind = device::DeviceKind::TestPattern;
    drivers_.push_back(std::move(pattern));
}

BOOL FfmpegDriverRegistry::capGetDriverDescriptionA(UINT driverIndex, char* name, int nameSize,
                                                    char* version, int versionSize) {
    if (driverIndex >= drivers_.size())
        return FALSE;
    CopyText(drivers_[driverIndex].name, name, nameSize);
    CopyText(drivers_[driverIndex].version, version, versionSize);
    return TRUE;
}

CaptureWindow* FfmpegDriverRegistry::capCreateCaptureWindowA(const char* windowName, DWORD style,
                                                             int x, int y, int width, int height,
                                                             QWidget* parent, int id) {
    if (width <= 0 || height <= 0) {
        qCWarning(lcCapture) << "capture window refused: size" << width << "x" << height;
        return nullptr;
    }
    auto* window = new FfmpegCaptureWindow(drivers_, settings_, fault_, parent);
    window->setObjectName(QString::fromLocal8Bit(windowName ? windowName : ""));
    window->setProperty("childId", id);
    window->setGeometry(x, y, width, height);
    if (style & WS_VISIBLE)
        window->show();
    else
        window->hide();
    return window;
}

void FfmpegDriverRegistry::setTestPatternStall(long long frames, bool recovers) {
    fault_->set(frames, recovers);
}
