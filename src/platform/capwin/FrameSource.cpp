// The device reader: a worker thread that keeps only the newest frame of a device.
#include "platform/capwin/FrameSource.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>

#include <poll.h>
#include <unistd.h>

#include "platform/capwin/CLocaleScope.h"
#include "platform/capwin/CapwinLog.h"

extern "C" {
#include <libavdevice/avdevice.h>
#include <libavutil/time.h>
}

namespace capwin {

namespace {

// A non-blocking V4L2 device answers EAGAIN between frames. The reader then waits on the
// device's descriptor for the next frame, at most this long before it looks at the stop
// flag again...
constexpr int kDeviceWaitMs = 50;
// ...or, where it cannot find the descriptor, sleeps this long before it asks again.
constexpr auto kIdlePoll = std::chrono::milliseconds(3);

// The descriptors this process has open now.
std::set<int> OpenDescriptors() {
    std::set<int> fds;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
        const std::string name = entry.path().filename().string();
        char* end = nullptr;
        const long fd = std::strtol(name.c_str(), &end, 10);
        if (end != name.c_str() && *end == '\0')
            fds.insert(static_cast<int>(fd));
    }
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

// Kernel time stamps further than this from the monotonic clock are taken as unusable.
constexpr std::int64_t kPlausibleUs = 5'000'000;

PacketPtr RefPacket(const AVPacket* packet) {
    PacketPtr copy = MakePacket();
    if (!copy || av_packet_ref(copy.get(), packet) < 0)
        return {};
    return copy;
}

// A packet of its own for one of libavdevice's V4L2 packets, which lie in the device's
// mapped buffers: those are unmapped when the device closes, while the newest packet is kept
// (and may be decoded) after that.
PacketPtr OwnedCopy(const AVPacket* packet) {
    PacketPtr copy = MakePacket();
    if (!copy || av_new_packet(copy.get(), packet->size) < 0 ||
        av_packet_copy_props(copy.get(), packet) < 0)
        return {};
    std::memcpy(copy->data, packet->data, static_cast<std::size_t>(packet->size));
    return copy;
}

void RegisterDevicesOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        ForwardFfmpegLog();
        avdevice_register_all();
    });
}

}  // namespace

void TestPatternFault::set(long long frames, bool recovers) {
    perOpening_ = recovers && frames >= 0 ? frames : -1;
    remaining_ = frames < 0 ? -1 : frames;
}

void TestPatternFault::onOpening() {
    const long long frames = perOpening_.load();
    if (frames >= 0)
        remaining_ = frames;
}

bool TestPatternFault::take() {
    long long left = remaining_.load();
    while (left > 0 && !remaining_.compare_exchange_weak(left, left - 1)) {
    }
    return left != 0;
}

const char* TestPatternName(TestPattern pattern) {
    switch (pattern) {
    case TestPattern::Gradients: return "Moving gradients";
    case TestPattern::HueBars: return "Colour bars, cycling hue";
    case TestPattern::Life: return "Game of life";
    }
    return "?";
}

std::string TestPatternGraph(const SourceRequest& request) {
    // None of these draws text, so the rows where the time stamp goes stay free; realtime
    // paces the generator like a camera instead of as fast as the CPU allows.
    const std::string size = std::to_string(request.width) + "x" + std::to_string(request.height);
    const std::string rate = std::to_string(request.framesPerSecond);
    switch (request.pattern) {
    case TestPattern::HueBars:
        return "smptebars=s=" + size + ":r=" + rate + ",hue=h=t*40,realtime";
    case TestPattern::Life:
        return "life=s=" + size + ":r=" + rate +
               ":mold=10:ratio=0.3:life_color=#60c0ff:death_color=#202040:mold_color=#405080,"
               "realtime";
    case TestPattern::Gradients:
        break;
    }
    // Fixed colours and seed: the pattern looks the same on every run (by default
    // gradients picks random colours), and no pure red, which the tests paint. Smooth
    // gradients scale up without a visible loss, so they are drawn at a quarter of the
    // size: that cuts what the pattern costs while it runs for days by about four.
    const std::string small = std::to_string(std::max(16, request.width / 4)) + "x" +
                              std::to_string(std::max(16, request.height / 4));
    return "gradients=s=" + small + ":r=" + rate +
           ":c0=0x1a3a6e:c1=0x3fa7a0:c2=0xe0c060:nb_colors=3:seed=1:speed=0.02,"
           "scale=" + std::to_string(request.width) + ":" + std::to_string(request.height) +
           ":flags=bilinear,realtime";
}

FrameSource::FrameSource(SourceRequest request) : request_(std::move(request)) {}

FrameSource::~FrameSource() { stop(); }

void FrameSource::start() {
    if (thread_.joinable() || abort_)
        return;
    if (request_.fault)
        request_.fault->onOpening();
    thread_ = std::thread([this] { run(); });
}

void FrameSource::stop() {
    abort_ = true;
    if (thread_.joinable())
        thread_.join();
}

int FrameSource::interrupted(void* self) {
    return static_cast<FrameSource*>(self)->abort_.load() ? 1 : 0;
}

bool FrameSource::open(InputContextPtr* input, int* stream) {
    RegisterDevicesOnce();
    const bool v4l2 = request_.kind == DeviceKind::V4l2;
    const char* formatName = v4l2 ? "video4linux2" : "lavfi";
    const AVInputFormat* format = av_find_input_format(formatName);
    if (format == nullptr) {
        qCWarning(lcCapwin) << "FFmpeg has no input format" << formatName;
        return false;
    }
    AVFormatContext* ctx = avformat_alloc_context();
    if (ctx == nullptr)
        return false;
    ctx->interrupt_callback = {&FrameSource::interrupted, this};
    AVDictionary* raw = nullptr;
    std::string url;
    if (v4l2) {
        // Non-blocking, so that a device that stops sending cannot hold the reader (and a
        // disconnect waiting for it) in VIDIOC_DQBUF.
        ctx->flags |= AVFMT_FLAG_NONBLOCK;
        url = request_.path;
        if (request_.width > 0 && request_.height > 0) {
            const std::string size =
                std::to_string(request_.width) + "x" + std::to_string(request_.height);
            av_dict_set(&raw, "video_size", size.c_str(), 0);
        }
        if (!request_.inputFormat.empty())
            av_dict_set(&raw, "input_format", request_.inputFormat.c_str(), 0);
        // The kernel's own time stamps are left as they come: on the monotonic clock for
        // every current driver, the clock the requests are measured on, so a frame taken
        // after a request is told from one that waited in the driver's queue, and a step of
        // the wall clock cannot make new frames look old.
    } else {
        url = TestPatternGraph(request_);
    }
    AVDictionary* opts = raw;
    const std::set<int> descriptorsBefore = v4l2 ? OpenDescriptors() : std::set<int>();
    const int rc = avformat_open_input(&ctx, url.c_str(), format, &opts);
    std::unique_ptr<AVDictionary, DictionaryDeleter> leftover(opts);
    if (rc < 0) {
        // avformat_open_input frees the context on failure.
        openError_ = rc;
        qCWarning(lcCapwin).noquote() << "cannot open" << QString::fromStdString(url) << ":"
                                      << QString::fromStdString(AvError(rc));
        return false;
    }
    input->reset(ctx);
    deviceFd_ = v4l2 ? FindDeviceDescriptor(descriptorsBefore, request_.path) : -1;
    const int index = av_find_best_stream(ctx, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (index < 0) {
        qCWarning(lcCapwin) << "device has no video stream:" << url.c_str();
        return false;
    }
    const AVCodecParameters* par = ctx->streams[index]->codecpar;
    const AVCodec* codec = avcodec_find_decoder(par->codec_id);
    CodecContextPtr decoder(codec ? avcodec_alloc_context3(codec) : nullptr);
    if (!decoder || avcodec_parameters_to_context(decoder.get(), par) < 0 ||
        avcodec_open2(decoder.get(), codec, nullptr) < 0) {
        openError_ = AVERROR_DECODER_NOT_FOUND;
        qCWarning(lcCapwin) << "no decoder for the device's format" << avcodec_get_name(par->codec_id);
        return false;
    }
    decoder_ = std::move(decoder);
    *stream = index;
    qCInfo(lcCapwin).noquote() << "opened" << QString::fromStdString(url) << par->width << "x"
                               << par->height << avcodec_get_name(par->codec_id);
    return true;
}

void FrameSource::run() {
    // This thread does nothing but FFmpeg work, so it keeps the C locale all its life: the
    // pattern's filter text and the device options are parsed here.
    const CLocaleScope cLocale;
    InputContextPtr input;
    int stream = -1;
    PacketPtr packet = MakePacket();
    if (!packet || !open(&input, &stream)) {
        finish();
        return;
    }
    const bool v4l2 = request_.kind == DeviceKind::V4l2;
    const AVRational timeBase = input->streams[stream]->time_base;
    while (!abort_) {
        const std::int64_t readStartUs = av_gettime_relative();
        const int rc = av_read_frame(input.get(), packet.get());
        if (rc == AVERROR(EAGAIN)) {
            // Only a descriptor that says "readable" ends the wait early; one that reports
            // an error (or a timeout) sends the reader back to av_read_frame after a pause,
            // which then tells a device that went away.
            pollfd device{deviceFd_, POLLIN, 0};
            if (deviceFd_ < 0 || ::poll(&device, 1, kDeviceWaitMs) <= 0 ||
                (device.revents & POLLIN) == 0)
                std::this_thread::sleep_for(kIdlePoll);
            continue;
        }
        if (rc < 0) {
            if (!abort_)
                qCWarning(lcCapwin).noquote()
                    << "device stopped:" << QString::fromStdString(AvError(rc));
            break;
        }
        if (packet->stream_index != stream || (request_.fault && !request_.fault->take())) {
            // A stalled test pattern keeps the device open and sends nothing.
            av_packet_unref(packet.get());
            continue;
        }
        std::int64_t captureUs;
        if (v4l2) {
            // The kernel's stamp when it is believable; else the read, which a reader that
            // never decodes keeps within a poll interval of the frame's arrival.
            captureUs = readStartUs;
            if (packet->pts != AV_NOPTS_VALUE) {
                const std::int64_t stamp = av_rescale_q(packet->pts, timeBase, AV_TIME_BASE_Q);
                if (std::llabs(stamp - av_gettime_relative()) < kPlausibleUs)
                    captureUs = stamp;
            }
        } else {
            // The pattern draws each picture for the moment its pacing releases it.
            captureUs = av_gettime_relative();
        }
        publish(packet.get(), captureUs);
        av_packet_unref(packet.get());
    }
    finish();
}

void FrameSource::publish(AVPacket* packet, std::int64_t captureUs) {
    PacketPtr kept = request_.kind == DeviceKind::V4l2 ? OwnedCopy(packet) : MakePacket();
    if (!kept)
        return;
    if (request_.kind != DeviceKind::V4l2)
        av_packet_move_ref(kept.get(), packet);
    PacketPtr older;
    {
        std::lock_guard lock(mutex_);
        // Older packets are dropped here (outside the lock): only the newest is handed out.
        older = std::move(latest_.packet);
        latest_.packet = std::move(kept);
        latest_.captureUs = captureUs;
        ++latest_.sequence;
    }
    changed_.notify_all();
}

void FrameSource::finish() {
    {
        std::lock_guard lock(mutex_);
        ended_ = true;
    }
    changed_.notify_all();
}

bool FrameSource::ended() const {
    std::lock_guard lock(mutex_);
    return ended_;
}

bool FrameSource::takeLatest(Latest* out) const {
    if (!latest_.packet)
        return false;
    out->packet = RefPacket(latest_.packet.get());
    out->sequence = latest_.sequence;
    out->captureUs = latest_.captureUs;
    return static_cast<bool>(out->packet);
}

bool FrameSource::decode(const Latest& latest, SourceFrame* out) {
    FramePtr frame = MakeFrame();
    if (!frame || !decoder_)
        return false;
    // Every format a device sends here is intra-only: one packet, one picture. Flushing
    // first keeps a picture that failed earlier from lingering in the decoder.
    avcodec_flush_buffers(decoder_.get());
    if (avcodec_send_packet(decoder_.get(), latest.packet.get()) < 0 ||
        avcodec_receive_frame(decoder_.get(), frame.get()) < 0) {
        qCDebug(lcCapwin) << "a frame of the device does not decode; skipped";
        return false;
    }
    out->frame = std::move(frame);
    out->sequence = latest.sequence;
    out->captureUs = latest.captureUs;
    return true;
}

FrameSource::Wait FrameSource::waitFrame(std::uint64_t afterSequence, std::int64_t notBeforeUs,
                                         std::chrono::milliseconds timeout, SourceFrame* out) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        Latest latest;
        bool ended = false;
        {
            std::unique_lock lock(mutex_);
            const auto fresh = [&] {
                return latest_.packet && latest_.sequence > afterSequence &&
                       latest_.captureUs >= notBeforeUs;
            };
            changed_.wait_until(lock, deadline, [&] { return fresh() || ended_; });
            ended = ended_;
            if (!fresh() || !takeLatest(&latest))
                return ended ? Wait::Ended : Wait::Timeout;
        }
        if (decode(latest, out))
            return Wait::Frame;
        // A damaged picture (a camera's MJPEG now and then): wait for the next one.
        afterSequence = latest.sequence;
    }
}

bool FrameSource::newest(std::uint64_t afterSequence, SourceFrame* out) {
    Latest latest;
    {
        std::lock_guard lock(mutex_);
        if (latest_.sequence <= afterSequence || !takeLatest(&latest))
            return false;
    }
    return decode(latest, out);
}

}  // namespace capwin
