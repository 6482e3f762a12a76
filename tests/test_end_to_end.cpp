// Whole runs: the main window on the real FFmpeg capture window and the built-in test
// pattern, with the power services faked. The files are read back by ffprobe. A run under a
// file-size limit runs in a child process of its own, so the limit stays there.
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <csignal>
#include <memory>

#include "app/CaptureDlg.h"
#include "common/CaptureSettings.h"
#include "fakes/FakePowerServices.h"
#include "platform/capwin/FfmpegDriverRegistry.h"
#include "support/ChildProcess.h"
#include "support/FileSizeLimit.h"
#include "support/Probe.h"

namespace {

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        previousDir = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(dir.path()));
        registry = std::make_unique<FfmpegDriverRegistry>(FfmpegDriverRegistry::Devices::None);
        dlg = std::make_unique<CCaptureDlg>(Platform{registry.get(), &power});
        dlg->Create();
    }
    void TearDown() override {
        dlg.reset();
        registry.reset();
        QDir::setCurrent(previousDir);
    }
    void ConnectPattern() {
        dlg->driverList->SetCurSel(registry->testPatternIndex());
        dlg->OnConnect();
        ASSERT_EQ(dlg->captureState, Connected) << "the test pattern did not connect";
    }
    QString File(const char* leaf) const { return dir.path() + "/" + leaf; }

    QTemporaryDir dir;
    QString previousDir;
    FakePowerServices power;
    std::unique_ptr<FfmpegDriverRegistry> registry;
    std::unique_ptr<CCaptureDlg> dlg;
};

// First in this file: the child is forked before any test has started the pattern's
// threads, so it inherits no lock that one of them held.
TEST_F(EndToEnd, AStartWhoseFileCannotBeWrittenFailsAtOnceAndNeverSleeps) {
    enum Result { Ok, NoConnect = 10, NoLimit, NotFailedAtOnce, PowerCalled, NotDisconnected,
                  NoReason };
    const int result = ExitOfChild(
        [&] {
            // A write past the limit must fail, not end the child.
            std::signal(SIGXFSZ, SIG_IGN);
            dlg->CheckDlgButton(IDC_USE_SLEEP, BST_CHECKED);
            dlg->CheckDlgButton(IDC_SUSPEND_END, BST_CHECKED);
            dlg->driverList->SetCurSel(registry->testPatternIndex());
            dlg->OnConnect();
            if (dlg->captureState != Connected)
                return NoConnect;
            const FileSizeLimit limit(4096);  // a page: not even the file's header fits
            if (!limit.ok())
                return NoLimit;
            power.calls.clear();
            QElapsedTimer clock;
            clock.start();
            dlg->OnStart();
            const bool failed = QTest::qWaitFor(
                [&] { return dlg->GetWindowText() == QLatin1String("Capture Failed."); }, 1000);
            if (!failed || clock.elapsed() > 1000)
                return NotFailedAtOnce;
            if (!power.calls.empty())
                return PowerCalled;
            if (dlg->captureState != Disconnected || !dlg->captureWindow.isNull())
                return NotDisconnected;
            if (!dlg->statusLine.Text().contains(QLatin1String("file size limit")))
                return NoReason;
            return Ok;
        },
        30);
    EXPECT_EQ(result, Ok) << "10: no connect, 11: no limit, 12: no \"Capture Failed.\" within a "
                             "second, 13: a suspend or hibernation was asked for, 14: still "
                             "connected, 15: the status line gives no reason";
}

TEST_F(EndToEnd, ARunOfFiveSecondsAtOneSecondEndsByItselfWithEveryFrame) {
    ConnectPattern();
    dlg->SetDlgItemText(IDC_INTERVAL, "1");
    dlg->SetDlgItemText(IDC_SPAN, "5");
    ASSERT_EQ(dlg->intervalSeconds, 1);
    ASSERT_EQ(dlg->spanSeconds, 5);
    dlg->OnStart();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return dlg->GetWindowText() == QLatin1String("End Capture..."); }, 12000));
    EXPECT_EQ(dlg->captureState, Connected);
    // The first frame at once, one per second after it; the tick at 5 s races the span.
    EXPECT_GE(dlg->frameCount, 5);
    EXPECT_LE(dlg->frameCount, 6);
    EXPECT_EQ(DecodedFrames(File("brslt000.avi")), dlg->frameCount);
    EXPECT_FALSE(QFile::exists(File("brslt001.avi")));
    char counter[32];
    std::snprintf(counter, sizeof counter, "frm:%08d", dlg->frameCount);
    EXPECT_EQ(dlg->GetDlgItemText(IDC_FRAMES), QLatin1String(counter));
    EXPECT_EQ(power.CountCalls("Hibernate"), 1) << "suspend end is checked at start-up";
    EXPECT_EQ(power.CountCalls("Suspend"), 0) << "1 s is too short to sleep";
}

TEST_F(EndToEnd, TheSmallestSizePerFileRollsTenFramesOverIntoSeveralReadableFiles) {
    ConnectPattern();
    dlg->setupPanel.SetDlgItemText(IDC_SIZE_PER_FILE, "1");
    ASSERT_EQ(captureSettings.maxFileBytes, 1000000u);
    dlg->OnStart();
    for (int tick = 1; tick < 10; ++tick) {
        dlg->OnTimer(TIMER_FRAME);
        ASSERT_EQ(dlg->captureState, Capturing) << "tick " << tick;
    }
    EXPECT_EQ(captureSettings.lastFrameBytes, 230400u) << "320 x 240 x 3 bytes";
    dlg->OnStop();
    ASSERT_EQ(dlg->frameCount, 10);

    int total = 0;
    int files = 0;
    for (int n = 0; n < 10; ++n) {
        char leaf[32];
        std::snprintf(leaf, sizeof leaf, "brslt%03d.avi", n);
        if (!QFile::exists(File(leaf)))
            break;
        ++files;
        const int frames = DecodedFrames(File(leaf));
        ASSERT_GT(frames, 0) << leaf;
        EXPECT_LE(QFileInfo(File(leaf)).size(), 1000000 + 230400) << leaf;
        total += frames;
    }
    EXPECT_GE(files, 3);
    EXPECT_EQ(total, 10);
}

TEST_F(EndToEnd, APatternThatDiesMidRunEndsItWithCaptureFailedAndKeepsTheFrames) {
    registry->setTestPatternStall(40);  // about a second and a half of frames at 25 a second
    ConnectPattern();
    dlg->CheckDlgButton(IDC_SUSPEND_END, BST_UNCHECKED);
    dlg->OnStart();
    const size_t controls = dlg->ControlLog().size();
    int ticks = 0;
    while (dlg->captureState == Capturing && ticks < 40) {
        QTest::qWait(100);
        dlg->OnTimer(TIMER_FRAME);
        ++ticks;
    }
    ASSERT_EQ(dlg->captureState, Disconnected) << "the dead pattern never failed a grab";
    EXPECT_EQ(dlg->GetWindowText(), QLatin1String("Capture Failed."));
    EXPECT_TRUE(dlg->captureWindow.isNull());
    std::string log;
    for (size_t i = controls; i < dlg->ControlLog().size(); ++i)
        log += (log.empty() ? "" : ", ") + dlg->ControlLog()[i];
    EXPECT_EQ(log, "1001 on, 1002 off, 1005 off, 1006 off, 1003 on, 1004 on, setup 1015 on");
    EXPECT_EQ(power.CountCalls("Hibernate"), 0);
    // Every frame before the fault is in the finished file.
    EXPECT_EQ(DecodedFrames(File("brslt000.avi")), dlg->frameCount - 1);
    EXPECT_GE(dlg->frameCount, 2);
}

}  // namespace
