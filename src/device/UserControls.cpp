// The controls the user set on a device, applied again at every open of it.
#include "device/UserControls.h"

#include <cstring>
#include <utility>
#include <vector>

#include "av/CaptureLog.h"
#include "device/V4l2Io.h"

namespace device {

using v4l2io::Ioctl;

void UserControls::remember(std::uint32_t id, int value) {
    std::lock_guard lock(mutex_);
    values_[id] = value;
    reported_.erase(id);  // a new value that is refused again is worth a new line
}

bool UserControls::empty() const {
    std::lock_guard lock(mutex_);
    return values_.empty();
}

void UserControls::applyTo(int fd, const std::string& path) {
    std::vector<std::pair<std::uint32_t, int>> values;
    {
        // Not held across the ioctls: a driver may take its time, and the window's thread
        // must be able to remember the next change meanwhile.
        std::lock_guard lock(mutex_);
        values.assign(values_.begin(), values_.end());
    }
    for (const auto& [id, value] : values) {
        v4l2_control control{};
        control.id = id;
        control.value = value;
        if (fd >= 0 && Ioctl(fd, VIDIOC_S_CTRL, &control) == 0)
            continue;
        const int error = fd < 0 ? ENODEV : errno;
        std::lock_guard lock(mutex_);
        if (!reported_.insert(id).second)
            continue;
        const QString name = QStringLiteral("0x%1:").arg(id, 8, 16, QLatin1Char('0'));
        qCWarning(lcCapture).noquote()
            << "the device" << QString::fromStdString(path) << "refuses the value" << value
            << "the user set for control" << name << std::strerror(error) << "(skipped)";
    }
}

}  // namespace device
