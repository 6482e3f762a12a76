// The device reader: a thread that opens a device and keeps only its newest packet.
#include "device/DeviceReader.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <poll.h>

#include "av/CLocaleScope.h"
#include "av/CaptureLog.h"
#include "device/DeviceInput.h"
#include "device/PatternFault.h"
#include "device/ReaderRules.h"
#include "device/V4l2Queries.h"

extern "C" {
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
// Kernel time stamps further than this from the monotonic clock are taken as unusable.
constexpr std::int64_t kPlausibleUs = 5'000'000;

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

class Reader {
public:
    Reader(SourceRequest request, const std::shared_ptr<ReaderState>& state)
        : request_(std::move(request)), state_(*state), v4l2_(request_.kind == DeviceKind::V4l2) {}

    void run() {
        std::unique_ptr<PacketInput> input = open();
        if (input)
            readPackets(*input);
        input.reset();  // releases the device before the reader says it has
        std::lock_guard lock(state_.mutex);
        state_.ended = true;
        state_.changed.notify_all();
    }

private:
    // The device's format and rate are asked for here, not on the window's thread: a driver
    // that hangs then holds the reader only.
    bool settle(SourceRequest* request) const {
        if (v4l2_ && request->inputFormat.empty() && request->rawWherePossible)
            request->inputFormat = V4l2InputFormat(QueryV4l2Modes(request->path), false,
                                                   request->width, request->height);
        if (v4l2_ && request->frameRate.empty() && request->fastestRate && !state_.stop)
            request->frameRate = V4l2BestFrameRate(request->path, request->inputFormat,
                                                   request->width, request->height);
        // A reader let go while a query hung must not go on to take the device.
        return !state_.stop;
    }

    std::unique_ptr<PacketInput> open() {
        SourceRequest request = request_;
        if (!settle(&request))
            return {};
        {
            std::lock_guard lock(state_.mutex);
            state_.settled = request;
        }
        askedPeriodUs_ = PeriodOfRate(request.frameRate);
        int error = 0;
        std::unique_ptr<PacketInput> input =
            LibavInput::Open(request, {&Reader::interrupted, &state_}, &error);
        if (!input) {
            state_.openError = error;
            return {};
        }
        const AVCodecParameters* par = input->stream().codecpar;
        if (avcodec_find_decoder(par->codec_id) == nullptr) {
            state_.openError = AVERROR_DECODER_NOT_FOUND;
            qCWarning(lcCapture) << "no decoder for the device's format"
                                 << avcodec_get_name(par->codec_id);
            return {};
        }
        av::CodecParametersPtr stream(avcodec_parameters_alloc());
        if (!stream || avcodec_parameters_copy(stream.get(), par) < 0)
            return {};
        const AVRational rate = FrameRate(input->stream());
        if (v4l2_ && rate.num > 0 && rate.den > 0)
            state_.negotiatedPeriodUs = av_rescale(1'000'000, rate.den, rate.num);
        {
            std::lock_guard lock(state_.mutex);
            state_.stream = std::move(stream);
        }
        if (request_.fault)
            input = std::make_unique<FaultyPattern>(std::move(input), request_.fault);
        return input;
    }

    void readPackets(PacketInput& input) {
        av::PacketPtr packet = av::MakePacket();
        if (!packet)
            return;
        const AVCodecParameters* par = input.stream().codecpar;
        const AVRational timeBase = input.stream().time_base;
        const bool jpeg = v4l2_ && par->codec_id == AV_CODEC_ID_MJPEG;
        // libavdevice passes on a raw buffer the driver filled only in part, with a warning.
        const int rawBytes =
            v4l2_ && par->codec_id == AV_CODEC_ID_RAWVIDEO
                ? av_image_get_buffer_size(static_cast<AVPixelFormat>(par->format), par->width,
                                           par->height, 1)
                : 0;
        deviceFd_ = input.descriptor();
        SettleGate settling(v4l2_);
        int glitches = 0;  // failed reads and damaged pictures since the last good frame
        bool wokenByDevice = false;
        int falseWakes = 0;
        while (!state_.stop) {
            const std::int64_t readStartUs = av_gettime_relative();
            const int rc = input.read(packet.get());
            if (rc == AVERROR(EAGAIN)) {
                // A descriptor that keeps saying "readable" with no frame behind it is not
                // the device's: the reader stops trusting it rather than spin.
                if (wokenByDevice && ++falseWakes > kMaxFalseWakes && deviceFd_ >= 0) {
                    qCDebug(lcCapture) << "the device's descriptor wakes the reader without a "
                                          "frame; waiting a frame period between reads";
                    deviceFd_ = -1;
                }
                wokenByDevice = waitForDevice();
                continue;
            }
            wokenByDevice = false;
            const bool damaged = rc >= 0 && (jpeg ? !JpegIsWhole(packet->data, packet->size)
                                                  : packet->size < rawBytes);
            if (rc < 0 || damaged) {
                if (state_.stop)
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
            glitches = 0;
            falseWakes = 0;
            const std::int64_t captureUs = captureTime(packet.get(), timeBase, readStartUs);
            // Frames of a camera that has only just started streaming are not handed out.
            if (settling.pass(captureUs))
                publish(packet.get(), captureUs);
            av_packet_unref(packet.get());
        }
    }

    // Waits for the device's next frame: true when its descriptor said it is readable.
    bool waitForDevice() {
        if (deviceFd_ >= 0) {
            // Only "readable" or a full wait sends the reader straight back to its read; a
            // descriptor that reports an error gets the pause below, and the read then
            // tells a device that went away.
            pollfd device{deviceFd_, POLLIN, 0};
            const int ready = ::poll(&device, 1, kDeviceWaitMs);
            if (ready == 0)
                return false;
            if (ready > 0 && (device.revents & POLLIN) != 0)
                return true;
        }
        const std::int64_t pauseUs =
            std::clamp<std::int64_t>(periodUs(), kMinPauseUs, kDeviceWaitMs * 1000);
        std::this_thread::sleep_for(std::chrono::microseconds(pauseUs));
        return false;
    }

    std::int64_t periodUs() const {
        const std::int64_t negotiated = state_.negotiatedPeriodUs.load();
        if (negotiated > 0)
            return negotiated;
        if (!v4l2_)
            return request_.framesPerSecond > 0 ? 1'000'000 / request_.framesPerSecond : 0;
        return askedPeriodUs_;
    }

    std::int64_t captureTime(const AVPacket* packet, AVRational timeBase,
                             std::int64_t readStartUs) const {
        // The pattern draws each picture for the moment its pacing releases it.
        if (!v4l2_)
            return av_gettime_relative();
        // The kernel's stamp when it is believable; else the read, which a reader that
        // never decodes keeps within a poll interval of the frame's arrival.
        if (packet->pts != AV_NOPTS_VALUE) {
            const std::int64_t stamp = av_rescale_q(packet->pts, timeBase, AV_TIME_BASE_Q);
            if (std::llabs(stamp - av_gettime_relative()) < kPlausibleUs)
                return stamp;
        }
        return readStartUs;
    }

    void publish(AVPacket* packet, std::int64_t captureUs) {
        av::PacketPtr kept = v4l2_ ? OwnedCopy(packet) : av::MakePacket();
        if (!kept)
            return;
        if (!v4l2_)
            av_packet_move_ref(kept.get(), packet);
        av::PacketPtr older;
        {
            std::lock_guard lock(state_.mutex);
            // Older packets are dropped here (outside the lock): only the newest is kept.
            older = std::move(state_.latest.packet);
            state_.latest.packet = std::move(kept);
            state_.latest.captureUs = captureUs;
            ++state_.latest.sequence;
        }
        state_.changed.notify_all();
    }

    static int interrupted(void* state) {
        return static_cast<ReaderState*>(state)->stop.load() ? 1 : 0;
    }

    const SourceRequest request_;
    ReaderState& state_;
    const bool v4l2_;
    // libavdevice's descriptor of a V4L2 device, borrowed for waiting; -1 when unknown.
    int deviceFd_ = -1;
    std::int64_t askedPeriodUs_ = 0;  // the period of the rate asked for; 0: none
};

}  // namespace

void ReadDevice(SourceRequest request, const std::shared_ptr<ReaderState>& state) {
    // This thread does nothing but FFmpeg work, so it keeps the C locale all its life: the
    // pattern's filter text and the device options are parsed here.
    const av::CLocaleScope cLocale;
    Reader(std::move(request), state).run();
}

}  // namespace device
