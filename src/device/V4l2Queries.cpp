// What a V4L2 device offers and what can be set on it: formats, sizes and rates, controls.
#include "device/V4l2Queries.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "av/CaptureLog.h"
#include "device/V4l2Io.h"

namespace device {

using v4l2io::DeviceFd;
using v4l2io::Ioctl;
using v4l2io::Text;

V4l2Modes QueryV4l2Modes(const std::string& path) {
    const DeviceFd fd(path);
    return QueryV4l2Modes(fd.get());
}

V4l2Modes QueryV4l2Modes(int fd) {
    V4l2Modes modes;
    if (fd < 0)
        return modes;
    for (std::uint32_t i = 0;; ++i) {
        v4l2_fmtdesc desc{};
        desc.index = i;
        desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (Ioctl(fd, VIDIOC_ENUM_FMT, &desc) < 0)
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
            if (Ioctl(fd, VIDIOC_ENUM_FRAMESIZES, &size) < 0 ||
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
    const DeviceFd fd(path);
    if (fd.get() < 0)
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

std::vector<V4l2Control> QueryV4l2Controls(int fd) {
    std::vector<V4l2Control> controls;
    if (fd < 0)
        return controls;
    v4l2_queryctrl query{};
    query.id = V4L2_CTRL_FLAG_NEXT_CTRL;
    while (Ioctl(fd, VIDIOC_QUERYCTRL, &query) == 0) {
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
        control.value = Ioctl(fd, VIDIOC_G_CTRL, &current) == 0 ? current.value
                                                                       : query.default_value;
        if (control.kind == V4l2Control::Kind::Menu) {
            for (int index = query.minimum; index <= query.maximum; ++index) {
                v4l2_querymenu item{};
                item.id = id;
                item.index = static_cast<std::uint32_t>(index);
                if (Ioctl(fd, VIDIOC_QUERYMENU, &item) == 0)
                    control.menu.emplace_back(index, Text(item.name, sizeof item.name));
            }
        }
        controls.push_back(std::move(control));
    }
    return controls;
}

bool SetV4l2Control(int fd, std::uint32_t id, int value) {
    v4l2_control control{};
    control.id = id;
    control.value = value;
    if (fd < 0 || Ioctl(fd, VIDIOC_S_CTRL, &control) < 0) {
        qCWarning(lcCapture) << "the device refused control" << id << ":"
                             << std::strerror(fd < 0 ? ENODEV : errno);
        return false;
    }
    return true;
}

}  // namespace device
