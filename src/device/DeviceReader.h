// The device reader: a thread that opens a device and keeps only its newest packet.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "av/AvHandles.h"
#include "device/SourceRequest.h"

namespace device {

// The newest packet of a device, as the reader published it.
struct LatestPacket {
    av::PacketPtr packet;
    std::uint64_t sequence = 0;  // counts the packets published, from 1
    // When its picture was taken, on the monotonic clock (av_gettime_relative).
    std::int64_t captureUs = 0;
};

// What a reader shares with the handle of its source (FrameSource). Either may outlive the
// other: a handle lets go of a reader stuck in its driver, which then ends alone.
struct ReaderState {
    std::atomic<bool> stop{false};  // set by the handle: the reader is to let go of the device
    std::atomic<int> openError{0};  // FFmpeg's error code of a failed open
    // The time between two frames the device agreed to, once it is open; 0 before.
    std::atomic<std::int64_t> negotiatedPeriodUs{0};

    mutable std::mutex mutex;
    std::condition_variable changed;  // notified with every change below
    LatestPacket latest;
    // The stream's codec parameters, published before its first packet: the handle makes
    // its decoder from them.
    av::CodecParametersPtr stream;
    SourceRequest settled;  // the request with the format and rate the reader settled on
    bool ended = false;     // the reader has released the device and does no more
};

// Reads the device of request on the calling thread until state->stop is set or the device
// stops for good, keeping the newest packet in state. The device is released before
// state->ended is set.
void ReadDevice(SourceRequest request, const std::shared_ptr<ReaderState>& state);

}  // namespace device
