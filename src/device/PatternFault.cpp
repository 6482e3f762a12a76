// The test pattern's stall fault and the decorator that shows it.
#include "device/PatternFault.h"

#include <utility>

namespace device {

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

FaultyPattern::FaultyPattern(std::unique_ptr<PacketInput> pattern,
                             std::shared_ptr<TestPatternFault> fault)
    : pattern_(std::move(pattern)), fault_(std::move(fault)) {
    fault_->onOpening();
}

int FaultyPattern::read(AVPacket* packet) {
    const int rc = pattern_->read(packet);
    if (rc < 0 || fault_->take())
        return rc;
    av_packet_unref(packet);
    return AVERROR(EAGAIN);
}

}  // namespace device
