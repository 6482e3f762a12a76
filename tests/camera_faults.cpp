// Faults a camera shows in the field, on the fake V4L2 camera through the real FFmpeg capture
// window: a glitch of one frame, pictures of a camera that has only just started, a slow
// frame rate, a driver that hangs, a descriptor the reader cannot tell.
#include <QElapsedTimer>
#include <QTest>

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "camera_harness.h"
#include "device/DeviceSession.h"
#include "device/DeviceThreads.h"

extern "C" {
#include <libavutil/time.h>
}

namespace {

using namespace cameratest;

// What the frame callback was handed, frame by frame.
struct SeenFrame {
    long number = 0;
    double luma = 0;
    // How well the lower picture follows the ramp the fake paints for this frame's number
    // (a correlation: 1 for a whole picture, far less for one cut off or left from another).
    double rampMatch = 0;
};

// The correlation of the lower picture with the fake camera's ramp for frame number.
double RampMatch(const QImage& image, long number) {
    double n = 0, sx = 0, sy = 0, sxx = 0, syy = 0, sxy = 0;
    for (int y = image.height() * 60 / 100; y < image.height() * 95 / 100; y += 2)
        for (int x = 0; x < image.width(); x += 2) {
            const double expected = ((x + y) / 4 + number * 4) & 63;
            const double seen = Luma(image.pixel(x, y));
            n += 1, sx += expected, sy += seen, sxx += expected * expected;
            syy += seen * seen, sxy += expected * seen;
        }
    const double cov = sxy - sx * sy / n, vx = sxx - sx * sx / n, vy = syy - sy * sy / n;
    return vx > 0 && vy > 0 ? cov / std::sqrt(vx * vy) : 0;
}
std::mutex g_seenMutex;
std::vector<SeenFrame> g_seen;

// Stands in for the time stamp's callback: reads each frame (24-bit, bottom-up rows).
LRESULT RecordFrame(HWND window, VIDEOHDR* header) {
    CAPSTATUS status{};
    static_cast<CaptureWindow*>(window)->GetStatus(&status, sizeof status);
    const int w = static_cast<int>(status.uiImageWidth), h = static_cast<int>(status.uiImageHeight);
    const int stride = (w * 3 + 3) & ~3;
    if (w <= 0 || header->dwBytesUsed < static_cast<DWORD>(stride * h))
        return 0;
    // The frame comes bottom row first; the picture is read top row first.
    QImage image(w, h, QImage::Format_BGR888);
    for (int y = 0; y < h; ++y)
        std::memcpy(image.scanLine(y), header->lpData + static_cast<std::ptrdiff_t>(h - 1 - y) * stride,
                    static_cast<std::size_t>(w) * 3);
    const long number = FrameNumber(image);
    SeenFrame seen{number, PictureLuma(image), RampMatch(image, number)};
    std::lock_guard lock(g_seenMutex);
    g_seen.push_back(seen);
    return 0;
}

std::vector<SeenFrame> Seen() {
    std::lock_guard lock(g_seenMutex);
    return g_seen;
}

unsigned long DqbufCalls() {
    using Count = unsigned long (*)();
    static const auto count = reinterpret_cast<Count>(dlsym(RTLD_DEFAULT, "fake_v4l2_dqbuf_calls"));
    return count ? count() : 0;
}

// The rate the camera streams at now, asked of the device as any program would.
double CameraRate(const std::string& node) {
    const int fd = ::open(node.c_str(), O_RDWR | O_NONBLOCK);
    if (fd < 0)
        return 0;
    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    const int rc = ::ioctl(fd, VIDIOC_G_PARM, &parm);
    ::close(fd);
    const v4l2_fract tpf = parm.parm.capture.timeperframe;
    return rc == 0 && tpf.numerator != 0 ? double(tpf.denominator) / tpf.numerator : 0;
}

class CameraFaults : public Camera {
protected:
    void SetUp() override {
        Camera::SetUp();
        std::lock_guard lock(g_seenMutex);
        g_seen.clear();
    }
    // Connects and hands every frame to RecordFrame, previewed every periodMs.
    FfmpegCaptureWindow* ConnectRecording(int periodMs) {
        Connect();
        FfmpegCaptureWindow* w = Window();
        if (w != nullptr) {
            w->SetCallbackFrame(&RecordFrame);
            w->SetPreviewRate(static_cast<UINT>(periodMs));
        }
        return w;
    }
};

// One bad buffer costs one frame: the reader goes on and later frames keep coming.
struct GlitchCase {
    const char* name;
    const char* fault;
    bool mjpeg;
    const char* logged;
};

class CameraGlitch : public CameraFaults, public ::testing::WithParamInterface<GlitchCase> {};

TEST_P(CameraGlitch, CostsOneFrameAndThePreviewGoesOn) {
    const GlitchCase& c = GetParam();
    AddCamera();
    Open();
    Connect();
    if (c.mjpeg)
        ChooseFormat("640 x 480", "MJPEG");
    const std::size_t logFrom = LogSize();
    setenv(c.fault, "15", 1);  // the fifteenth frame of the next stream
    // A new stream, so that the fault counts from its start.
    ChooseFormat("320 x 240", c.mjpeg ? "MJPEG" : "24-bit RGB");
    FfmpegCaptureWindow* w = Window();
    ASSERT_TRUE(w->isConnected()) << LogSince(logFrom);
    w->SetCallbackFrame(&RecordFrame);
    w->SetPreviewRate(20);
    ASSERT_TRUE(WaitFor([&] { return Seen().size() >= 40; }, 8000))
        << Seen().size() << " frames; log:\n" << LogSince(logFrom);
    EXPECT_NE(LogSince(logFrom).find(c.logged), std::string::npos) << LogSince(logFrom);
    EXPECT_EQ(LogSince(logFrom).find("device stopped"), std::string::npos) << LogSince(logFrom);
    // No picture cut off reached the callback: every one has its whole lower part.
    for (const SeenFrame& f : Seen())
        EXPECT_GT(f.rampMatch, 0.9) << "frame " << f.number;
}

INSTANTIATE_TEST_SUITE_P(
    Fault, CameraGlitch,
    ::testing::Values(
        GlitchCase{"InputOutputError", "FAKE_V4L2_EIO_AT", false, "whole: Input/output error"},
        GlitchCase{"ShortRawBuffer", "FAKE_V4L2_SHORT_AT", false, "raw picture cut short"},
        GlitchCase{"JpegCutOff", "FAKE_V4L2_SHORT_AT", true, "JPEG picture cut off"}),
    [](const auto& info) { return std::string(info.param.name); });

// A camera's first pictures after it starts streaming (here black) reach neither the
// preview nor the file: not at connect, not after it came back.
TEST_F(CameraFaults, PicturesOfACameraThatHasJustStartedAreNotUsed) {
    AddCamera();
    Open();
    setenv("FAKE_V4L2_DARK_FIRST", "5", 1);
    setenv("FAKE_V4L2_UNPLUG_AFTER", "45", 1);
    setenv("FAKE_V4L2_RETURN_AFTER_MS", "300", 1);
    ConnectRecording(20);
    // The first frame of the run is taken at once, the rest one a second, across the
    // camera's absence.
    RunFrames(4, 12000);
    dlg->OnStop();
    ASSERT_EQ(dlg->frameCount, 4) << LogSince(0);
    const std::vector<QImage> frames = DecodeFrames(File("brslt000.avi"), 640, 480);
    ASSERT_EQ(frames.size(), 4u);
    for (std::size_t i = 0; i < frames.size(); ++i)
        EXPECT_GT(PictureLuma(frames[i]), 60) << "stored frame " << i << " is dark";
    for (const SeenFrame& f : Seen())
        EXPECT_GT(f.luma, 60) << "previewed frame " << f.number << " is dark";
    EXPECT_NE(LogSince(0).find("the device is back"), std::string::npos) << "it came back";
}

// A preview whose camera went away looks for it again, and shows it once it is back,
// without a grab to reopen it.
TEST_F(CameraFaults, PreviewComesBackWithACameraThatWentAwayAndReturned) {
    AddCamera();
    Open();
    setenv("FAKE_V4L2_UNPLUG_AFTER", "30", 1);
    setenv("FAKE_V4L2_RETURN_AFTER_MS", "1000", 1);
    const std::size_t logFrom = LogSize();
    FfmpegCaptureWindow* w = ConnectRecording(50);
    ASSERT_TRUE(WaitFor([&] { return LogSince(logFrom).find("the preview looks for it") !=
                                     std::string::npos; }, 4000))
        << LogSince(logFrom);
    const std::size_t framesBefore = Seen().size();
    const long lastBefore = framesBefore ? Seen().back().number : -1;
    ASSERT_TRUE(WaitFor([&] { return Seen().size() >= framesBefore + 10; }, 8000))
        << "the preview stayed frozen\n" << LogSince(logFrom);
    EXPECT_GT(Seen().back().number, lastBefore);
    EXPECT_NE(LogSince(logFrom).find("the device is back"), std::string::npos);
    EXPECT_TRUE(w->isConnected());
}

// A camera keeps the rate the last program set: connect asks it for its fastest.
TEST_F(CameraFaults, ConnectAsksTheCameraForItsFastestRate) {
    setenv("FAKE_V4L2_FRAME_RATES", "15,30", 1);  // the fake starts at the first, 15
    AddCamera();
    Open();
    Connect();
    EXPECT_DOUBLE_EQ(CameraRate(Dev("video0")), 30.0);
}

// A camera with one frame a second and no faster is waited for as long as three of its
// frames take, not reopened at every grab.
TEST_F(CameraFaults, ASlowCameraIsWaitedForAsItsRateNeedsWithoutReopening) {
    setenv("FAKE_V4L2_FRAME_RATES", "1", 1);
    AddCamera();
    Open();
    const std::size_t logFrom = LogSize();
    QElapsedTimer t;
    t.start();
    Connect();
    EXPECT_LT(t.elapsed(), 6000);
    EXPECT_DOUBLE_EQ(CameraRate(Dev("video0")), 1.0);
    FfmpegCaptureWindow* w = Window();
    ASSERT_EQ(w->FileSetCaptureFile(File("slow.avi").toLocal8Bit().constData()), TRUE);
    ASSERT_EQ(w->SingleFrameOpen(), TRUE);
    for (int grab = 0; grab < 2; ++grab) {
        t.restart();
        EXPECT_EQ(w->SingleFrame(), TRUE) << "grab " << grab << "\n" << LogSince(logFrom);
        EXPECT_LT(t.elapsed(), 2500) << "grab " << grab;
    }
    w->SingleFrameClose();
    EXPECT_EQ(LogSince(logFrom).find("reopening"), std::string::npos) << LogSince(logFrom);
}

// A driver stuck in open, in DQBUF or in STREAMOFF for seconds holds the window no longer
// than its limits; the reader left to it closes the device when the driver returns.
TEST_F(CameraFaults, ConnectToADriverStuckInOpenReturnsWithinItsLimit) {
    AddCamera();
    Open();
    const int threadsBefore = ThreadCount();
    registry->settings().connectTimeoutMs = 1000;
    setenv("FAKE_V4L2_HANG_OPEN_MS", "4000", 1);
    QElapsedTimer t;
    t.start();
    dlg->driverList->SetCurSel(0);
    dlg->OnConnect();
    EXPECT_LT(t.elapsed(), 1000 + 1000 + 700) << "connect limit plus the teardown wait";
    EXPECT_EQ(dlg->captureState, Disconnected);
    unsetenv("FAKE_V4L2_HANG_OPEN_MS");
    // Once the driver returned, the camera is free again.
    ASSERT_TRUE(WaitFor([&] { return ThreadCount() <= threadsBefore; }, 6000));
    Connect();
}

TEST_F(CameraFaults, GrabFromADriverStuckInDqbufFailsWithinItsLimit) {
    AddCamera();
    Open();
    const int threadsBefore = ThreadCount();
    registry->settings().frameWaitMs = 500;
    registry->settings().reopenBoundMs = 1000;
    setenv("FAKE_V4L2_HANG_AFTER", "20", 1);
    setenv("FAKE_V4L2_HANG_MS", "5000", 1);
    Connect();
    FfmpegCaptureWindow* w = Window();
    ASSERT_EQ(w->FileSetCaptureFile(File("hang.avi").toLocal8Bit().constData()), TRUE);
    ASSERT_EQ(w->SingleFrameOpen(), TRUE);
    QTest::qWait(1200);  // the reader is stuck by now
    QElapsedTimer t;
    t.start();
    EXPECT_EQ(w->SingleFrame(), 0);
    // The frame wait, then reopenings until the bound, letting go of the stuck reader
    // included.
    EXPECT_LT(t.elapsed(), 500 + 1000 + 700);
    w->SingleFrameClose();
    t.restart();
    dlg->OnDisconnect();
    EXPECT_LT(t.elapsed(), 1000 + 500);
    // The reader left to the driver ends when DQBUF returns.
    EXPECT_TRUE(WaitFor([&] { return ThreadCount() <= threadsBefore; }, 8000));
}

// A grab whose reopening ran out of time while letting go of a reader stuck in its driver
// leaves the window connected: its preview must go on looking for the camera, and show it
// once the driver is back.
TEST_F(CameraFaults, PreviewComesBackAfterAGrabThatFailedOnAStuckDriver) {
    AddCamera();
    Open();
    registry->settings().frameWaitMs = 500;
    registry->settings().reopenBoundMs = 1000;
    registry->settings().previewRetryMs = 500;
    setenv("FAKE_V4L2_HANG_AFTER", "20", 1);
    setenv("FAKE_V4L2_HANG_MS", "2500", 1);
    FfmpegCaptureWindow* w = ConnectRecording(50);
    ASSERT_NE(w, nullptr);
    ASSERT_EQ(w->FileSetCaptureFile(File("stuck.avi").toLocal8Bit().constData()), TRUE);
    ASSERT_EQ(w->SingleFrameOpen(), TRUE);
    QTest::qWait(1200);  // the reader is stuck by now
    EXPECT_EQ(w->SingleFrame(), 0);
    unsetenv("FAKE_V4L2_HANG_AFTER");  // the driver works again once it returns
    w->SingleFrameClose();
    ASSERT_TRUE(w->isConnected());
    const std::int64_t failedAtUs = av_gettime_relative();
    EXPECT_TRUE(WaitFor([&] { return w->lastCaptureUs() > failedAtUs; }, 8000))
        << "the preview stayed dead\n" << LogSince(0);
}

TEST_F(CameraFaults, DisconnectFromADriverStuckInStreamoffReturnsWithinItsLimit) {
    AddCamera();
    Open();
    const int threadsBefore = ThreadCount();
    Connect();
    setenv("FAKE_V4L2_HANG_STREAMOFF_MS", "3000", 1);
    QElapsedTimer t;
    t.start();
    dlg->OnDisconnect();
    EXPECT_LT(t.elapsed(), 1000 + 500) << "the teardown wait";
    EXPECT_EQ(dlg->captureState, Disconnected);
    // The reader left to its driver counts until its very end, which the program's end
    // waits for.
    EXPECT_FALSE(device::WaitForDeviceThreads(std::chrono::milliseconds(0)));
    EXPECT_TRUE(device::WaitForDeviceThreads(std::chrono::milliseconds(6000)));
    unsetenv("FAKE_V4L2_HANG_STREAMOFF_MS");
    ASSERT_TRUE(WaitFor([&] { return ThreadCount() <= threadsBefore; }, 6000));
    Connect();  // the device was closed by the reader that was left to it
}

// Where the reader cannot tell its descriptor among several of the same device, it waits a
// frame period between reads instead of asking the device every few milliseconds.
TEST_F(CameraFaults, ReaderThatCannotTellItsDescriptorStillWaitsForFrames) {
    for (const bool twin : {false, true}) {
        SCOPED_TRACE(twin ? "two descriptors of the device" : "one descriptor");
        AddCamera();
        if (twin)
            setenv("FAKE_V4L2_TWIN_FD", "1", 1);
        Open();
        ConnectRecording(1000);
        QTest::qWait(300);
        const unsigned long before = DqbufCalls();
        QTest::qWait(2000);
        const unsigned long calls = DqbufCalls() - before;
        // 60 frames at 30 a second: a call that finds one, a call that does not, and some.
        EXPECT_LT(calls, 200u);
        EXPECT_GT(calls, 40u) << "the camera was read";
        dlg->OnDisconnect();
        dlg.reset();
        registry.reset();
        unsetenv("FAKE_V4L2_TWIN_FD");
        cameras.clear();
        std::filesystem::remove_all(devices.path().toStdString());
        std::filesystem::create_directories(devices.path().toStdString());
    }
}

// No packet outlives the device it came from: taking the device down (a format change, a
// disconnect) leaves libavdevice no buffer it must requeue or miss.
TEST_F(CameraFaults, TeardownsLeaveTheDeviceNoBufferInUse) {
    AddCamera();
    Open();
    ConnectRecording(20);
    QTest::qWait(300);
    const std::size_t logFrom = LogSize();
    ChooseFormat("1280 x 720", "MJPEG");
    QTest::qWait(300);
    dlg->OnDisconnect();
    const std::string log = LogSince(logFrom);
    EXPECT_EQ(log.find("still owned"), std::string::npos) << log;
    EXPECT_EQ(log.find("VIDIOC_QBUF"), std::string::npos) << log;
}

// The device session alone, without a window: a camera that went away and came back as
// another node under the same stable name is found again by the preview's polls, and a
// grab then gets a picture taken after it asked.
TEST_F(CameraFaults, SessionFindsACameraBackUnderItsStableNameWithoutAWindow) {
    namespace fs = std::filesystem;
    AddCamera();
    setenv("FAKE_V4L2_UNPLUG_AFTER", "20", 1);
    setenv("FAKE_V4L2_RETURN_AFTER_MS", "500", 1);
    auto limits = std::make_shared<device::SessionLimits>();
    limits->previewRetryMs = 300;
    device::DeviceSession session(limits);
    device::SourceRequest request;
    request.kind = device::DeviceKind::V4l2;
    request.path = Dev(std::string("v4l/by-id/") + kStableName);
    request.width = request.height = 0;
    request.rawWherePossible = request.fastestRate = true;
    device::SourceFrame frame;
    int error = -1;
    ASSERT_TRUE(session.open(request, &frame, &error));
    ASSERT_TRUE(WaitUntilUnplugged(Dev("video0"), 5000));
    const std::int64_t goneUs = av_gettime_relative();
    fs::rename(Dev("video0"), Dev("video1"));
    fs::remove(request.path);
    fs::create_symlink("../../video1", request.path);
    ASSERT_TRUE(WaitFor([&] { return session.poll(&frame) && frame.captureUs > goneUs; }, 5000))
        << LogSince(0);
    EXPECT_EQ(frame.frame->width, 640);
    const std::int64_t requestUs = av_gettime_relative();
    ASSERT_TRUE(session.fresh(requestUs, &frame));
    EXPECT_GE(frame.captureUs, requestUs);
}

}  // namespace
