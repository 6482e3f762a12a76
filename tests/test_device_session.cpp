// The device session on the built-in test pattern, without a window: open until the first
// frame, fresh frames for grabs, the newest for the preview, reopening a stalled device, and
// the bounds of each.
#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "device/DeviceSession.h"
#include "device/PatternFault.h"

extern "C" {
#include <libavutil/time.h>
}

namespace {

using device::DeviceSession;
using device::SourceFrame;

class DeviceSessionTest : public ::testing::Test {
protected:
    DeviceSessionTest() {
        limits->connectTimeoutMs = 1500;
        limits->frameWaitMs = 300;
        limits->teardownWaitMs = 500;
        request.kind = device::DeviceKind::TestPattern;
        request.width = 160;
        request.height = 120;
        request.framesPerSecond = 25;
        request.fault = fault;
    }
    bool Open(DeviceSession& session, SourceFrame* first) {
        int error = -1;
        const bool opened = session.open(request, first, &error);
        EXPECT_EQ(error, 0);
        return opened;
    }

    std::shared_ptr<device::SessionLimits> limits = std::make_shared<device::SessionLimits>();
    std::shared_ptr<device::TestPatternFault> fault = std::make_shared<device::TestPatternFault>();
    device::SourceRequest request;
};

TEST_F(DeviceSessionTest, FramesForGrabsAreTakenAfterTheRequestAndNeverHandedOutTwice) {
    DeviceSession session(limits);
    SourceFrame first;
    ASSERT_TRUE(Open(session, &first));
    EXPECT_EQ(first.frame->width, 160);
    EXPECT_EQ(session.request().width, 160);
    EXPECT_EQ(session.request().height, 120);

    std::uint64_t lastSequence = 0;
    for (int grab = 0; grab < 3; ++grab) {
        const std::int64_t requestUs = av_gettime_relative();
        SourceFrame frame;
        ASSERT_TRUE(session.fresh(requestUs, &frame)) << "grab " << grab;
        EXPECT_GE(frame.captureUs, requestUs) << "a frame from before the request";
        EXPECT_GT(frame.sequence, lastSequence);
        lastSequence = frame.sequence;
    }
    // The preview gets the newest frame once, and nothing until the next one comes.
    SourceFrame newest;
    EXPECT_FALSE(session.poll(&newest)) << "the frame just grabbed again";
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    ASSERT_TRUE(session.poll(&newest));
    EXPECT_GT(newest.sequence, lastSequence);
    EXPECT_FALSE(session.poll(&newest));
}

TEST_F(DeviceSessionTest, AStalledDeviceIsReopenedOnceAndAGrabFailsWithinItsBound) {
    struct Case {
        const char* name;
        bool recovers;  // a reopened pattern sends frames again
        bool grabbed;
    } const cases[] = {{"comes back when reopened", true, true},
                       {"stays dead", false, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fault->set(-1, false);
        DeviceSession session(limits);
        SourceFrame frame;
        ASSERT_TRUE(Open(session, &frame));
        // Three more frames, then nothing: by now the pattern has stalled.
        fault->set(3, c.recovers);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        QElapsedTimer t;
        t.start();
        EXPECT_EQ(session.fresh(av_gettime_relative(), &frame), c.grabbed);
        // The frame wait, then one reopen that waits as long again.
        EXPECT_LT(t.elapsed(), 2 * 300 + 400);
    }
}

TEST_F(DeviceSessionTest, AnOpenWithoutAFrameFailsWithinTheConnectWaitAndLeavesNothingOpen) {
    fault->set(0, false);
    DeviceSession session(limits);
    SourceFrame first;
    QElapsedTimer t;
    t.start();
    EXPECT_FALSE(Open(session, &first)) << "no frame, and no open error either";
    EXPECT_GE(t.elapsed(), 1500 - 50);
    EXPECT_LT(t.elapsed(), 1500 + 500 + 300);
    SourceFrame frame;
    EXPECT_FALSE(session.poll(&frame));
}

}  // namespace
