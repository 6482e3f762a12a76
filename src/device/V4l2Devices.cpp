// V4L2 capture devices: finding them by stable names.
#include "device/V4l2Devices.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <future>
#include <memory>
#include <optional>

#include "av/CaptureLog.h"
#include "device/DeviceWorker.h"
#include "device/V4l2Io.h"

namespace device {

namespace fs = std::filesystem;
using v4l2io::Ioctl;
using v4l2io::Text;

namespace {

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

// The videoN nodes under deviceDir, in node order.
std::vector<std::string> VideoNodes(const std::string& deviceDir) {
    std::vector<std::pair<int, std::string>> numbered;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(deviceDir, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("video", 0) == 0 && name.size() > 5 &&
            std::all_of(name.begin() + 5, name.end(),
                        [](unsigned char c) { return std::isdigit(c) != 0; }))
            numbered.emplace_back(std::stoi(name.substr(5)), entry.path().string());
    }
    std::sort(numbered.begin(), numbered.end());
    std::vector<std::string> nodes;
    for (auto& [number, node] : numbered)
        nodes.push_back(std::move(node));
    return nodes;
}

// What a node's driver says of itself, when it is a video capture device.
std::optional<V4l2Device> CaptureDevice(int fd) {
    v4l2_capability cap{};
    if (fd < 0 || Ioctl(fd, VIDIOC_QUERYCAP, &cap) < 0)
        return std::nullopt;
    const std::uint32_t caps =
        (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
    // Metadata and output nodes of the same camera are not capture devices.
    if (!(caps & V4L2_CAP_VIDEO_CAPTURE))
        return std::nullopt;
    V4l2Device device;
    device.card = Text(cap.card, sizeof cap.card);
    device.driver = Text(cap.driver, sizeof cap.driver);
    device.version = cap.version;
    return device;
}

}  // namespace

const std::string& DeviceDirectory() {
    static const std::string dir = [] {
        const char* chosen = std::getenv("BRISOLT_DEVICE_DIR");
        return std::string(chosen != nullptr && *chosen != '\0' ? chosen : "/dev");
    }();
    return dir;
}

std::vector<V4l2Device> FindV4l2CaptureDevices(const std::string& deviceDir,
                                               std::chrono::milliseconds answerWait) {
    // Every node is asked at once; the wait for all of them ends at one deadline.
    struct Asked {
        std::string node;
        std::unique_ptr<DeviceWorker> worker;
        std::future<std::optional<V4l2Device>> answer;
    };
    std::vector<Asked> asked;
    for (std::string& node : VideoNodes(deviceDir)) {
        auto worker = std::make_unique<DeviceWorker>(node, std::chrono::milliseconds(0));
        auto answer = worker->ask([](int fd) { return CaptureDevice(fd); });
        asked.push_back({std::move(node), std::move(worker), std::move(answer)});
    }
    const auto deadline = std::chrono::steady_clock::now() + answerWait;
    std::vector<V4l2Device> devices;
    for (Asked& a : asked) {
        if (a.answer.wait_until(deadline) != std::future_status::ready) {
            qCWarning(lcCapture).noquote()
                << "the device" << QString::fromStdString(a.node) << "did not answer within"
                << answerWait.count() << "ms; it is not listed";
            continue;
        }
        std::optional<V4l2Device> device = a.answer.get();
        if (!device)
            continue;
        device->node = a.node;
        device->stablePath = LinkTo(deviceDir + "/v4l/by-id", a.node);
        if (device->stablePath.empty())
            device->stablePath = LinkTo(deviceDir + "/v4l/by-path", a.node);
        if (device->stablePath.empty())
            device->stablePath = a.node;
        devices.push_back(std::move(*device));
    }
    return devices;
}

}  // namespace device
