// The device reader: a worker thread that keeps only the newest decoded frame of a device.
#include "platform/capwin/FrameSource.h"

#include <cstdlib>

#include "platform/capwin/CapwinLog.h"

extern "C" {
#include <libavdevice/avdevice.h>
#include <libavutil/time.h>
}

namespace capwin {

namespace {

// A non-blocking V4L2 device answers EAGAIN between frames; this is how long the reader
// sleeps before it asks again (and looks at the stop flag).
constexpr auto kIdlePoll = std::chrono::milliseconds(3);

// Kernel time stamps further than this from the wall clock are taken as unusable.
constexpr std::int64_t kPlausibleUs = 5'000'000;

void RegisterDevicesOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        ForwardFfmpegLog();
        avdevice_register_all();
    });
}

}  // namespace

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
    return "gradients=s=" + size + ":r=" + rate + ":speed=0.02,realtime";
}

FrameSource::FrameSource(SourceRequest request) : request_(std::move(request)) {}

FrameSource::~FrameSource() { stop(); }

void FrameSource::start() {
    if (thread_.joinable())
        return;
    if (request_.budget && request_.budget->perOpening >= 0)
        request_.budget->remaining = request_.budget->perOpening;
    abort_ = false;
    {
        std::lock_guard lock(mutex_);
        ended_ = false;
    }
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

bool FrameSource::open(InputContextPtr* input, CodecContextPtr* decoder, int* stream) {
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
        // Kernel time stamps on the wall clock, to tell a frame captured after a request
        // from one that waited in the driver's queue.
        av_dict_set(&raw, "timestamps", "mono2abs", 0);
    } else {
        url = TestPatternGraph(request_);
    }
    std::unique_ptr<AVDictionary, DictionaryDeleter> options(raw);
    AVDictionary* opts = options.release();
    const int rc = avformat_open_input(&ctx, url.c_str(), format, &opts);
    options.reset(opts);
    if (rc < 0) {
        // avformat_open_input frees the context on failure.
        qCWarning(lcCapwin).noquote() << "cannot open" << QString::fromStdString(url) << ":"
                                      << QString::fromStdString(AvError(rc));
        return false;
    }
    input->reset(ctx);
    const int index = av_find_best_stream(ctx, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (index < 0) {
        qCWarning(lcCapwin) << "device has no video stream:" << url.c_str();
        return false;
    }
    const AVCodecParameters* par = ctx->streams[index]->codecpar;
    const AVCodec* codec = avcodec_find_decoder(par->codec_id);
    decoder->reset(codec ? avcodec_alloc_context3(codec) : nullptr);
    if (!*decoder || avcodec_parameters_to_context(decoder->get(), par) < 0 ||
        avcodec_open2(decoder->get(), codec, nullptr) < 0) {
        qCWarning(lcCapwin) << "no decoder for the device's format" << avcodec_get_name(par->codec_id);
        return false;
    }
    *stream = index;
    qCInfo(lcCapwin).noquote() << "opened" << QString::fromStdString(url) << par->width << "x"
                               << par->height << avcodec_get_name(par->codec_id);
    return true;
}

void FrameSource::run() {
    InputContextPtr input;
    CodecContextPtr decoder;
    int stream = -1;
    if (!open(&input, &decoder, &stream)) {
        finish();
        return;
    }
    const bool v4l2 = request_.kind == DeviceKind::V4l2;
    const bool keepPacket = decoder->codec_id == AV_CODEC_ID_MJPEG;
    const AVRational timeBase = input->streams[stream]->time_base;
    PacketPtr packet = MakePacket();
    FramePtr decoded = MakeFrame();
    if (!packet || !decoded) {
        finish();
        return;
    }
    while (!abort_) {
        std::int64_t readStartUs = av_gettime();
        const int rc = av_read_frame(input.get(), packet.get());
        if (rc == AVERROR(EAGAIN)) {
            std::this_thread::sleep_for(kIdlePoll);
            continue;
        }
        if (rc < 0) {
            if (!abort_)
                qCWarning(lcCapwin).noquote()
                    << "device stopped:" << QString::fromStdString(AvError(rc));
            break;
        }
        if (packet->stream_index != stream) {
            av_packet_unref(packet.get());
            continue;
        }
        if (request_.budget) {
            long long left = request_.budget->remaining.load();
            if (left == 0) {
                // A test pattern told to die: it keeps the device open and sends nothing.
                av_packet_unref(packet.get());
                continue;
            }
            if (left > 0)
                request_.budget->remaining = left - 1;
        }
        std::int64_t captureUs = readStartUs;
        if (v4l2 && packet->pts != AV_NOPTS_VALUE) {
            const std::int64_t stamp = av_rescale_q(packet->pts, timeBase, AV_TIME_BASE_Q);
            if (std::llabs(stamp - av_gettime()) < kPlausibleUs)
                captureUs = stamp;
        }
        PacketPtr kept;
        if (keepPacket) {
            kept = MakePacket();
            if (kept && av_packet_ref(kept.get(), packet.get()) < 0)
                kept.reset();
        }
        int sent = avcodec_send_packet(decoder.get(), packet.get());
        av_packet_unref(packet.get());
        if (sent < 0) {
            qCDebug(lcCapwin) << "dropped a frame the decoder refused";
            continue;
        }
        while (avcodec_receive_frame(decoder.get(), decoded.get()) >= 0) {
            FramePtr frame = MakeFrame();
            if (frame)
                av_frame_move_ref(frame.get(), decoded.get());
            av_frame_unref(decoded.get());
            if (frame)
                publish(std::move(frame), kept.get(), captureUs);
        }
    }
    finish();
}

void FrameSource::publish(FramePtr frame, const AVPacket* packet, std::int64_t captureUs) {
    PacketPtr kept;
    if (packet != nullptr) {
        kept = MakePacket();
        if (kept && av_packet_ref(kept.get(), packet) < 0)
            kept.reset();
    }
    {
        std::lock_guard lock(mutex_);
        // Older frames are dropped here: only the newest is ever handed out.
        latest_.frame = std::move(frame);
        latest_.compressed = std::move(kept);
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

void FrameSource::copyOut(SourceFrame* out) const {
    out->frame = RefFrame(latest_.frame.get());
    out->compressed.reset();
    if (latest_.compressed) {
        out->compressed = MakePacket();
        if (out->compressed && av_packet_ref(out->compressed.get(), latest_.compressed.get()) < 0)
            out->compressed.reset();
    }
    out->sequence = latest_.sequence;
    out->captureUs = latest_.captureUs;
}

FrameSource::Wait FrameSource::waitFrame(std::uint64_t afterSequence, std::int64_t notBeforeUs,
                                         std::chrono::milliseconds timeout, SourceFrame* out) {
    std::unique_lock lock(mutex_);
    const auto fresh = [&] {
        return latest_.frame && latest_.sequence > afterSequence &&
               latest_.captureUs >= notBeforeUs;
    };
    changed_.wait_for(lock, timeout, [&] { return fresh() || ended_; });
    if (fresh()) {
        copyOut(out);
        return Wait::Frame;
    }
    return ended_ ? Wait::Ended : Wait::Timeout;
}

bool FrameSource::newest(std::uint64_t afterSequence, SourceFrame* out) {
    std::lock_guard lock(mutex_);
    if (!latest_.frame || latest_.sequence <= afterSequence)
        return false;
    copyOut(out);
    return true;
}

}  // namespace capwin
