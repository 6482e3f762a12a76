// One device as the capture window uses it: opened until its first usable frame, asked for
// fresh frames and the newest, reopened by its stable name when it goes away, and closed
// within a bound.
#include "device/DeviceSession.h"

#include <algorithm>
#include <thread>
#include <utility>

#include "av/CaptureLog.h"
#include "device/ReaderRules.h"

extern "C" {
#include <libavutil/time.h>
}

namespace device {

namespace {

// Between two attempts to reopen a device that is not there (yet).
constexpr auto kReopenPause = std::chrono::milliseconds(250);

std::chrono::milliseconds Ms(long long ms) {
    return std::chrono::milliseconds(std::max(0LL, ms));
}

}  // namespace

DeviceSession::DeviceSession(std::shared_ptr<const SessionLimits> limits)
    : limits_(limits ? std::move(limits) : std::make_shared<SessionLimits>()) {}

DeviceSession::~DeviceSession() { close(); }

std::unique_ptr<FrameSource> DeviceSession::start(const SourceRequest& request) const {
    return std::make_unique<FrameSource>(request, Ms(limits_->teardownWaitMs));
}

void DeviceSession::drop(std::chrono::milliseconds bound) {
    if (!source_)
        return;
    source_->stop(std::min(bound, Ms(limits_->teardownWaitMs)));
    source_.reset();
}

void DeviceSession::close() {
    opened_ = false;
    drop();
}

void DeviceSession::handedOut(const SourceFrame& frame) {
    lastSequence_ = frame.sequence;
    if (lookedAgainUs_ >= 0) {
        lookedAgainUs_ = -1;
        qCInfo(lcCapture) << "the device is back";
    }
}

FrameSource::Wait DeviceSession::waitFirstFrame(FrameSource& source, std::int64_t notBeforeUs,
                                                std::chrono::milliseconds floor,
                                                std::chrono::milliseconds cap,
                                                SourceFrame* out) {
    // The device's rate is known once it opened: a slow one gets the longer wait it needs.
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        const std::int64_t periodUs = source.framePeriodUs();
        const auto left = std::min(cap, FirstFrameWait(floor, periodUs)) -
                          std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now() - start);
        const auto result = source.waitFrame(0, notBeforeUs, std::max(left, Ms(0)), out);
        if (result != FrameSource::Wait::Timeout || source.framePeriodUs() == periodUs)
            return result;
    }
}

bool DeviceSession::open(const SourceRequest& request, SourceFrame* first, int* openError) {
    close();
    *openError = 0;
    std::unique_ptr<FrameSource> source = start(request);
    const auto connectWait = Ms(limits_->connectTimeoutMs);
    const auto result = waitFirstFrame(*source, 0, connectWait,
                                       FirstFrameWait(connectWait, kLongestPeriodUs), first);
    if (result != FrameSource::Wait::Frame) {
        source->stop(Ms(limits_->teardownWaitMs));
        if (result == FrameSource::Wait::Ended)
            *openError = source->openError();
        qCWarning(lcCapture) << "the device"
                             << (result == FrameSource::Wait::Ended ? "did not open"
                                                                    : "opened but sent no frame");
        return false;
    }
    opened_ = true;
    lastSequence_ = 0;
    lookedAgainUs_ = -1;
    // A reopen asks for the same format, rate and size, so the frames keep matching what
    // the window reported and the open file.
    request_ = source->settledRequest();
    request_.width = first->frame->width;
    request_.height = first->frame->height;
    source_ = std::move(source);
    return true;
}

bool DeviceSession::fresh(std::int64_t requestUs, SourceFrame* out) {
    const SessionLimits& limits = *limits_;
    // The rate of the device as it was: a reopened one is asked for the same.
    const std::int64_t periodUs = source_ ? source_->framePeriodUs() : 0;
    if (source_ && source_->waitFrame(lastSequence_, requestUs,
                                      FrameWait(Ms(limits.frameWaitMs), periodUs),
                                      out) == FrameSource::Wait::Frame) {
        handedOut(*out);
        return true;
    }
    // The device went quiet or away, as a USB camera may over a suspend: open it again by
    // its stable path before calling the grab a failure.
    qCWarning(lcCapture) << "the device stopped delivering frames; reopening it";
    const bool pattern = request_.kind == DeviceKind::TestPattern;
    const auto bound = pattern ? FrameWait(Ms(limits.frameWaitMs), periodUs)
                               : FirstFrameWait(Ms(limits.reopenBoundMs), periodUs);
    const auto deadline = std::chrono::steady_clock::now() + bound;
    const auto left = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
    };
    for (int attempt = 0;; ++attempt) {
        if (left().count() <= 0)
            break;
        // Letting go of a reader stuck in its driver counts against the bound too.
        drop(left());
        if (left().count() <= 0)
            break;
        SourceRequest request = request_;
        request.quietOpen = attempt > 0;  // one warning for a device that is not there
        std::unique_ptr<FrameSource> source = start(request);
        const auto result =
            waitFirstFrame(*source, requestUs, Ms(limits.connectTimeoutMs), left(), out);
        source_ = std::move(source);
        lastSequence_ = 0;
        if (result == FrameSource::Wait::Frame) {
            lookedAgainUs_ = -1;
            qCInfo(lcCapture) << "the device is back";
            handedOut(*out);
            return true;
        }
        if (result == FrameSource::Wait::Ended)
            std::this_thread::sleep_for(std::max(Ms(0), std::min(left(), kReopenPause)));
    }
    qCWarning(lcCapture) << "the device did not come back within" << bound.count() << "ms";
    return false;
}

bool DeviceSession::poll(SourceFrame* out) {
    if (source_ && source_->newest(lastSequence_, out)) {
        handedOut(*out);
        return true;
    }
    // Its last frame shown, a camera that went away is looked for again; so is one whose
    // reader a failed grab had to let go of.
    if (opened_ && (!source_ || source_->ended()) && request_.kind == DeviceKind::V4l2)
        lookAgainForDevice();
    return false;
}

void DeviceSession::lookAgainForDevice() {
    // A camera that went away (unplugged, reset over a resume) is looked for again now and
    // then, without waiting for it, so that the preview comes back with it.
    const std::int64_t nowUs = av_gettime_relative();
    const std::int64_t retryUs = std::int64_t{limits_->previewRetryMs} * 1000;
    if (lookedAgainUs_ < 0)
        qCWarning(lcCapture) << "the device stopped; the preview looks for it every"
                             << limits_->previewRetryMs << "ms";
    else if (nowUs - lookedAgainUs_ < retryUs)
        return;
    lookedAgainUs_ = nowUs;
    drop();
    SourceRequest request = request_;
    request.quietOpen = true;
    source_ = start(request);
    lastSequence_ = 0;
}

}  // namespace device
