// The device reader: a worker thread that keeps only the newest frame of a device.
#include "device/FrameSource.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>

#include <dirent.h>
#include <poll.h>
#include <unistd.h>

#include "av/CLocaleScope.h"
#include "av/CaptureLog.h"
#include "device/V4l2Devices.h"

extern "C" {
#include <libavdevice/avdevice.h>
#include <libavutil/imgutils.h>
#include <libavutil/time.h>
}

namespace device {

namespace {

// A non-blocking V4L2 device answers EAGAIN between frames. The reader then waits on the
// device's descriptor for the next frame, at most this long before it looks at the stop
// flag again; where it cannot find the descriptor, or the descriptor reports an error, it
// sleeps a frame period instead, within these bounds, before it asks again.
constexpr int kDeviceWaitMs = 50;
constexpr std::int64_t kMinPauseUs = 5'000;
constexpr int kMaxFalseWakes = 3;

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

// Kernel time stamps further than this from the monotonic clock are taken as unusable.
constexpr std::int64_t kPlausibleUs = 5'000'000;

av::PacketPtr RefPacket(const AVPacket* packet) {
    av::PacketPtr copy = av::MakePacket();
    if (!copy || av_packet_ref(copy.get(), packet) < 0)
        return {};
    return copy;
}

// A packet of its own for one of libavdevice's V4L2 packets, which lie in the device's
// mapped buffers: those are unmapped when the device closes, while the newest packet is kept
// (and may be decoded) after that.
av::PacketPtr OwnedCopy(const AVPacket* packet) {
    av::PacketPtr copy = av::MakePacket();
    if (!copy || av_new_packet(copy.get(), packet->size) < 0 ||
        av_packet_copy_props(copy.get(), packet) < 0)
        return {};
    std::memcpy(copy->data, packet->data, static_cast<std::size_t>(packet->size));
    return copy;
}

void RegisterDevicesOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        av::ForwardFfmpegLog();
        avdevice_register_all();
    });
}

// The period of a rate written "num/den" (or "num") frames a second; 0 when it says none.
std::int64_t PeriodOfRate(const std::string& rate) {
    long num = 0, den = 1;
    if (std::sscanf(rate.c_str(), "%ld/%ld", &num, &den) < 1 || num <= 0 || den <= 0)
        return 0;
    return 1'000'000 * den / num;
}

}  // namespace

std::string TestPatternGraph(const SourceRequest& request) {
    return TestPatternGraph(request.pattern, request.width, request.height,
                            request.framesPerSecond);
}

std::shared_ptr<FrameSource> FrameSource::Create(SourceRequest request) {
    return std::shared_ptr<FrameSource>(new FrameSource(std::move(request)));
}

FrameSource::FrameSource(SourceRequest request) : request_(std::move(request)) {}

FrameSource::~FrameSource() {
    abort_ = true;
    if (!thread_.joinable())
        return;
    // The reader itself lets go of the last reference when it was left to finish alone.
    if (thread_.get_id() == std::this_thread::get_id())
        thread_.detach();
    else
        thread_.join();
}

void FrameSource::start() {
    if (thread_.joinable() || abort_)
        return;
    if (request_.fault)
        request_.fault->onOpening();
    thread_ = std::thread([self = shared_from_this()] { self->run(); });
}

bool FrameSource::release(std::chrono::milliseconds bound) {
    abort_ = true;
    if (!thread_.joinable())
        return true;
    bool finished;
    {
        std::unique_lock lock(mutex_);
        finished = changed_.wait_for(lock, bound, [this] { return finished_; });
    }
    if (finished) {
        thread_.join();
        return true;
    }
    qCWarning(lcCapture).noquote()
        << "the device" << QString::fromStdString(request_.path) << "did not close within"
        << bound.count() << "ms; it is closed when its driver returns";
    thread_.detach();
    return false;
}

std::int64_t FrameSource::framePeriodUs() const {
    const std::int64_t negotiated = negotiatedPeriodUs_.load();
    if (negotiated > 0)
        return negotiated;
    if (request_.kind == DeviceKind::TestPattern)
        return request_.framesPerSecond > 0 ? 1'000'000 / request_.framesPerSecond : 0;
    std::lock_guard lock(mutex_);
    return PeriodOfRate(settled_.frameRate.empty() ? request_.frameRate : settled_.frameRate);
}

int FrameSource::interrupted(void* self) {
    return static_cast<FrameSource*>(self)->abort_.load() ? 1 : 0;
}

bool FrameSource::open(av::InputContextPtr* input, int* stream) {
    RegisterDevicesOnce();
    const bool v4l2 = request_.kind == DeviceKind::V4l2;
    SourceRequest request = request_;
    if (v4l2 && request.inputFormat.empty() && request.rawWherePossible)
        request.inputFormat =
            V4l2InputFormat(QueryV4l2Modes(request.path), false, request.width, request.height);
    if (v4l2 && request.frameRate.empty() && request.fastestRate && !abort_)
        request.frameRate =
            V4l2BestFrameRate(request.path, request.inputFormat, request.width, request.height);
    // A reader let go while a query hung must not go on to take the device.
    if (abort_)
        return false;
    {
        std::lock_guard lock(mutex_);
        settled_ = request;
    }
    const char* formatName = v4l2 ? "video4linux2" : "lavfi";
    const AVInputFormat* format = av_find_input_format(formatName);
    if (format == nullptr) {
        qCWarning(lcCapture) << "FFmpeg has no input format" << formatName;
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
        url = request.path;
        if (request.width > 0 && request.height > 0) {
            const std::string size =
                std::to_string(request.width) + "x" + std::to_string(request.height);
            av_dict_set(&raw, "video_size", size.c_str(), 0);
        }
        if (!request.inputFormat.empty())
            av_dict_set(&raw, "input_format", request.inputFormat.c_str(), 0);
        if (!request.frameRate.empty())
            av_dict_set(&raw, "framerate", request.frameRate.c_str(), 0);
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
    std::unique_ptr<AVDictionary, av::DictionaryDeleter> leftover(opts);
    if (rc < 0) {
        // avformat_open_input frees the context on failure.
        openError_ = rc;
        if (request.quietOpen)
            qCDebug(lcCapture).noquote() << "cannot open" << QString::fromStdString(url) << ":"
                                         << QString::fromStdString(av::AvError(rc));
        else
            qCWarning(lcCapture).noquote() << "cannot open" << QString::fromStdString(url) << ":"
                                           << QString::fromStdString(av::AvError(rc));
        return false;
    }
    input->reset(ctx);
    deviceFd_ = v4l2 ? FindDeviceDescriptor(descriptorsBefore, request.path) : -1;
    if (v4l2 && deviceFd_ < 0)
        qCDebug(lcCapture) << "the device's descriptor is not known; waiting a frame period "
                              "between reads";
    const int index = av_find_best_stream(ctx, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (index < 0) {
        qCWarning(lcCapture) << "device has no video stream:" << url.c_str();
        return false;
    }
    const AVCodecParameters* par = ctx->streams[index]->codecpar;
    const AVCodec* codec = avcodec_find_decoder(par->codec_id);
    av::CodecContextPtr decoder(codec ? avcodec_alloc_context3(codec) : nullptr);
    if (!decoder || avcodec_parameters_to_context(decoder.get(), par) < 0 ||
        avcodec_open2(decoder.get(), codec, nullptr) < 0) {
        openError_ = AVERROR_DECODER_NOT_FOUND;
        qCWarning(lcCapture) << "no decoder for the device's format"
                             << avcodec_get_name(par->codec_id);
        return false;
    }
    decoder_ = std::move(decoder);
    *stream = index;
    // libavdevice reports the rate the device agreed to as the stream's rate.
    AVRational rate = ctx->streams[index]->avg_frame_rate;
    if (rate.num <= 0 || rate.den <= 0)
        rate = ctx->streams[index]->r_frame_rate;
    if (v4l2 && rate.num > 0 && rate.den > 0)
        negotiatedPeriodUs_ = av_rescale(1'000'000, rate.den, rate.num);
    qCInfo(lcCapture).noquote() << "opened" << QString::fromStdString(url) << par->width << "x"
                                << par->height << avcodec_get_name(par->codec_id) << "at"
                                << (rate.den > 0 ? av_q2d(rate) : 0.0) << "frames a second";
    return true;
}

void FrameSource::run() {
    // This thread does nothing but FFmpeg work, so it keeps the C locale all its life: the
    // pattern's filter text and the device options are parsed here.
    const av::CLocaleScope cLocale;
    av::InputContextPtr input;
    int stream = -1;
    if (open(&input, &stream))
        readPackets(input.get(), stream);
    input.reset();  // releases the device before the source says it has
    finish();
}

void FrameSource::readPackets(AVFormatContext* input, int stream) {
    av::PacketPtr packet = av::MakePacket();
    if (!packet)
        return;
    const bool v4l2 = request_.kind == DeviceKind::V4l2;
    const bool jpeg = v4l2 && input->streams[stream]->codecpar->codec_id == AV_CODEC_ID_MJPEG;
    const AVRational timeBase = input->streams[stream]->time_base;
    // libavdevice passes on a raw buffer the driver filled only in part, with a warning.
    const AVCodecParameters* par = input->streams[stream]->codecpar;
    const int rawBytes = v4l2 && par->codec_id == AV_CODEC_ID_RAWVIDEO
                             ? av_image_get_buffer_size(static_cast<AVPixelFormat>(par->format),
                                                        par->width, par->height, 1)
                             : 0;
    SettleGate settling(v4l2);
    int glitches = 0;  // failed reads and damaged pictures since the last good frame
    bool wokenByDevice = false;
    int falseWakes = 0;
    while (!abort_) {
        const std::int64_t readStartUs = av_gettime_relative();
        const int rc = av_read_frame(input, packet.get());
        if (rc == AVERROR(EAGAIN)) {
            // A descriptor that keeps saying "readable" with no frame behind it is not the
            // device's: the reader stops trusting it rather than spin.
            if (wokenByDevice && ++falseWakes > kMaxFalseWakes && deviceFd_ >= 0) {
                qCDebug(lcCapture) << "the device's descriptor wakes the reader without a frame; "
                                      "waiting a frame period between reads";
                deviceFd_ = -1;
            }
            wokenByDevice = waitForDevice();
            continue;
        }
        wokenByDevice = false;
        const bool damaged = rc >= 0 && packet->stream_index == stream &&
                             (jpeg ? !JpegIsWhole(packet->data, packet->size)
                                   : packet->size < rawBytes);
        if (rc < 0 || damaged) {
            if (abort_)
                break;
            const QString why = !damaged ? QString::fromStdString(av::AvError(rc))
                                : jpeg   ? QStringLiteral("a JPEG picture cut off")
                                         : QStringLiteral("a raw picture cut short");
            av_packet_unref(packet.get());
            if ((rc < 0 && ClassifyReadError(rc) == ReadFault::Gone) ||
                ++glitches >= kMaxTransientErrors) {
                if (glitches > 1)
                    qCWarning(lcCapture).noquote()
                        << "device stopped:" << why
                        << QStringLiteral("(%1 failures in a row)").arg(glitches);
                else
                    qCWarning(lcCapture).noquote() << "device stopped:" << why;
                break;
            }
            // One bad buffer (a USB glitch, a frame cut short) costs that frame only.
            if (glitches == 1)
                qCWarning(lcCapture).noquote()
                    << "skipped a frame the device did not deliver whole:" << why;
            waitForDevice();
            continue;
        }
        if (packet->stream_index != stream || (request_.fault && !request_.fault->take())) {
            // A stalled test pattern keeps the device open and sends nothing.
            av_packet_unref(packet.get());
            continue;
        }
        glitches = 0;
        falseWakes = 0;
        const std::int64_t captureUs = captureTime(packet.get(), timeBase, readStartUs);
        // Frames of a camera that has only just started streaming are not handed out.
        if (settling.pass(captureUs))
            publish(packet.get(), captureUs);
        av_packet_unref(packet.get());
    }
}

bool FrameSource::waitForDevice() {
    if (deviceFd_ >= 0) {
        // Only "readable" or a full wait sends the reader straight back to av_read_frame; a
        // descriptor that reports an error gets the pause below, and av_read_frame then
        // tells a device that went away.
        pollfd device{deviceFd_, POLLIN, 0};
        const int ready = ::poll(&device, 1, kDeviceWaitMs);
        if (ready == 0)
            return false;
        if (ready > 0 && (device.revents & POLLIN) != 0)
            return true;
    }
    const std::int64_t pauseUs =
        std::clamp<std::int64_t>(framePeriodUs(), kMinPauseUs, kDeviceWaitMs * 1000);
    std::this_thread::sleep_for(std::chrono::microseconds(pauseUs));
    return false;
}

std::int64_t FrameSource::captureTime(const AVPacket* packet, AVRational timeBase,
                                      std::int64_t readStartUs) const {
    // The pattern draws each picture for the moment its pacing releases it.
    if (request_.kind != DeviceKind::V4l2)
        return av_gettime_relative();
    // The kernel's stamp when it is believable; else the read, which a reader that never
    // decodes keeps within a poll interval of the frame's arrival.
    if (packet->pts != AV_NOPTS_VALUE) {
        const std::int64_t stamp = av_rescale_q(packet->pts, timeBase, AV_TIME_BASE_Q);
        if (std::llabs(stamp - av_gettime_relative()) < kPlausibleUs)
            return stamp;
    }
    return readStartUs;
}

void FrameSource::publish(AVPacket* packet, std::int64_t captureUs) {
    av::PacketPtr kept = request_.kind == DeviceKind::V4l2 ? OwnedCopy(packet) : av::MakePacket();
    if (!kept)
        return;
    if (request_.kind != DeviceKind::V4l2)
        av_packet_move_ref(kept.get(), packet);
    av::PacketPtr older;
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
        finished_ = true;
    }
    changed_.notify_all();
}

SourceRequest FrameSource::settledRequest() const {
    std::lock_guard lock(mutex_);
    return settled_;
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
    av::FramePtr frame = av::MakeFrame();
    if (!frame || !decoder_)
        return false;
    // Every format a device sends here is intra-only: one packet, one picture. Flushing
    // first keeps a picture that failed earlier from lingering in the decoder.
    avcodec_flush_buffers(decoder_.get());
    if (avcodec_send_packet(decoder_.get(), latest.packet.get()) < 0 ||
        avcodec_receive_frame(decoder_.get(), frame.get()) < 0 ||
        (frame->flags & AV_FRAME_FLAG_CORRUPT) != 0 || frame->decode_error_flags != 0) {
        qCDebug(lcCapture) << "a frame of the device does not decode; skipped";
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

}  // namespace device
