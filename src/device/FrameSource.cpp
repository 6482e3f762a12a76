// A frame source: the handle of a device reader, which hands out its newest frame decoded.
#include "device/FrameSource.h"

#include "av/CaptureLog.h"
#include "device/DeviceReader.h"
#include "device/DeviceThreads.h"
#include "device/ReaderRules.h"

namespace device {

// A reference to the reader's newest packet, taken under its lock and decoded outside it.
struct FrameSource::Packet {
    av::PacketPtr packet;
    std::uint64_t sequence = 0;
    std::int64_t captureUs = 0;

    // Takes the state's newest packet; false when there is none (or no memory for it).
    bool take(const ReaderState& state) {
        if (!state.latest.packet)
            return false;
        packet = av::MakePacket();
        if (!packet || av_packet_ref(packet.get(), state.latest.packet.get()) < 0)
            return false;
        sequence = state.latest.sequence;
        captureUs = state.latest.captureUs;
        return true;
    }
};

FrameSource::FrameSource(SourceRequest request, std::chrono::milliseconds stopBound)
    : request_(std::move(request)), stopBound_(stopBound),
      state_(std::make_shared<ReaderState>()) {
    // The reader holds the state too: let go of, it still has what it needs. It counts as a
    // device thread from before it starts to its last step.
    reader_ = std::thread(
        [request = request_, state = state_, token = DeviceThreadToken()]() mutable {
            ReadDevice(request, state);
            state.reset();
            token.release();
        });
}

FrameSource::~FrameSource() { stop(stopBound_); }

bool FrameSource::stop(std::chrono::milliseconds bound) {
    state_->stop = true;
    if (!reader_.joinable())
        return true;
    bool ended;
    {
        std::unique_lock lock(state_->mutex);
        ended = state_->changed.wait_for(lock, bound, [this] { return state_->ended; });
    }
    if (ended) {
        reader_.join();
        return true;
    }
    qCWarning(lcCapture).noquote()
        << "the device" << QString::fromStdString(request_.path) << "did not close within"
        << bound.count() << "ms; it is closed when its driver returns";
    reader_.detach();
    return false;
}

bool FrameSource::ended() const {
    std::lock_guard lock(state_->mutex);
    return state_->ended;
}

int FrameSource::openError() const { return state_->openError.load(); }

std::int64_t FrameSource::framePeriodUs() const {
    const std::int64_t negotiated = state_->negotiatedPeriodUs.load();
    if (negotiated > 0)
        return negotiated;
    if (request_.kind == DeviceKind::TestPattern)
        return request_.framesPerSecond > 0 ? 1'000'000 / request_.framesPerSecond : 0;
    std::lock_guard lock(state_->mutex);
    return PeriodOfRate(state_->settled.frameRate.empty() ? request_.frameRate
                                                          : state_->settled.frameRate);
}

SourceRequest FrameSource::settledRequest() const {
    std::lock_guard lock(state_->mutex);
    return state_->settled;
}

bool FrameSource::makeDecoder() {
    if (decoder_ || decoderFailed_)
        return static_cast<bool>(decoder_);
    av::CodecParametersPtr stream(avcodec_parameters_alloc());
    {
        std::lock_guard lock(state_->mutex);
        if (!state_->stream)
            return false;
        if (!stream || avcodec_parameters_copy(stream.get(), state_->stream.get()) < 0)
            return false;
    }
    const AVCodec* codec = avcodec_find_decoder(stream->codec_id);
    av::CodecContextPtr decoder(codec ? avcodec_alloc_context3(codec) : nullptr);
    if (!decoder || avcodec_parameters_to_context(decoder.get(), stream.get()) < 0 ||
        avcodec_open2(decoder.get(), codec, nullptr) < 0) {
        decoderFailed_ = true;
        qCWarning(lcCapture) << "cannot open a decoder for the device's format"
                             << avcodec_get_name(stream->codec_id);
        return false;
    }
    decoder_ = std::move(decoder);
    return true;
}

bool FrameSource::decode(const Packet& packet, SourceFrame* out) {
    av::FramePtr frame = av::MakeFrame();
    if (!frame || !makeDecoder())
        return false;
    // Every format a device sends here is intra-only: one packet, one picture. Flushing
    // first keeps a picture that failed earlier from lingering in the decoder.
    avcodec_flush_buffers(decoder_.get());
    if (avcodec_send_packet(decoder_.get(), packet.packet.get()) < 0 ||
        avcodec_receive_frame(decoder_.get(), frame.get()) < 0 ||
        (frame->flags & AV_FRAME_FLAG_CORRUPT) != 0 || frame->decode_error_flags != 0) {
        qCDebug(lcCapture) << "a frame of the device does not decode; skipped";
        return false;
    }
    out->frame = std::move(frame);
    out->sequence = packet.sequence;
    out->captureUs = packet.captureUs;
    return true;
}

FrameSource::Wait FrameSource::waitFrame(std::uint64_t afterSequence, std::int64_t notBeforeUs,
                                         std::chrono::milliseconds timeout, SourceFrame* out) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        Packet packet;
        {
            std::unique_lock lock(state_->mutex);
            const auto fresh = [&] {
                return state_->latest.packet && state_->latest.sequence > afterSequence &&
                       state_->latest.captureUs >= notBeforeUs;
            };
            state_->changed.wait_until(lock, deadline, [&] { return fresh() || state_->ended; });
            if (!fresh() || !packet.take(*state_))
                return state_->ended ? Wait::Ended : Wait::Timeout;
        }
        if (decode(packet, out))
            return Wait::Frame;
        // A damaged picture (a camera's MJPEG now and then): wait for the next one.
        afterSequence = packet.sequence;
    }
}

bool FrameSource::newest(std::uint64_t afterSequence, SourceFrame* out) {
    Packet packet;
    {
        std::lock_guard lock(state_->mutex);
        if (state_->latest.sequence <= afterSequence || !packet.take(*state_))
            return false;
    }
    return decode(packet, out);
}

}  // namespace device
