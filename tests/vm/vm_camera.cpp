// The camera path and suspend-between-frames on a real kernel: the main window on the real
// FFmpeg capture window and the real LinuxPowerServices, recording from vivid in a run-in-vm
// guest, where the logind stand-in really suspends the guest to RAM. tests/vm.cmake runs it
// through tests/vm/run-in-vm; anywhere else it refuses to start, since it would suspend the
// machine it runs on.
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QSlider>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/capability.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/AviReaders.h"
#include "vm/vm_guest.h"

namespace {

using namespace vmtest;

// ---- the rig itself ---------------------------------------------------------------------

// v4l-utils 1.22 expects the format names of its own time; the kernel has renamed some since
// ('Y/UV 4:2:0' for 'Y/CbCr 4:2:0'), and that is the only complaint allowed.
TEST_F(Vm, RigViVidPassesV4l2ComplianceStreaming) {
    const QString out = avireaders::Run("v4l2-compliance", {"-s", "-d", kStablePath}, 200000);
    ASSERT_TRUE(out.contains("Total for vivid device")) << out.toStdString();
    const QRegularExpression fail("fail: (.*)");
    for (auto it = fail.globalMatch(out); it.hasNext();) {
        const QString what = it.next().captured(1);
        EXPECT_TRUE(what.contains("fmtdesc.description mismatch")) << what.toStdString();
    }
    for (const QString& line : out.split('\n'))
        if (line.contains(": FAIL")) {
            EXPECT_TRUE(line.contains("VIDIOC_ENUM_FMT/FRAMESIZES/FRAMEINTERVALS"))
                << line.toStdString();
        }
    EXPECT_TRUE(out.contains(QRegularExpression("MMAP \\(select\\): OK"))) << out.toStdString();
}

// ---- a recording --------------------------------------------------------------------------

TEST_F(Vm, RecordingFromViVidByItsStableNameHoldsFiveStampedFramesThatDiffer) {
    QTemporaryDir dir;
    Session s(dir.path());
    ASSERT_GE(s.dlg->driverList->GetCount(), 2);
    EXPECT_TRUE(s.dlg->driverList->GetText(0).endsWith(QString(" (") + kStablePath + ")"))
        << s.dlg->driverList->GetText(0).toStdString();
    s.Connect();
    const auto seen = s.DriverDialogs({{capwin::kVideoFormatDialog, [](QDialog* d) {
                                            Choose(d, "frameSize", "640 x 480");
                                            Choose(d, "pixelFormat", "YUY2");
                                        }}});
    ASSERT_EQ(seen.size(), 4u);
    s.Start(1, 600, false, false);
    ASSERT_TRUE(WaitFor([&] { return s.dlg->frameCount >= 5 || s.dlg->captureState != Capturing; },
                        60000));
    s.dlg->OnStop();
    ASSERT_EQ(s.dlg->frameCount, 5) << LogSince(0);
    const QString file = s.File("brslt000.avi");
    EXPECT_EQ(avireaders::Ffprobe(file), 5);
    EXPECT_EQ(avireaders::Mediainfo(file), 5);
    EXPECT_EQ(avireaders::Gstreamer(file), 5);
    const std::vector<QImage> frames = DecodeFrames(file, 640, 480);
    ASSERT_EQ(frames.size(), 5u);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_TRUE(HasStamp(frames[i])) << "frame " << i;
        if (i > 0) {
            EXPECT_GT(DifferingPixels(frames[i - 1], frames[i]), 50) << "frame " << i;
        }
    }
    if (const char* run = std::getenv("BRISOLT_VM_RUN_DIR"))
        frames.back().save(QString(run) + "/recording-last-frame.png");
}

// ---- clock changes during a run -----------------------------------------------------------

// Sets the wall clock with date -s and returns how far it moved against the boot clock.
double SetClock(double wall) {
    const double before = Clock(CLOCK_REALTIME) - Clock(CLOCK_BOOTTIME);
    const QString out = avireaders::Run("date", {"-s", "@" + QString::number(qint64(wall))});
    EXPECT_FALSE(out.isEmpty()) << "date -s failed";
    return Clock(CLOCK_REALTIME) - Clock(CLOCK_BOOTTIME) - before;
}

TEST_F(Vm, ClockSetAnHourForwardAndBackKeepsTheIntervalAndTheStampsFollowIt) {
    QTemporaryDir dir;
    Session s(dir.path());
    s.Connect();
    s.Start(2, 600, false, false);
    ASSERT_TRUE(WaitFor([&] { return s.dlg->frameCount >= 2; }, 30000));
    const double forward = SetClock(Clock(CLOCK_REALTIME) + 3600);
    ASSERT_TRUE(WaitFor([&] { return s.dlg->frameCount >= 4; }, 30000));
    const double back = SetClock(Clock(CLOCK_REALTIME) - 3600);
    ASSERT_TRUE(WaitFor([&] { return s.dlg->frameCount >= 6 || s.dlg->captureState != Capturing; },
                        30000));
    ASSERT_EQ(s.dlg->captureState, Capturing) << LogSince(0);
    s.dlg->OnStop();
    ASSERT_EQ(s.frames.size(), 6u);
    const double jumps[] = {0, 0, forward, 0, back, 0};  // before frame i, against frame i - 1
    for (std::size_t i = 0; i < s.frames.size(); ++i) {
        const FrameSeen& f = s.frames[i];
        // The stamp shows the wall clock of the moment, whichever way it was set.
        EXPECT_TRUE(f.title == FormatFrameTitle(std::time_t(f.wall)) ||
                    f.title == FormatFrameTitle(std::time_t(f.wall) - 1))
            << "frame " << i << ": " << f.title.toStdString();
        if (i == 0)
            continue;
        // The interval keeps on the clock that no setting moves.
        EXPECT_NEAR(f.boot - s.frames[i - 1].boot, 2.0, 0.6) << "frame " << i;
        EXPECT_NEAR(f.wall - s.frames[i - 1].wall, f.boot - s.frames[i - 1].boot + jumps[i], 0.3)
            << "frame " << i;
    }
    EXPECT_NEAR(forward, 3600, 2);
    EXPECT_NEAR(back, -3600, 2);
    EXPECT_EQ(avireaders::Ffprobe(s.File("brslt000.avi")), 6);
}

}  // namespace
