// The main window's status line, read at each state of the recorder and driven through the
// real handlers on the recording capture window and power services; the tool tips of both
// windows; Escape on the setup panel.
#include <QAbstractButton>
#include <QKeyEvent>
#include <QListWidget>
#include <QTest>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <map>

extern "C" {
#include <libavutil/error.h>
}

#include "res/ToolTips.h"
#include "support/CaptureDlgFixture.h"

namespace {

// A clock that the test moves by hand.
constexpr std::time_t kStart = 1796000000;  // a Tuesday afternoon in December 2026, UTC

std::string LocalHourMinute(std::time_t when) {
    std::tm local{};
    ::localtime_r(&when, &local);
    char text[8];
    std::snprintf(text, sizeof text, "%02d:%02d", local.tm_hour, local.tm_min);
    return text;
}

class StatusLineTest : public CaptureDlgFixture {
protected:
    void SetUp() override {
        CaptureDlgFixture::SetUp();
        dlg->statusLine.SetClock([this] { return now; });
        // The window's periodic timers on a boot clock the test moves: each is due a whole
        // number of periods after it was first asked about (when the run started).
        dlg->statusLine.SetTimerQuery([this](UINT id) -> std::int64_t {
            if (!dlg->HasTimer(id)) {
                timerStartMs.erase(id);
                return -1;
            }
            const std::int64_t period = dlg->TimerPeriodMs(id);
            const std::int64_t since = bootMs - timerStartMs.emplace(id, bootMs).first->second;
            return period - since % period;
        });
    }
    std::string Status() const { return dlg->statusLine.Text().toStdString(); }
    // Moves the clocks on and lets the once-a-second refresh run.
    void Advance(std::time_t seconds) {
        now += seconds;
        bootMs += seconds * 1000;
        dlg->statusLine.Update();
    }
    void FrameTick(std::time_t seconds) {
        now += seconds;
        bootMs += seconds * 1000;
        dlg->OnTimer(TIMER_FRAME);
    }
    std::time_t now = kStart;
    std::int64_t bootMs = 0;
    std::map<UINT, std::int64_t> timerStartMs;
};

#define EXPECT_HAS(text, part) \
    EXPECT_NE((text).find(part), std::string::npos) << "no \"" << (part) << "\" in:\n" << (text)
#define EXPECT_HAS_NOT(text, part) \
    EXPECT_EQ((text).find(part), std::string::npos) << "\"" << (part) << "\" in:\n" << (text)

TEST_F(StatusLineTest, DisconnectedNamesTheSelectedDriverAndHowToConnect) {
    std::string s = Status();
    EXPECT_HAS(s, "Not connected. Driver: Fake camera 0.");
    EXPECT_HAS(s, "Click connect");
    EXPECT_HAS(s, "etc setup");
    dlg->driverList->SetCurSel(1);
    EXPECT_HAS(Status(), "Driver: Fake camera 1.");
    dlg->driverList->SetCurSel(-1);
    EXPECT_HAS(Status(), "no capture driver selected");
}

TEST_F(StatusLineTest, ConnectedShowsDriverSizeFormatRateAndDirectory) {
    Connect();
    const std::string s = Status();
    EXPECT_HAS(s, "Connected: Fake camera 0, 320 x 240 RGB24, preview every 1000 ms.");
    EXPECT_HAS(s, "Recordings go to " + tempDir->path().toStdString());
    // The rate follows the slider while connected.
    dlg->setupPanel.GetSlider(IDC_PREVIEW_RATE)->SetPos(500);
    dlg->setupPanel.OnHScroll(TB_ENDTRACK, 0, nullptr);
    EXPECT_HAS(Status(), "preview every 500 ms");
    dlg->OnDisconnect();
    EXPECT_HAS(Status(), "Not connected. Driver: Fake camera 0.");
}

TEST_F(StatusLineTest, RunShowsFileFramesSizeCountdownEndAndWhatHappensBetweenFrames) {
    StartRun();
    std::string s = Status();
    EXPECT_HAS(s, "Recording brslt000.avi: 1 frame (1 in the run), 1 kB of 2000 MB");
    EXPECT_HAS(s, "Next frame in 60 s");
    EXPECT_HAS(s, "run ends at " + LocalHourMinute(kStart + 3400));
    EXPECT_HAS(s, "sleeps between frames, woken 15 s before each, then hibernates");

    // Between frames the countdown runs; the file holds what was written.
    Advance(20);
    EXPECT_HAS(Status(), "Next frame in 40 s");
    FrameTick(40);
    s = Status();
    EXPECT_HAS(s, "brslt000.avi: 2 frames (2 in the run), 2 kB of 2000 MB");
    EXPECT_HAS(s, "Next frame in 60 s");
    Advance(15);
    EXPECT_HAS(Status(), "Next frame in 45 s");
    EXPECT_HAS(Status(), "run ends at " + LocalHourMinute(kStart + 3400));

    // The user sets the wall clock an hour ahead: the timers, and the countdown with them,
    // go on as they were; the end is shown at the time the clock will then read.
    now += 3600;
    dlg->statusLine.Update();
    EXPECT_HAS(Status(), "Next frame in 45 s");
    EXPECT_HAS(Status(), "run ends at " + LocalHourMinute(kStart + 3400 + 3600));
    now -= 3600;

    // "suspend end" off: nothing is said about hibernating.
    dlg->CheckDlgButton(IDC_SUSPEND_END, BST_UNCHECKED);
    Advance(1);
    EXPECT_HAS_NOT(Status(), "hibernates");
}

TEST_F(StatusLineTest, RolloverNamesTheNewFileAndCountsItsFramesAlone) {
    StartRun();
    captureSettings.maxFileBytes = 1500;  // two frames of 1000 bytes do not fit
    FrameTick(60);
    EXPECT_HAS(Status(), "brslt000.avi: 2 frames (2 in the run)");
    FrameTick(60);
    const std::string s = Status();
    EXPECT_HAS(s, "Recording brslt001.avi: 1 frame (3 in the run), 1 kB of 2 kB");
    dlg->OnStop();
    EXPECT_HAS(Status(), "Run stopped: 3 frames in 2 files, last brslt001.avi.");
}

TEST_F(StatusLineTest, WhyTheComputerStaysAwake) {
    struct Case {
        const char* name;
        std::function<void()> arrange;
        const char* says;
    } const cases[] = {
        {"use sleep off",
         [this] { dlg->CheckDlgButton(IDC_USE_SLEEP, BST_UNCHECKED); },
         "stays awake: use sleep is off"},
        {"interval 44 s, standby 15 s", [this] { dlg->intervalSeconds = 44; },
         "stays awake: the interval is shorter than 3 x standby"},
        {"interval 45 s, standby 15 s", [this] { dlg->intervalSeconds = 45; },
         "sleeps between frames, woken 15 s before each"},
        {"span 44 s, standby 15 s", [this] { dlg->spanSeconds = 44; },
         "stays awake: the run ends within 3 x standby"},
        {"span 45 s, standby 15 s", [this] { dlg->spanSeconds = 45; },
         "sleeps between frames, woken 15 s before each"},
        {"no wake privilege",
         [this] { power.results.setWaitableTimer = false; },
         "stays awake: no wake privilege (see README)"},
        {"no wake-up alarm clock",
         [this] {
             power.results.setWaitableTimer = false;
             power.results.wakeTimerRefusal = PowerRefusal::Unavailable;
             power.results.wakeTimerText = "No such device";
         },
         "stays awake: the wake-up alarm cannot be set: No such device"},
        {"suspend refused", [this] { power.results.suspend = false; },
         "stays awake: logind refused suspend: Access denied"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        power.results = {};
        SetUp();
        c.arrange();
        StartRun();
        EXPECT_HAS(Status(), c.says);
    }
}

TEST_F(StatusLineTest, MissingWakePrivilegeAtStartUpIsShownDuringTheRun) {
    TearDown();
    power.results.enableWakePrivilege = false;
    SetUp();
    StartRun();
    EXPECT_HAS(Status(), "stays awake: no wake privilege (see README), then hibernates");
}

TEST_F(StatusLineTest, EndOfRunSaysItHibernatesThenShowsTheRefusalUntilTheNextRun) {
    dlg->spanSeconds = 600;
    power.results.hibernate = false;
    StartRun();
    EXPECT_HAS(Status(), "then hibernates");
    std::string duringHibernation;
    power.onCall = [this, &duringHibernation](const std::string& call) {
        if (call == "Hibernate")
            duringHibernation = Status();
    };
    FrameTick(60);
    now += 540;
    dlg->OnTimer(TIMER_SPAN);
    power.onCall = nullptr;
    EXPECT_HAS(duringHibernation, "Run ended: 2 frames in 1 file, last brslt000.avi.");
    EXPECT_HAS(duringHibernation, "Hibernating now.");
    const std::string after = Status();
    EXPECT_HAS(after, "Run ended: 2 frames in 1 file, last brslt000.avi.");
    EXPECT_HAS(after, "logind refused hibernation: Access denied");
    EXPECT_EQ(Title(), "End Capture...");

    // Still there a while later and after a disconnect, gone once the next run starts.
    Advance(300);
    EXPECT_HAS(Status(), "logind refused hibernation");
    dlg->OnDisconnect();
    EXPECT_HAS(Status(), "logind refused hibernation");
    dlg->OnConnect();
    EXPECT_HAS(Status(), "Connected: Fake camera 0");
    EXPECT_HAS(Status(), "logind refused hibernation");
    dlg->OnStart();
    EXPECT_HAS_NOT(Status(), "refused");
    EXPECT_HAS(Status(), "Recording brslt001.avi");
}

TEST_F(StatusLineTest, UnreachableLogindIsReportedAsUnavailable) {
    power.results.hibernate = false;
    power.results.refusal = PowerRefusal::Unavailable;
    power.results.refusalText = "the system bus is not reachable";
    dlg->spanSeconds = 1;
    StartRun();
    dlg->OnTimer(TIMER_SPAN);
    EXPECT_HAS(Status(), "hibernation unavailable: the system bus is not reachable");
}

TEST_F(StatusLineTest, CaptureFailureGivesTheReasonAndTheLastFile) {
    struct Case {
        CaptureProblem problem;
        const char* says;
    } const cases[] = {
        {{CaptureFailureKind::NoSpace, "No space left on device"},
         "Capture failed: no space left on the disk."},
        {{CaptureFailureKind::DeviceGone, {}},
         "Capture failed: the device is gone (it stopped sending pictures)."},
        {{CaptureFailureKind::FileSizeLimit, "File too large"},
         "Capture failed: the file reached the file size limit."},
        {{CaptureFailureKind::WriteError, "Input/output error"},
         "Capture failed: write error: Input/output error."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.says);
        TearDown();
        SetUp();
        power.results.hibernate = false;
        FakeCaptureWindow* w = StartRun();
        w->grabReply = 0;
        w->grabFailure = c.problem;
        FrameTick(60);
        EXPECT_EQ(Title(), "Capture Failed.");
        EXPECT_EQ(dlg->captureState, Disconnected);
        const std::string s = Status();
        EXPECT_HAS(s, c.says);
        EXPECT_HAS(s, "Last file brslt000.avi (2 frames in the run)");
        EXPECT_HAS(s, "logind refused hibernation: Access denied");
    }
}

TEST_F(StatusLineTest, CaptureFailureWithoutSuspendEndTellsHowToGoOn) {
    dlg->CheckDlgButton(IDC_SUSPEND_END, BST_UNCHECKED);
    FakeCaptureWindow* w = StartRun();
    w->grabReply = 0;
    w->grabFailure = {CaptureFailureKind::DeviceGone, {}};
    FrameTick(60);
    EXPECT_HAS(Status(), "connect again to go on");
    EXPECT_EQ(power.CountCalls("Hibernate"), 0);
}

TEST_F(StatusLineTest, AllNamesTakenIsTheReason) {
    for (int n = 0; n < 1000; ++n) {
        char leaf[16];
        std::snprintf(leaf, sizeof leaf, "brslt%03d.avi", n);
        const int fd = ::open(Path(leaf).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0) << leaf;
        ::close(fd);
    }
    dlg->CheckDlgButton(IDC_SUSPEND_END, BST_UNCHECKED);
    Connect();
    dlg->OnStart();
    EXPECT_EQ(dlg->captureState, Disconnected) << "a run with no file to go to ends at once";
    EXPECT_HAS(Status(), "Capture failed: all 1000 names brslt000.avi to brslt999.avi are taken.");
}

TEST_F(StatusLineTest, AFailedStartGivesTheReasonAndHibernatesNot) {
    enum Fault { Open, FirstGrab };
    struct Case {
        Fault fault;
        CaptureProblem problem;
        const char* says;
        const char* frames;
    } const cases[] = {
        {Open, {CaptureFailureKind::FileSizeLimit, "File too large"},
         "Capture failed: the file reached the file size limit.", "(0 frames in the run)"},
        {Open, {CaptureFailureKind::NoSpace, "No space left on device"},
         "Capture failed: no space left on the disk.", "(0 frames in the run)"},
        {FirstGrab, {CaptureFailureKind::DeviceGone, {}},
         "Capture failed: the device is gone (it stopped sending pictures).",
         "(1 frame in the run)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.says);
        TearDown();
        SetUp();
        dlg->CheckDlgButton(IDC_SUSPEND_END, BST_CHECKED);
        FakeCaptureWindow* w = Connect();
        if (c.fault == Open) {
            w->failOpen = true;
            w->openFailure = c.problem;
        } else {
            w->grabReply = 0;
            w->grabFailure = c.problem;
        }
        dlg->OnStart();
        EXPECT_EQ(dlg->captureState, Disconnected);
        const std::string s = Status();
        EXPECT_HAS(s, c.says);
        EXPECT_HAS(s, c.frames);
        if (c.fault == Open) {
            EXPECT_HAS(s, "No file was written");
        }
        EXPECT_HAS(s, "connect again to go on");
        EXPECT_HAS_NOT(s, "hibernat");
        EXPECT_EQ(power.CountCalls("Hibernate"), 0);
    }
}

TEST_F(StatusLineTest, FailedConnectGivesTheReasonAndLeavesTheTitle) {
    struct Case {
        CaptureProblem problem;
        const char* says;
    } const cases[] = {
        {{CaptureFailureKind::DeviceBusy, "Device or resource busy"},
         "Connect failed: Fake camera 0: the device is busy (another program uses it)."},
        {{CaptureFailureKind::NoSuchDevice, "No such file or directory"},
         "Connect failed: Fake camera 0: no such device."},
        {{CaptureFailureKind::FormatRefused, "Invalid argument"},
         "Connect failed: Fake camera 0: the device refused the format (Invalid argument)."},
        {{CaptureFailureKind::OpenFailed, "Input/output error"},
         "Connect failed: Fake camera 0: FFmpeg: Input/output error."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.says);
        TearDown();
        SetUp();
        registry.connectReply = 0;
        registry.connectFailure = c.problem;
        const std::string title = Title();
        dlg->OnConnect();
        EXPECT_EQ(dlg->captureState, Disconnected);
        EXPECT_EQ(Title(), title);
        EXPECT_HAS(Status(), c.says);
    }
    // No window at all, or a driver that just says no.
    registry.connectFailure = {};
    dlg->OnConnect();
    EXPECT_HAS(Status(), "Connect failed: Fake camera 0: the driver did not connect.");
    registry.failCreate = true;
    dlg->OnConnect();
    EXPECT_HAS(Status(), "Connect failed: Fake camera 0: no capture window could be made.");
    registry.failCreate = false;
    // A later connect that works replaces the reason.
    registry.connectReply = 1;
    dlg->OnConnect();
    EXPECT_HAS(Status(), "Connected: Fake camera 0");
}

TEST(StatusWords, FileAndDeviceErrorsAreSortedByWhatTheUserCanDo) {
    EXPECT_EQ(FileProblem(ENOSPC).kind, CaptureFailureKind::NoSpace);
    EXPECT_EQ(FileProblem(EDQUOT).kind, CaptureFailureKind::NoSpace);
    EXPECT_EQ(FileProblem(EFBIG).kind, CaptureFailureKind::FileSizeLimit);
    const CaptureProblem io = FileProblem(EIO);
    EXPECT_EQ(io.kind, CaptureFailureKind::WriteError);
    EXPECT_FALSE(io.text.isEmpty()) << "the system's message";
    // Without an errno the system is not to blame: what failed is said instead.
    const CaptureProblem encoder = FileProblem(0, "FFmpeg has no H.264 (x264) encoder");
    EXPECT_EQ(encoder.kind, CaptureFailureKind::StoreFailed);
    EXPECT_EQ(CaptureFailureWords(encoder),
              "cannot store the frames: FFmpeg has no H.264 (x264) encoder");
    EXPECT_EQ(OpenProblemFromAvError(AVERROR(EBUSY)).kind, CaptureFailureKind::DeviceBusy);
    EXPECT_EQ(OpenProblemFromAvError(AVERROR(ENOENT)).kind, CaptureFailureKind::NoSuchDevice);
    EXPECT_EQ(OpenProblemFromAvError(AVERROR(ENODEV)).kind, CaptureFailureKind::NoSuchDevice);
    EXPECT_EQ(OpenProblemFromAvError(AVERROR(EINVAL)).kind, CaptureFailureKind::FormatRefused);
    const CaptureProblem other = OpenProblemFromAvError(AVERROR(EIO));
    EXPECT_EQ(other.kind, CaptureFailureKind::OpenFailed);
    EXPECT_FALSE(other.text.isEmpty()) << "FFmpeg's message";

    EXPECT_EQ(ByteCountWords(-1), "size unknown");
    EXPECT_EQ(ByteCountWords(0), "0 kB");
    EXPECT_EQ(ByteCountWords(1), "1 kB");
    EXPECT_EQ(ByteCountWords(999999), "1000 kB");
    EXPECT_EQ(ByteCountWords(1000000), "1 MB");
    EXPECT_EQ(ByteCountWords(1500000), "1.5 MB");
    EXPECT_EQ(ByteCountWords(1999999), "2.0 MB");
    EXPECT_EQ(ByteCountWords(2000000000), "2000 MB");
}

// ---- tool tips and Escape ------------------------------------------------------------------

std::vector<QWidget*> Controls(QWidget* window) {
    std::vector<QWidget*> out;
    for (QWidget* w : window->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
        if (!w->isWindow())
            out.push_back(w);
    return out;
}

TEST_F(StatusLineTest, EveryControlOfBothWindowsHasATip) {
    Connect();  // the preview too
    int checked = 0;
    for (CWnd* window : {static_cast<CWnd*>(dlg.get()), static_cast<CWnd*>(&dlg->setupPanel)}) {
        for (QWidget* w : Controls(window)) {
            EXPECT_FALSE(w->toolTip().trimmed().isEmpty())
                << window->Template().id << " " << w->objectName().toStdString();
            ++checked;
        }
    }
    EXPECT_EQ(checked, 33) << "16 + 1 status line + 1 preview on the main window, 15 on the panel";
    // The fields' tips give their ranges.
    EXPECT_TRUE(dlg->GetDlgItem(IDC_INTERVAL)->Widget()->toolTip().contains("1 to 2147482"));
    EXPECT_TRUE(dlg->setupPanel.GetDlgItem(IDC_STANDBY)->Widget()->toolTip().contains("15 to 600"));
    EXPECT_TRUE(
        dlg->setupPanel.GetDlgItem(IDC_SIZE_PER_FILE)->Widget()->toolTip().contains("1 to 2147"));
    EXPECT_TRUE(
        dlg->setupPanel.GetDlgItem(IDC_PREVIEW_RATE)->Widget()->toolTip().contains("33 to 3000"));
}

TEST_F(StatusLineTest, PlacementTipFollowsTheButtonsState) {
    QWidget* button = dlg->setupPanel.GetDlgItem(IDC_PLACEMENT)->Widget();
    // At start-up the button is indeterminate: text in the upper band.
    EXPECT_TRUE(button->toolTip().contains("Now: text in the upper band; next: no text"));
    const char* const after[] = {"Now: no text; next: text in the lower band",
                                 "Now: text in the lower band; next: the upper band",
                                 "Now: text in the upper band; next: no text"};
    for (const char* expected : after) {
        static_cast<QAbstractButton*>(button)->click();
        EXPECT_TRUE(button->toolTip().contains(expected)) << button->toolTip().toStdString();
    }
}

TEST_F(StatusLineTest, StatusLineStaysClearOfThePreviewAndTheControls) {
    QWidget* line = dlg->statusLine.View();
    ASSERT_NE(line, nullptr);
    EXPECT_FALSE(line->geometry().intersects(QRect(0, 0, 320, 240)));
    EXPECT_TRUE(dlg->rect().contains(line->geometry()));
    EXPECT_GE(line->height(), 2 * QFontMetrics(dlg->font()).lineSpacing());
    for (QWidget* w : Controls(dlg.get())) {
        if (w != line && !w->isHidden()) {
            EXPECT_FALSE(w->geometry().intersects(line->geometry()))
                << w->objectName().toStdString();
        }
    }
}

TEST_F(StatusLineTest, EscapeHidesTheSetupPanelAndTheMenuShowsItAgain) {
    CSetupDlg& panel = dlg->setupPanel;
    dlg->SendMessage(WM_SYSCOMMAND, IDM_SETUP, 0);
    ASSERT_TRUE(panel.isVisible());
    panel.SetDlgItemText(IDC_STANDBY, QStringLiteral("30"));
    QWidget* field = panel.GetDlgItem(IDC_STANDBY)->Widget();
    field->setFocus();
    QTest::keyClick(field, Qt::Key_Escape);
    EXPECT_FALSE(panel.isVisible()) << "Escape in a field hides the panel";
    EXPECT_TRUE(dlg->isVisible()) << "the main window stays";
    EXPECT_EQ(captureSettings.standbySeconds, 30) << "the value typed is kept";

    dlg->SendMessage(WM_SYSCOMMAND, IDM_SETUP, 0);
    ASSERT_TRUE(panel.isVisible());
    QTest::keyClick(&panel, Qt::Key_Escape);
    EXPECT_FALSE(panel.isVisible());
    dlg->SendMessage(WM_SYSCOMMAND, IDM_SETUP, 0);
    EXPECT_TRUE(panel.isVisible());
    EXPECT_EQ(panel.GetDlgItemText(IDC_STANDBY), QStringLiteral("30"));
}

}  // namespace
