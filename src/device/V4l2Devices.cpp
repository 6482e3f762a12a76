// V4L2 capture devices: finding them by stable names, their formats and their controls.
#include "device/V4l2Devices.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "av/CaptureLog.h"

namespace device {

namespace fs = std::filesystem;

namespace {

// An open device node, closed on scope exit.
class DeviceFd {
public:
    explicit DeviceFd(const std::string& path)
        : fd_(::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)) {}
    ~DeviceFd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    DeviceFd(const DeviceFd&) = delete;
    DeviceFd& operator=(const DeviceFd&) = delete;
    bool ok() const { return fd_ >= 0; }
    int get() const { return fd_; }

private:
    int fd_;
};

int Ioctl(int fd, unsigned long request, void* arg) {
    int rc;
    do {
        rc = ::ioctl(fd, request, arg);
    } while (rc < 0 && errno == EINTR);
    return rc;
}

std::string Text(const __u8* bytes, std::size_t size) {
    const auto* text = reinterpret_cast<const char*>(bytes);
    return std::string(text, strnlen(text, size));
}

// The first link in dir that resolves to node.
std::string LinkTo(const std::string& dir, const std::string& node) {
    std::error_code ec;
    const fs::path target = fs::canonical(node, ec);
    if (ec)
        return {};
    std::vector<std::string> links;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
        std::error_code resolve;
        if (fs::canonical(entry.path(), resolve) == target && !resolve)
            links.push_back(entry.path().string());
    }
    std::sort(links.begin(), links.end());
    return links.empty() ? std::string() : links.front();
}

}  // namespace

const std::string& DeviceDirectory() {
    static const std::string dir = [] {
        const char* chosen = std::getenv("BRISOLT_DEVICE_DIR");
        return std::string(chosen != nullptr && *chosen != '\0' ? chosen : "/dev");
    }();
    return dir;
}

std::vector<V4l2Device> FindV4l2CaptureDevices(const std::string& deviceDir) {
    std::vector<std::pair<int, std::string>> nodes;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(deviceDir, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("video", 0) == 0 && name.size() > 5 &&
            std::all_of(name.begin() + 5, name.end(),
                        [](unsigned char c) { return std::isdigit(c) != 0; }))
            nodes.emplace_back(std::stoi(name.substr(5)), entry.path().string());
    }
    std::sort(nodes.begin(), nodes.end());
    std::vector<V4l2Device> devices;
    for (const auto& [number, node] : nodes) {
        DeviceFd fd(node);
        v4l2_capability cap{};
        if (!fd.ok() || Ioctl(fd.get(), VIDIOC_QUERYCAP, &cap) < 0)
            continue;
        const std::uint32_t caps =
            (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
        // Metadata and output nodes of the same camera are not capture devices.
        if (!(caps & V4L2_CAP_VIDEO_CAPTURE))
            continue;
        V4l2Device device;
        device.card = Text(cap.card, sizeof cap.card);
        device.driver = Text(cap.driver, sizeof cap.driver);
        device.version = cap.version;
        device.node = node;
        device.stablePath = LinkTo(deviceDir + "/v4l/by-id", node);
        if (device.stablePath.empty())
            device.stablePath = LinkTo(deviceDir + "/v4l/by-path", node);
        if (device.stablePath.empty())
            device.stablePath = node;
        devices.push_back(std::move(device));
    }
    return devices;
}

V4l2Modes QueryV4l2Modes(const std::string& path) {
    V4l2Modes modes;
    DeviceFd fd(path);
    if (!fd.ok())
        return modes;
    for (std::uint32_t i = 0;; ++i) {
        v4l2_fmtdesc desc{};
        desc.index = i;
        desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (Ioctl(fd.get(), VIDIOC_ENUM_FMT, &desc) < 0)
            break;
        std::vector<std::pair<int, int>>* formatSizes = nullptr;
        if (desc.pixelformat == V4L2_PIX_FMT_YUYV) {
            modes.yuyv = true;
            formatSizes = &modes.yuyvSizes;
        }
        if (desc.pixelformat == V4L2_PIX_FMT_MJPEG || desc.pixelformat == V4L2_PIX_FMT_JPEG) {
            modes.mjpeg = true;
            formatSizes = &modes.mjpegSizes;
        }
        for (std::uint32_t j = 0;; ++j) {
            v4l2_frmsizeenum size{};
            size.index = j;
            size.pixel_format = desc.pixelformat;
            if (Ioctl(fd.get(), VIDIOC_ENUM_FRAMESIZES, &size) < 0 ||
                size.type != V4L2_FRMSIZE_TYPE_DISCRETE)
                break;
            std::pair<int, int> wh{static_cast<int>(size.discrete.width),
                                   static_cast<int>(size.discrete.height)};
            if (std::find(modes.sizes.begin(), modes.sizes.end(), wh) == modes.sizes.end())
                modes.sizes.push_back(wh);
            if (formatSizes != nullptr &&
                std::find(formatSizes->begin(), formatSizes->end(), wh) == formatSizes->end())
                formatSizes->push_back(wh);
        }
    }
    std::sort(modes.sizes.begin(), modes.sizes.end(),
              [](auto a, auto b) { return a.first * a.second < b.first * b.second; });
    return modes;
}

std::string V4l2InputFormat(const V4l2Modes& modes, bool mjpegAsked, int width, int height) {
    if (mjpegAsked)
        return "mjpeg";
    const auto offers = [&](const std::vector<std::pair<int, int>>& sizes) {
        return std::find(sizes.begin(), sizes.end(), std::pair{width, height}) != sizes.end();
    };
    const bool anySize = width <= 0 || height <= 0;
    if (modes.yuyv && (anySize || offers(modes.yuyvSizes)))
        return "yuyv422";
    if (modes.mjpeg && !anySize && offers(modes.mjpegSizes))
        return "mjpeg";
    // A size no format lists (the device's own, say): YUYV where there is one, as before.
    return modes.yuyv ? "yuyv422" : "";
}

std::string V4l2BestFrameRate(const std::string& path, const std::string& inputFormat,
                              int width, int height) {
    constexpr std::uint32_t kMaxIntervals = 64;
    DeviceFd fd(path);
    if (!fd.ok())
        return {};
    v4l2_format current{};
    current.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (Ioctl(fd.get(), VIDIOC_G_FMT, &current) < 0)
        return {};
    v4l2_frmivalenum interval{};
    interval.pixel_format = inputFormat == "yuyv422" ? V4L2_PIX_FMT_YUYV
                            : inputFormat == "mjpeg" ? V4L2_PIX_FMT_MJPEG
                                                     : current.fmt.pix.pixelformat;
    const bool ownSize = width <= 0 || height <= 0;
    // The size the device will stream in that format: the one asked for (or its own size)
    // as the driver adjusts it, which opening the device will agree to as well.
    v4l2_format tried = current;
    tried.fmt.pix.pixelformat = interval.pixel_format;
    if (!ownSize) {
        tried.fmt.pix.width = static_cast<std::uint32_t>(width);
        tried.fmt.pix.height = static_cast<std::uint32_t>(height);
    }
    if (Ioctl(fd.get(), VIDIOC_TRY_FMT, &tried) < 0)
        tried = current;
    interval.width = tried.fmt.pix.width;
    interval.height = tried.fmt.pix.height;
    // The shortest time per frame, as a fraction of a second.
    v4l2_fract best{0, 0};
    const auto take = [&](v4l2_fract f) {
        if (f.numerator == 0 || f.denominator == 0)
            return;
        if (best.denominator == 0 || std::uint64_t(f.numerator) * best.denominator <
                                         std::uint64_t(best.numerator) * f.denominator)
            best = f;
    };
    // Bounded: a driver that never says "no more" must not hold the reader.
    for (interval.index = 0; interval.index < kMaxIntervals &&
                             Ioctl(fd.get(), VIDIOC_ENUM_FRAMEINTERVALS, &interval) == 0;
         ++interval.index) {
        if (interval.type == V4L2_FRMIVAL_TYPE_DISCRETE) {
            take(interval.discrete);
        } else {
            take(interval.stepwise.min);  // stepwise and continuous ranges list one entry
            break;
        }
    }
    if (best.denominator == 0)
        return {};
    return std::to_string(best.denominator) + "/" + std::to_string(best.numerator);
}

std::vector<V4l2Control> QueryV4l2Controls(const std::string& path) {
    std::vector<V4l2Control> controls;
    DeviceFd fd(path);
    if (!fd.ok())
        return controls;
    v4l2_queryctrl query{};
    query.id = V4L2_CTRL_FLAG_NEXT_CTRL;
    while (Ioctl(fd.get(), VIDIOC_QUERYCTRL, &query) == 0) {
        const std::uint32_t id = query.id;
        query.id |= V4L2_CTRL_FLAG_NEXT_CTRL;
        if (query.flags & (V4L2_CTRL_FLAG_DISABLED | V4L2_CTRL_FLAG_READ_ONLY))
            continue;
        V4l2Control control;
        switch (query.type) {
        case V4L2_CTRL_TYPE_INTEGER: control.kind = V4l2Control::Kind::Integer; break;
        case V4L2_CTRL_TYPE_BOOLEAN: control.kind = V4l2Control::Kind::Boolean; break;
        case V4L2_CTRL_TYPE_MENU: control.kind = V4l2Control::Kind::Menu; break;
        default: continue;  // buttons, classes and compound controls are not offered
        }
        control.id = id;
        control.name = Text(query.name, sizeof query.name);
        control.minimum = query.minimum;
        control.maximum = query.maximum;
        control.step = std::max(1, query.step);
        v4l2_control current{};
        current.id = id;
        control.value = Ioctl(fd.get(), VIDIOC_G_CTRL, &current) == 0 ? current.value
                                                                       : query.default_value;
        if (control.kind == V4l2Control::Kind::Menu) {
            for (int index = query.minimum; index <= query.maximum; ++index) {
                v4l2_querymenu item{};
                item.id = id;
                item.index = static_cast<std::uint32_t>(index);
                if (Ioctl(fd.get(), VIDIOC_QUERYMENU, &item) == 0)
                    control.menu.emplace_back(index, Text(item.name, sizeof item.name));
            }
        }
        controls.push_back(std::move(control));
    }
    return controls;
}

bool SetV4l2Control(const std::string& path, std::uint32_t id, int value) {
    DeviceFd fd(path);
    v4l2_control control{};
    control.id = id;
    control.value = value;
    if (!fd.ok() || Ioctl(fd.get(), VIDIOC_S_CTRL, &control) < 0) {
        qCWarning(lcCapture).noquote()
            << "device" << path.c_str() << "refused control" << id << ":" << std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace device
