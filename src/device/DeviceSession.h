// One device as the capture window uses it: opened until its first usable frame, asked for
// fresh frames and the newest, reopened by its stable name when it goes away, and closed
// within a bound.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

#include "device/FrameSource.h"
#include "device/SourceRequest.h"

namespace device {

// Time limits of a device session. They are read when they are used, so a change applies
// to sessions that exist already. Every wait is at least three frame periods of the device,
// as it agreed to its rate, so a slow camera (a large raw size, low light) is given the time
// it needs.
struct SessionLimits {
    // For the first usable frame after opening a device (the first frames of a camera that
    // has just started streaming are not used, and their time counts in this).
    int connectTimeoutMs = 4000;
    // A grab waits this long for a fresh frame; then it reopens the device by its stable
    // path (a USB camera may come back under a new node after a resume) and waits again
    // until reopenBoundMs have passed. The test pattern cannot come back by waiting, so it
    // gets one reopen that again waits frameWaitMs: a stalled pattern fails a grab after
    // about 2 x frameWaitMs.
    int frameWaitMs = 1000;
    int reopenBoundMs = 5000;
    // How long a close (or a reopen, or the session's end) waits for the device to close;
    // a driver that takes longer is left to close it alone.
    int teardownWaitMs = 1000;
    // How often the preview looks for a camera that went away.
    int previewRetryMs = 2000;
};

class DeviceSession {
public:
    explicit DeviceSession(std::shared_ptr<const SessionLimits> limits);
    ~DeviceSession();
    DeviceSession(const DeviceSession&) = delete;
    DeviceSession& operator=(const DeviceSession&) = delete;

    // Closes what is open, opens the device of request and waits for its first usable
    // frame: at least connectTimeoutMs, longer where the device turns out slow. True with
    // the frame in *first; from then on the session asks a reopen for the same format, rate
    // and size (that of the first frame). False when the device did not open (*openError:
    // FFmpeg's code) or sent no frame in time (*openError 0); the session is closed then.
    bool open(const SourceRequest& request, SourceFrame* first, int* openError);
    // A frame newer than the last one handed out whose picture was taken at requestUs or
    // later. Waits frameWaitMs (or three periods of a slower device); then reopens the
    // device by its stable name and waits for it until reopenBoundMs have passed.
    bool fresh(std::int64_t requestUs, SourceFrame* out);
    // The newest frame since the last one handed out, without waiting. A camera that went
    // away, or that a failed grab had to let go of, is looked for again every
    // previewRetryMs, without waiting for it either.
    bool poll(SourceFrame* out);
    // Lets go of the device, waiting for it at most the teardown wait; the session is done
    // with it until the next open.
    void close();

    // What a reopen asks for: the request as the device settled it, at the size it opened.
    const SourceRequest& request() const { return request_; }

private:
    // Waits for the first frame of a source just started: at least floor (at most cap),
    // longer where the device turns out slow.
    FrameSource::Wait waitFirstFrame(FrameSource& source, std::int64_t notBeforeUs,
                                     std::chrono::milliseconds floor,
                                     std::chrono::milliseconds cap, SourceFrame* out);
    std::unique_ptr<FrameSource> start(const SourceRequest& request) const;
    // Lets go of the reader, waiting for it at most the teardown wait (or bound); the
    // session still stands for the device and looks for it again.
    void drop(std::chrono::milliseconds bound = std::chrono::milliseconds::max());
    void handedOut(const SourceFrame& frame);
    void lookAgainForDevice();

    std::shared_ptr<const SessionLimits> limits_;
    SourceRequest request_;
    std::unique_ptr<FrameSource> source_;
    bool opened_ = false;  // open() succeeded and no close() came since
    std::uint64_t lastSequence_ = 0;
    // While the device is away, when the preview last looked for it; -1 while it is there.
    std::int64_t lookedAgainUs_ = -1;
};

}  // namespace device
