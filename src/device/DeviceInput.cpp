// A device or the test pattern opened through libavdevice, read packet by packet.
#include "device/DeviceInput.h"

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>

#include <dirent.h>

#include "av/CaptureLog.h"

extern "C" {
#include <libavdevice/avdevice.h>
}

namespace device {

namespace {

void RegisterDevicesOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        av::ForwardFfmpegLog();
        avdevice_register_all();
    });
}

// The descriptors this process has open now, less the one that reads the list: it is
// closed again at once, and the device opened next may well get its number.
std::set<int> OpenDescriptors() {
    std::set<int> fds;
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr)
        return fds;
    const int own = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end != entry->d_name && *end == '\0' && fd != own)
            fds.insert(static_cast<int>(fd));
    }
    ::closedir(dir);
    return fds;
}

// The descriptor that libavdevice opened on the device node: the one that is new since
// before and leads to the node. -1 when there is no single such descriptor.
int FindDeviceDescriptor(const std::set<int>& before, const std::string& devicePath) {
    std::error_code ec;
    const std::filesystem::path node = std::filesystem::canonical(devicePath, ec);
    if (ec)
        return -1;
    int found = -1;
    for (int fd : OpenDescriptors()) {
        if (before.count(fd) != 0)
            continue;
        std::error_code link;
        const auto target =
            std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), link);
        if (!link && target == node) {
            if (found >= 0)
                return -1;
            found = fd;
        }
    }
    return found;
}

// libavdevice's options for a V4L2 device: the size, format and rate asked for.
av::DictionaryPtr V4l2Options(const SourceRequest& request) {
    AVDictionary* options = nullptr;
    if (request.width > 0 && request.height > 0) {
        const std::string size =
            std::to_string(request.width) + "x" + std::to_string(request.height);
        av_dict_set(&options, "video_size", size.c_str(), 0);
    }
    if (!request.inputFormat.empty())
        av_dict_set(&options, "input_format", request.inputFormat.c_str(), 0);
    if (!request.frameRate.empty())
        av_dict_set(&options, "framerate", request.frameRate.c_str(), 0);
    // The kernel's own time stamps are left as they come: on the monotonic clock for every
    // current driver, the clock the requests are measured on, so a frame taken after a
    // request is told from one that waited in the driver's queue, and a step of the wall
    // clock cannot make new frames look old.
    return av::DictionaryPtr(options);
}

}  // namespace

AVRational FrameRate(const AVStream& stream) {
    const AVRational average = stream.avg_frame_rate;
    return average.num > 0 && average.den > 0 ? average : stream.r_frame_rate;
}

std::unique_ptr<LibavInput> LibavInput::Open(const SourceRequest& request,
                                             AVIOInterruptCB interrupt, int* error) {
    RegisterDevicesOnce();
    *error = 0;
    const bool v4l2 = request.kind == DeviceKind::V4l2;
    const char* formatName = v4l2 ? "video4linux2" : "lavfi";
    const AVInputFormat* format = av_find_input_format(formatName);
    if (format == nullptr) {
        qCWarning(lcCapture) << "FFmpeg has no input format" << formatName;
        return {};
    }
    AVFormatContext* ctx = avformat_alloc_context();
    if (ctx == nullptr)
        return {};
    ctx->interrupt_callback = interrupt;
    av::DictionaryPtr options;
    std::string url;
    if (v4l2) {
        // Non-blocking, so that a device that stops sending cannot hold the reader (and a
        // disconnect waiting for it) in VIDIOC_DQBUF.
        ctx->flags |= AVFMT_FLAG_NONBLOCK;
        url = request.path;
        options = V4l2Options(request);
    } else {
        url = TestPatternGraph(request);
    }
    AVDictionary* opts = options.release();
    const std::set<int> descriptorsBefore = v4l2 ? OpenDescriptors() : std::set<int>();
    const int rc = avformat_open_input(&ctx, url.c_str(), format, &opts);
    const av::DictionaryPtr leftover(opts);
    if (rc < 0) {
        // avformat_open_input frees the context on failure.
        *error = rc;
        if (request.quietOpen)
            qCDebug(lcCapture).noquote() << "cannot open" << QString::fromStdString(url) << ":"
                                         << QString::fromStdString(av::AvError(rc));
        else
            qCWarning(lcCapture).noquote() << "cannot open" << QString::fromStdString(url) << ":"
                                           << QString::fromStdString(av::AvError(rc));
        return {};
    }
    std::unique_ptr<LibavInput> input(new LibavInput);
    input->input_.reset(ctx);
    input->descriptor_ = v4l2 ? FindDeviceDescriptor(descriptorsBefore, request.path) : -1;
    if (v4l2 && input->descriptor_ < 0)
        qCDebug(lcCapture) << "the device's descriptor is not known; waiting a frame period "
                              "between reads";
    input->stream_ = av_find_best_stream(ctx, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (input->stream_ < 0) {
        qCWarning(lcCapture) << "device has no video stream:" << url.c_str();
        return {};
    }
    const AVStream& stream = input->stream();
    const AVRational rate = FrameRate(stream);
    qCInfo(lcCapture).noquote() << "opened" << QString::fromStdString(url)
                                << stream.codecpar->width << "x" << stream.codecpar->height
                                << avcodec_get_name(stream.codecpar->codec_id) << "at"
                                << (rate.den > 0 ? av_q2d(rate) : 0.0) << "frames a second";
    return input;
}

int LibavInput::read(AVPacket* packet) {
    for (;;) {
        const int rc = av_read_frame(input_.get(), packet);
        if (rc < 0 || packet->stream_index == stream_)
            return rc;
        av_packet_unref(packet);
    }
}

}  // namespace device
