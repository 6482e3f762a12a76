// A run started from the command line: the options put into the main window, a driver that
// is not there waited for and given up on, and the program itself recording the test
// pattern, a fake camera that appears five seconds after it started, a run that ends at a
// time, and the disk notice on a small file system.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <sys/statvfs.h>
#include <unistd.h>

#include <chrono>
#include <memory>

#include "app/CaptureDlg.h"
#include "app/UnattendedStart.h"
#include "fakes/FakePowerServices.h"
#include "platform/capwin/FfmpegDriverRegistry.h"
#include "support/Probe.h"

namespace {

using namespace std::chrono_literals;

class UnattendedWindow : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        previousDir = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(dir.path()));
        dlg = std::make_unique<CCaptureDlg>(Platform{&registry, &power});
        dlg->Create();
    }
    void TearDown() override {
        dlg->OnStop();
        dlg.reset();
        QDir::setCurrent(previousDir);
    }
    bool Checked(int id) const { return dlg->IsDlgButtonChecked(id) == BST_CHECKED; }

    QTemporaryDir dir;
    QString previousDir;
    FfmpegDriverRegistry registry{FfmpegDriverRegistry::Devices::None};
    FakePowerServices power;
    std::unique_ptr<CCaptureDlg> dlg;
};

TEST_F(UnattendedWindow, AStartSetsTheFieldsAndExactlyTheBoxesItNames) {
    struct Case {
        bool useSleep, suspendEnd;
    };
    for (const Case c : {Case{true, false}, Case{false, true}, Case{false, false}}) {
        SCOPED_TRACE(c.useSleep * 10 + c.suspendEnd);
        dlg->OnStop();
        dlg->OnDisconnect();
        RunOptions run;
        run.driverIndex = registry.testPatternIndex();
        run.intervalSeconds = 7;
        run.spanSeconds = 70;
        run.useSleep = c.useSleep;
        run.suspendEnd = c.suspendEnd;
        run.start = true;
        UnattendedStart start(*dlg, run);
        start.Begin();
        EXPECT_EQ(dlg->captureState, Capturing);
        EXPECT_EQ(dlg->frameCount, 1);
        EXPECT_EQ(dlg->intervalSeconds, 7);
        EXPECT_EQ(dlg->spanSeconds, 70);
        EXPECT_EQ(dlg->GetDlgItemInt(IDC_INTERVAL), 7u);
        EXPECT_EQ(Checked(IDC_USE_SLEEP), c.useSleep);
        EXPECT_EQ(Checked(IDC_SUSPEND_END), c.suspendEnd);
        EXPECT_EQ(start.ExitStatus(), 0);
    }
}

// The estimate's inputs from the real capture window: the test pattern's raw 320 x 240
// frames take their rows, a chunk head and index entries each, and the room is that of the
// directory's file system.
TEST_F(UnattendedWindow, TheWindowTellsWhatItsFramesTakeAndTheRoomLeft) {
    RunOptions run;
    run.driverIndex = registry.testPatternIndex();
    run.start = true;
    UnattendedStart start(*dlg, run);
    start.Begin();
    ASSERT_EQ(dlg->captureState, Capturing);
    dlg->OnTimer(TIMER_FRAME);
    const CaptureWindow::FrameStorage storage = dlg->captureWindow->FrameStorageNow();
    EXPECT_FALSE(storage.compressed);
    EXPECT_EQ(storage.rawFrameBytes, 320 * 240 * 3 + 8 + 24);
    const CaptureWindow::FileState file = dlg->captureWindow->CaptureFile();
    EXPECT_EQ(file.frames, 2);
    EXPECT_EQ(file.storedFrameBytes, 2 * storage.rawFrameBytes);
    struct statvfs room {};
    ASSERT_EQ(::statvfs(QFile::encodeName(dir.path()).constData(), &room), 0);
    const double free = static_cast<double>(room.f_bavail) * static_cast<double>(room.f_frsize);
    EXPECT_NEAR(static_cast<double>(file.freeBytes), free, free * 0.01 + 1e7);
    EXPECT_TRUE(dlg->statusLine.Text().contains("disk: ")) << dlg->statusLine.Text().toStdString();
}

TEST_F(UnattendedWindow, WithoutStartTheOptionsFillInTheWindowAndLeaveTheClicks) {
    RunOptions run;
    run.driverIndex = 0;
    run.spanSeconds = 99;
    UnattendedStart start(*dlg, run);
    start.Begin();
    EXPECT_EQ(dlg->captureState, Disconnected);
    EXPECT_EQ(dlg->spanSeconds, 99);
    EXPECT_TRUE(Checked(IDC_USE_SLEEP));  // as at start-up
    EXPECT_TRUE(Checked(IDC_SUSPEND_END));
}

TEST_F(UnattendedWindow, AnEndTimeBecomesTheSpanLeftWhenTheRunStarts) {
    RunOptions run;
    run.driverIndex = 0;
    run.until = 1'800'000'500;
    run.start = true;
    UnattendedStart start(*dlg, run, [] { return std::time_t{1'800'000'000}; });
    start.Begin();
    EXPECT_EQ(dlg->captureState, Capturing);
    EXPECT_EQ(dlg->spanSeconds, 500);
}

TEST_F(UnattendedWindow, ADriverThatDoesNotComeIsShownWaitedForAndGivenUp) {
    RunOptions run;
    run.driverPath = dir.path().toStdString() + "/v4l/by-id/usb-Missing_Camera-video-index0";
    run.start = true;
    UnattendedStart start(*dlg, run);
    start.SetRetryPeriod(50ms);
    start.SetWaitLimit(400ms);
    start.Begin();
    EXPECT_TRUE(
        dlg->statusLine.Text().startsWith("Waiting for " + QString::fromStdString(run.driverPath)))
        << dlg->statusLine.Text().toStdString();
    EXPECT_TRUE(QTest::qWaitFor([&] { return start.ExitStatus() != 0; }, 5000));
    EXPECT_EQ(start.ExitStatus(), 1);
    EXPECT_EQ(start.Message(),
              "brisolt: " + run.driverPath + " is not there after 1 s; no run was started\n");
    EXPECT_EQ(dlg->captureState, Disconnected);
}

// ---- the program as a process ------------------------------------------------------------

QString BinaryDir() { return QString::fromLocal8Bit(qgetenv("BRISOLT_BINARY_DIR")); }

// The program on the offscreen platform, with no camera but those the test lays out in
// devices, never on the machine's real system bus; its standard error is collected.
class ProgramRun {
public:
    ProgramRun(const QString& devices, const QStringList& args, const QStringList& wrapper = {},
               const QStringList& extraEnv = {}) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/brisolt-test-system-bus");
        env.insert("BRISOLT_DEVICE_DIR", devices);
        for (const QString& pair : extraEnv)
            env.insert(pair.section('=', 0, 0), pair.section('=', 1));
        process_.setProcessEnvironment(env);
        QObject::connect(&process_, &QProcess::readyReadStandardError,
                         [this] { err_ += process_.readAllStandardError(); });
        const QString program = BinaryDir() + "/brisolt";
        if (wrapper.isEmpty())
            process_.start(program, args);
        else
            process_.start(wrapper.first(), wrapper.mid(1) + QStringList{program} + args);
    }
    ~ProgramRun() {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished();
        }
    }
    // Waits until standard error holds text.
    bool Says(const QString& text, int ms) {
        return QTest::qWaitFor([&] { return Err().contains(text); }, ms);
    }
    // Ends the program as a log-off does; its exit status.
    int Terminate() {
        process_.terminate();
        if (!process_.waitForFinished(20000))
            return -1;
        err_ += process_.readAllStandardError();
        return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
    }
    QString Err() const { return QString::fromLocal8Bit(err_); }

private:
    QProcess process_;
    QByteArray err_;
};

class UnattendedProgram : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(devices.isValid());
        ASSERT_TRUE(recordings.isValid());
    }
    QTemporaryDir devices;
    QTemporaryDir recordings;
};

TEST_F(UnattendedProgram, RecordsTheTestPatternWithoutAClickAndAnotherRunGoesOnInTheNextFile) {
    for (const char* leaf : {"brslt000.avi", "brslt001.avi"}) {
        SCOPED_TRACE(leaf);
        // A span that is not a whole number of intervals: whether a frame due at the very
        // moment the span ends is still taken depends on which timer the event loop serves
        // first, which a loaded machine decides.
        ProgramRun run(devices.path(), {"-C", recordings.path(), "--driver", "0", "--interval", "2",
                                        "--span", "3", "--start"});
        ASSERT_TRUE(run.Says("run ended: 2 frames in 1 file", 20000)) << run.Err().toStdString();
        EXPECT_EQ(run.Terminate(), 0);
        EXPECT_EQ(DecodedFrames(recordings.path() + "/" + leaf), 2);
    }
}

TEST_F(UnattendedProgram, ARunThatEndsAtATimeLastsUntilThen) {
    // The next minute but one: the span is between 60 and 120 s.
    const std::time_t until = (std::time(nullptr) / 60 + 2) * 60;
    const std::string text = FormatUntil(until);
    ProgramRun run(devices.path(), {"-C", recordings.path(), "--interval", "1", "--until",
                                    QString::fromStdString(text), "--start"});
    ASSERT_TRUE(run.Says("run started: one frame every 1 s for", 20000)) << run.Err().toStdString();
    const QString started = run.Err().section("for ", 1).section(' ', 0, 0);
    EXPECT_GE(started.toInt(), 55) << run.Err().toStdString();
    EXPECT_LE(started.toInt(), 120) << run.Err().toStdString();
    EXPECT_EQ(run.Terminate(), 0);
}

TEST_F(UnattendedProgram, ACameraThatAppearsFiveSecondsLaterIsWaitedForAndRecorded) {
    const QString fake = BinaryDir() + "/libbrisolt_fake_v4l2.so";
    ASSERT_TRUE(QFile::exists(fake));
    // As tests/run-with-fake-camera lays it out, but only five seconds after the start.
    const QString node = devices.path() + "/video0";
    const QString link = devices.path() + "/v4l/by-id/usb-Brisolt_Fake_Camera-video-index0";
    ProgramRun run(
        devices.path(),
        {"-C", recordings.path(), "--driver", link, "--interval", "1", "--span", "2", "--start"},
        {}, {"LD_PRELOAD=" + fake, "FAKE_V4L2_DEVICE=" + node});
    QTest::qWait(5000);
    EXPECT_FALSE(run.Err().contains("run started")) << run.Err().toStdString();
    ASSERT_TRUE(QFile(node).open(QIODevice::WriteOnly));
    ASSERT_TRUE(QDir().mkpath(devices.path() + "/v4l/by-id"));
    ASSERT_TRUE(QFile::link("../../video0", link));
    ASSERT_TRUE(run.Says("run ended: 3 frames in 1 file", 20000)) << run.Err().toStdString();
    EXPECT_TRUE(run.Err().contains("starting the run on " + link)) << run.Err().toStdString();
    EXPECT_EQ(run.Terminate(), 0);
    EXPECT_EQ(DecodedFrames(recordings.path() + "/brslt000.avi"), 3);
}

TEST_F(UnattendedProgram, ARunThatWillNotFitOnItsDiskSaysSoAndStartsAllTheSame) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    // A root without the right to mount (a container, say) cannot make one either.
    const QStringList mountTmpfs{"--mount", "--propagation", "private", "sh", "-c",
                                 "mount -t tmpfs -o size=1m tmpfs \"$1\" && shift && exec \"$@\"",
                                 "sh", recordings.path()};
    if (QProcess::execute("unshare", mountTmpfs + QStringList{"true"}) != 0)
        GTEST_SKIP() << "no tmpfs can be mounted here";
    // A file system of 1 MiB in a mount namespace of the program's own, gone with it: the
    // test pattern's 320 x 240 raw frames take 230 kB each, a run of 31 frames 7.1 MB.
    ProgramRun run(
        devices.path(),
        {"-C", recordings.path(), "--driver", "0", "--interval", "1", "--span", "30", "--start"},
        {"unshare", "--mount", "--propagation", "private", "sh", "-c",
         "mount -t tmpfs -o size=1m tmpfs \"$1\" && shift && exec \"$@\"", "sh",
         recordings.path()});
    ASSERT_TRUE(run.Says("this run needs about 7.1 MB and", 20000)) << run.Err().toStdString();
    // A notice, not a refusal: the run goes on until the disk is full.
    ASSERT_TRUE(run.Says("capture failed: no space left", 30000)) << run.Err().toStdString();
    EXPECT_EQ(run.Terminate(), 0);
}

}  // namespace
