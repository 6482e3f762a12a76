// The camera path end to end: the main window on the real FFmpeg capture window, recording
// from the fake V4L2 camera (preloaded by CTest) laid out in a temporary device directory.
// The files are read back by ffmpeg, and every frame's number by its pixels.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFormLayout>
#include <QImage>
#include <QLabel>
#include <QProcess>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/time.h>
}

#include "app/CaptureDlg.h"
#include "camera_harness.h"
#include "common/CaptureSettings.h"
#include "fakes/FakePowerServices.h"
#include "platform/capwin/DriverDialogs.h"
#include "platform/capwin/FfmpegCaptureWindow.h"
#include "platform/capwin/FfmpegDriverRegistry.h"
#include "support/Probe.h"

namespace fs = std::filesystem;

namespace {

using namespace cameratest;

TEST_F(Camera, DriverListNamesCamerasByStableNameInNodeOrderThenThePattern) {
    AddCamera(0, "by-id", kStableName);
    AddCamera(1, "by-id", "usb-Brisolt_Other_Camera-video-index0");
    AddCamera(2, "by-path", "pci-0000:00:14.0-usb-0:3:1.0-video-index0");
    // A node that is no camera (its ioctls fail) is left out.
    QFile plain(QString::fromStdString(Dev("video3")));
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    plain.close();
    Open();
    const std::string expected[] = {
        "Brisolt Fake Camera (" + Dev("v4l/by-id/") + kStableName + ")",
        "Brisolt Fake Camera (" + Dev("v4l/by-id/usb-Brisolt_Other_Camera-video-index0") + ")",
        "Brisolt Fake Camera (" + Dev("v4l/by-path/pci-0000:00:14.0-usb-0:3:1.0-video-index0") + ")",
        FfmpegDriverRegistry::kTestPatternName};
    ASSERT_EQ(dlg->driverList->GetCount(), 4);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(dlg->driverList->GetText(i).toStdString(), expected[i]) << "entry " << i;
}

TEST_F(Camera, RunsInEachFormatChosenInTheFormatDialogRecordNumberedStampedFrames) {
    // MJPEG pictures are decoded for the stamp and compressed again, by default as Motion
    // JPEG; the fake camera has 1920 x 1080 only in MJPEG, which then serves RGB at that size.
    const struct {
        const char* size;
        const char* layout;
        int width, height;
        const char* compression;  // what the compression dialog that follows shows
        const char* codec;
    } cases[] = {{"640 x 480", "YUY2", 640, 480, "Uncompressed", "rawvideo"},
                 {"1280 x 720", "MJPEG", 1280, 720, "Motion JPEG", "mjpeg"},
                 {"1920 x 1080", "24-bit RGB", 1920, 1080, "Uncompressed", "rawvideo"},
                 {"320 x 240", "24-bit RGB", 320, 240, "Uncompressed", "rawvideo"}};
    AddCamera();
    Open();
    Connect();
    int run = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.layout) + " " + c.size);
        QString shownCompression;
        bool compressionEnabled = false;
        const auto seen = DriverDialogs(
            {{capwin::kVideoFormatDialog,
              [&](QDialog* d) {
                  Choose(d, "frameSize", c.size);
                  Choose(d, "pixelFormat", c.layout);
              }},
             {capwin::kVideoCompressionDialog, [&](QDialog* d) {
                  auto* combo = d->findChild<QComboBox*>("compression");
                  ASSERT_NE(combo, nullptr);
                  shownCompression = combo->currentText();
                  compressionEnabled = combo->isEnabled();
              }}});
        ASSERT_EQ(seen.size(), 4u);
        EXPECT_EQ(shownCompression.toStdString(), c.compression);
        EXPECT_TRUE(compressionEnabled);
        CAPSTATUS status{};
        ASSERT_EQ(Window()->GetStatus(&status, sizeof status), TRUE);
        ASSERT_EQ(status.uiImageWidth, UINT(c.width));
        ASSERT_EQ(status.uiImageHeight, UINT(c.height));
        RunFrames(3, 8000);
        dlg->OnStop();
        ASSERT_EQ(dlg->frameCount, 3);
        char leaf[32];
        std::snprintf(leaf, sizeof leaf, "brslt%03d.avi", run++);
        QProcess ffprobe;
        ffprobe.start("ffprobe", {"-v", "error", "-select_streams", "v:0", "-show_entries",
                                  "stream=codec_name,width,height", "-of", "csv=p=0", File(leaf)});
        ASSERT_TRUE(ffprobe.waitForFinished(20000));
        EXPECT_EQ(ffprobe.readAllStandardOutput().trimmed().toStdString(),
                  std::string(c.codec) + "," + std::to_string(c.width) + "," +
                      std::to_string(c.height));
        EXPECT_EQ(DecodedFrames(File(leaf)), 3);
        const std::vector<QImage> frames = DecodeFrames(File(leaf), c.width, c.height);
        ASSERT_EQ(frames.size(), 3u);
        for (std::size_t i = 0; i < frames.size(); ++i) {
            if (i > 0) {
                EXPECT_GT(FrameNumber(frames[i]), FrameNumber(frames[i - 1])) << "frame " << i;
            }
            EXPECT_TRUE(HasStampBand(frames[i])) << "frame " << i;
        }
        // At one frame a second from a 30 fps camera, frames lie about 30 numbers apart.
        EXPECT_GE(FrameNumber(frames[2]) - FrameNumber(frames[0]), 40);
    }
    // A snapshot is the last frame, as a bitmap of the current size.
    dlg->OnSnapshot();
    const QImage snapshot(File("brslt000.bmp"));
    ASSERT_FALSE(snapshot.isNull());
    EXPECT_EQ(snapshot.size(), QSize(320, 240));
    EXPECT_GT(FrameNumber(snapshot), 0);
}

TEST_F(Camera, SourceDialogOffersTheWritableEnabledControlsAndBrightnessChangesLaterFrames) {
    AddCamera();
    Open();
    Connect();
    FfmpegCaptureWindow* w = Window();
    ASSERT_NE(w, nullptr);
    w->SetPreviewRate(50);
    ASSERT_TRUE(WaitFor([&] { return !w->shownImage().isNull(); }, 3000));
    const double before = PictureLuma(w->shownImage());

    std::vector<std::pair<std::string, std::string>> listed;
    std::int64_t setAtUs = 0;
    DriverDialogs({{capwin::kVideoSourceDialog, [&](QDialog* d) {
        for (const auto& [label, field] : FormRows(d)) {
            std::string value = "?";
            if (auto* slider = qobject_cast<QSlider*>(field))
                value = std::to_string(slider->value()) + " of " +
                        std::to_string(slider->minimum()) + ".." + std::to_string(slider->maximum());
            else if (auto* box = qobject_cast<QCheckBox*>(field))
                value = box->isChecked() ? "on" : "off";
            else if (auto* combo = qobject_cast<QComboBox*>(field))
                value = combo->currentText().toStdString();
            listed.emplace_back(label.toStdString(), value);
            if (label == "Brightness")
                qobject_cast<QSlider*>(field)->setValue(60);
        }
        setAtUs = av_gettime_relative();
    }}});
    // Gain is read-only and Hue disabled: neither is offered.
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"Brightness", "0 of -64..64"},
        {"White Balance, Automatic", "on"},
        {"Power Line Frequency", "50 Hz"}};
    EXPECT_EQ(listed, expected);
    ASSERT_NE(setAtUs, 0);
    ASSERT_TRUE(WaitFor([&] { return w->lastCaptureUs() > setAtUs + 100000; }, 3000));
    EXPECT_GT(PictureLuma(w->shownImage()), before + 30) << "brightness +60 of 64";
}

enum class Return { SamePath, OtherNode, Never };

struct UnplugCase {
    const char* name;
    Return back;
};

class CameraUnplug : public Camera, public ::testing::WithParamInterface<UnplugCase> {};

TEST_P(CameraUnplug, RunGoesOnWhenTheCameraComesBackAndFailsWhenItDoesNot) {
    const UnplugCase c = GetParam();
    AddCamera();
    Open();
    if (c.back == Return::Never)
        registry->settings() = capwin::CaptureWindowSettings{};  // the program's own limits
    // About 1.5 s into the run (30 frames a second), between its second and third frame.
    setenv("FAKE_V4L2_UNPLUG_AFTER", "45", 1);
    if (c.back != Return::Never)
        setenv("FAKE_V4L2_RETURN_AFTER_MS", "1000", 1);
    Connect();
    QElapsedTimer run;
    run.start();
    dlg->SetDlgItemText(IDC_INTERVAL, "1");
    dlg->CheckDlgButton(IDC_SUSPEND_END, BST_UNCHECKED);
    dlg->OnStart();
    const std::string video0 = Dev("video0");
    ASSERT_TRUE(WaitUntilUnplugged(video0, 5000));
    const qint64 unpluggedAtMs = run.elapsed();
    if (c.back == Return::OtherNode) {
        // Back as video1 under the same by-id name.
        fs::rename(video0, Dev("video1"));
        fs::remove(Dev(std::string("v4l/by-id/") + kStableName));
        fs::create_symlink("../../video1", Dev(std::string("v4l/by-id/") + kStableName));
    }
    if (c.back == Return::Never) {
        ASSERT_TRUE(WaitFor([&] { return dlg->captureState != Capturing; }, 12000));
        EXPECT_LE(run.elapsed() - unpluggedAtMs, 10000);
        EXPECT_EQ(dlg->GetWindowText(), QLatin1String("Capture Failed."));
        EXPECT_EQ(dlg->captureState, Disconnected);
        // Every frame before the failed grab is in the file.
        EXPECT_EQ(DecodedFrames(File("brslt000.avi")), dlg->frameCount - 1);
        EXPECT_GE(dlg->frameCount, 3);
        return;
    }
    ASSERT_TRUE(WaitFor([&] { return dlg->frameCount >= 5 || dlg->captureState != Capturing; },
                        10000));
    ASSERT_EQ(dlg->captureState, Capturing) << LogSince(0);
    dlg->OnStop();
    EXPECT_FALSE(QFile::exists(File("brslt001.avi"))) << "the run went on into the same file";
    const std::vector<QImage> frames = DecodeFrames(File("brslt000.avi"), 640, 480);
    ASSERT_EQ(static_cast<int>(frames.size()), dlg->frameCount);
    for (std::size_t i = 1; i < frames.size(); ++i)
        EXPECT_GT(FrameNumber(frames[i]), FrameNumber(frames[i - 1])) << "frame " << i;
}

INSTANTIATE_TEST_SUITE_P(Unplug, CameraUnplug,
                         ::testing::Values(UnplugCase{"BackAtTheSamePath", Return::SamePath},
                                           UnplugCase{"BackAsAnotherNode", Return::OtherNode},
                                           UnplugCase{"GoneForGood", Return::Never}),
                         [](const auto& info) { return std::string(info.param.name); });

// A webcam forgets its settings when it is re-plugged (the fake's do too), and a time-lapse
// whose exposure jumps halfway is spoiled: the brightness the user set in the source dialog
// before the run must be applied again to the camera that came back.
// DISABLED until the program re-applies the user's controls after a reopen; run it with
// --gtest_also_run_disabled_tests. It fails today: the camera is back at brightness 0.
TEST_F(Camera, DISABLED_BrightnessSetBeforeTheRunIsAppliedAgainToTheCameraThatCameBack) {
    AddCamera();
    Open();
    setenv("FAKE_V4L2_UNPLUG_AFTER", "45", 1);
    setenv("FAKE_V4L2_RETURN_AFTER_MS", "1000", 1);
    Connect();
    DriverDialogs({{capwin::kVideoSourceDialog, [&](QDialog* d) {
        for (const auto& [label, field] : FormRows(d))
            if (label == "Brightness")
                qobject_cast<QSlider*>(field)->setValue(60);
    }}});
    dlg->SetDlgItemText(IDC_INTERVAL, "1");
    dlg->CheckDlgButton(IDC_SUSPEND_END, BST_UNCHECKED);
    dlg->OnStart();
    ASSERT_TRUE(WaitUntilUnplugged(Dev("video0"), 5000));
    ASSERT_TRUE(WaitFor([&] { return dlg->frameCount >= 5 || dlg->captureState != Capturing; },
                        10000));
    ASSERT_EQ(dlg->captureState, Capturing) << LogSince(0);
    // What the camera holds now, as any program reads it.
    const int fd = ::open(Dev("video0").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    v4l2_control brightness{V4L2_CID_BRIGHTNESS, 0};
    EXPECT_EQ(ioctl(fd, VIDIOC_G_CTRL, &brightness), 0);
    ::close(fd);
    EXPECT_EQ(brightness.value, 60);
    dlg->OnStop();
    const std::vector<QImage> frames = DecodeFrames(File("brslt000.avi"), 640, 480);
    ASSERT_GE(frames.size(), 5u);
    EXPECT_NEAR(PictureLuma(frames.back()), PictureLuma(frames.front()), 10)
        << "the first frame was taken at brightness 60, the last one after the re-plug";
}

// The newest frame a reader kept must stay readable after the device closed: libavdevice
// hands out packets in the device's mapped buffers, which it unmaps at close.
TEST_F(Camera, PreviewAfterTheCameraWentAwayReadsNoReleasedBuffer) {
    AddCamera();
    Open();
    setenv("FAKE_V4L2_UNPLUG_AFTER", "20", 1);
    Connect();
    FfmpegCaptureWindow* w = Window();
    ASSERT_NE(w, nullptr);
    w->SetPreviewRate(1500);
    ASSERT_TRUE(WaitUntilUnplugged(Dev("video0"), 5000));
    // The preview ticks while the device is gone (a crash here is the fault).
    QTest::qWait(2000);
    EXPECT_TRUE(w->isConnected());
    EXPECT_FALSE(w->shownImage().isNull());
}

TEST_F(Camera, CameraThatStopsDeliveringFailsTheGrabInBoundedTimeAndLeavesNoThread) {
    AddCamera();
    Open();
    registry->settings().frameWaitMs = 500;
    registry->settings().reopenBoundMs = 1500;
    const int threadsBefore = ThreadCount();
    setenv("FAKE_V4L2_STALL_AFTER", "20", 1);
    Connect();
    FfmpegCaptureWindow* w = Window();
    ASSERT_EQ(w->FileSetCaptureFile(File("stall.avi").toLocal8Bit().constData()), TRUE);
    ASSERT_EQ(w->SingleFrameOpen(), TRUE);
    QTest::qWait(1000);  // the twenty frames are gone
    QElapsedTimer grab;
    grab.start();
    EXPECT_EQ(w->SingleFrame(), 0);
    // A frame wait, then reopenings until the bound: about 2 s, allowed 4.
    EXPECT_LT(grab.elapsed(), 4000);
    EXPECT_GE(grab.elapsed(), 1500);
    w->SingleFrameClose();
    dlg->CheckDlgButton(IDC_SUSPEND_END, BST_UNCHECKED);
    dlg->OnDisconnect();
    EXPECT_EQ(dlg->captureState, Disconnected);
    EXPECT_TRUE(WaitFor([&] { return ThreadCount() <= threadsBefore; }, 2000))
        << ThreadCount() << " threads, " << threadsBefore << " before connecting";
}

// A camera's JPEG pictures decode to the full-range YUV formats that libswscale calls
// deprecated; converting them must reuse one conversion, not set up (and warn about) a new
// one for every frame.
TEST_F(Camera, MjpegPreviewKeepsOneConversionForItsFrames) {
    AddCamera();
    Open();
    Connect();
    ChooseFormat("1280 x 720", "MJPEG");
    FfmpegCaptureWindow* w = Window();
    ASSERT_EQ(w->layout(), picture::PixelLayout::Mjpeg);
    const std::size_t logFrom = LogSize();
    w->SetPreviewRate(33);
    const std::int64_t startUs = av_gettime_relative();
    ASSERT_TRUE(WaitFor([&] { return w->lastCaptureUs() > startUs + 1000000; }, 5000));
    const std::string log = LogSince(logFrom);
    EXPECT_EQ(log.find("deprecated pixel format"), std::string::npos) << log.substr(0, 400);
    // The picture keeps its levels: black and white counter blocks, a mid-grey ramp.
    const QImage shown = w->shownImage();
    EXPECT_NEAR(PictureLuma(shown), 112, 20);
    // A previewed frame carries the time stamp too.
    EXPECT_TRUE(HasStampBand(shown));
}

TEST_F(Camera, RefusedFormatChangeKeepsTheCameraInItsFormerFormat) {
    AddCamera();
    Open();
    Connect();
    setenv("FAKE_V4L2_REFUSE_S_FMT", "1", 1);
    const std::size_t logFrom = LogSize();
    ChooseFormat("1280 x 720", "MJPEG");
    EXPECT_NE(LogSince(logFrom).find("refused the new format"), std::string::npos);
    FfmpegCaptureWindow* w = Window();
    ASSERT_TRUE(w->isConnected());
    EXPECT_EQ(w->layout(), picture::PixelLayout::Rgb24);
    RunFrames(2, 5000);
    dlg->OnStop();
    ASSERT_EQ(dlg->frameCount, 2);
    const std::vector<QImage> frames = DecodeFrames(File("brslt000.avi"), 640, 480);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_GT(FrameNumber(frames[1]), FrameNumber(frames[0]));
}

TEST_F(Camera, BusyCameraFailsTheConnectCleanlyAndConnectsOnceFree) {
    AddCamera();
    Open();
    const QString title = dlg->GetWindowText();
    const std::size_t logFrom = LogSize();
    const std::size_t controls = dlg->ControlLog().size();
    setenv("FAKE_V4L2_BUSY", "1", 1);
    dlg->OnConnect();
    EXPECT_EQ(dlg->captureState, Disconnected);
    EXPECT_EQ(dlg->GetWindowText(), title);
    EXPECT_EQ(dlg->ControlLog().size(), controls) << "no control changes";
    // The window of the attempt stays, unconnected, until the next attempt replaces it.
    ASSERT_NE(Window(), nullptr);
    EXPECT_FALSE(Window()->isConnected());
    EXPECT_TRUE(dlg->GetDlgItem(IDC_CONNECT)->IsWindowEnabled());
    EXPECT_FALSE(dlg->GetDlgItem(IDC_START)->IsWindowEnabled());
    EXPECT_FALSE(dlg->GetDlgItem(IDC_CFG)->IsWindowEnabled());
    EXPECT_FALSE(dlg->GetDlgItem(IDC_DISCONNECT)->IsWindowEnabled());
    EXPECT_NE(LogSince(logFrom).find("Device or resource busy"), std::string::npos)
        << LogSince(logFrom);
    unsetenv("FAKE_V4L2_BUSY");
    Connect();
    EXPECT_TRUE(dlg->GetDlgItem(IDC_START)->IsWindowEnabled());
}

}  // namespace
