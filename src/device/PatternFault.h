// A fault the built-in test pattern can be told to show, and the decorator that shows it
// around the pattern's input.
#pragma once

#include <atomic>
#include <memory>

#include "device/DeviceInput.h"

namespace device {

// A fault the built-in test pattern can be told to show, shared by every opening of it:
// after a number of frames it keeps the device open and sends nothing, like a camera that
// died. Changes take effect at once, also for a pattern that is running.
class TestPatternFault {
public:
    // Stalls after frames more frames (0: at once; negative: never). With recovers, every
    // new opening starts again with that many frames, as a camera that came back would.
    void set(long long frames, bool recovers);
    // Called when the pattern is opened.
    void onOpening();
    // Called for each frame the pattern makes: false when it is to be swallowed.
    bool take();

private:
    std::atomic<long long> remaining_{-1};
    std::atomic<long long> perOpening_{-1};
};

// The test pattern with its fault: the pictures the fault swallows never reach the reader,
// which meanwhile hears "no picture yet", as from a camera that died with its device open.
class FaultyPattern : public PacketInput {
public:
    // Counts as one opening of the pattern.
    FaultyPattern(std::unique_ptr<PacketInput> pattern, std::shared_ptr<TestPatternFault> fault);

    int read(AVPacket* packet) override;
    const AVStream& stream() const override { return pattern_->stream(); }
    int descriptor() const override { return pattern_->descriptor(); }

private:
    std::unique_ptr<PacketInput> pattern_;
    std::shared_ptr<TestPatternFault> fault_;
};

}  // namespace device
