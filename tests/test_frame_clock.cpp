// The frame clock on the recording capture window, driving OnTimer directly: the size check
// and rollover, the frame counter and title, the capture failure and the end of a run.
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <ctime>
#include <regex>

#include "platform/power/PowerTypes.h"
#include "power/PowerDecision.h"
#include "power/WakeTimer.h"
#include "support/CaptureDlgFixture.h"

namespace {

class FrameClockTest : public CaptureDlgFixture {
protected:
    std::uint32_t FileLength(const std::string& path) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint32_t>(st.st_size) : 0;
    }
};

TEST_F(FrameClockTest, RolloverOnlyWhenTheSumPassesTheLimit) {
    struct Case {
        std::int64_t lastFrameMinusGap;  // lastFrameBytes - (maxFileBytes - length)
        bool rollsOver;
    };
    const Case cases[] = {{0, false}, {1, true}, {-1, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lastFrameMinusGap);
        TearDown();
        SetUp();
        StartRun();
        const std::uint32_t length = FileLength(Path("brslt000.avi"));
        ASSERT_EQ(length, 1000u);
        captureSettings.maxFileBytes = length + 10000;
        captureSettings.lastFrameBytes = static_cast<std::uint32_t>(10000 + c.lastFrameMinusGap);
        const size_t calls = registry.log.calls.size();
        dlg->OnTimer(TIMER_FRAME);
        if (c.rollsOver)
            EXPECT_EQ(registry.log.Since(calls),
                      "close, file " + Path("brslt001.avi") + ", open, grab");
        else
            EXPECT_EQ(registry.log.Since(calls), "grab");
    }
}

TEST_F(FrameClockTest, WithNoStampedFrameYetTheLengthAloneIsCompared) {
    StartRun();
    captureSettings.lastFrameBytes = 0;
    captureSettings.maxFileBytes = 1000;  // the file's length exactly
    size_t calls = registry.log.calls.size();
    dlg->OnTimer(TIMER_FRAME);
    EXPECT_EQ(registry.log.Since(calls), "grab");
    calls = registry.log.calls.size();
    dlg->OnTimer(TIMER_FRAME);  // now 2000 bytes
    EXPECT_EQ(registry.log.Since(calls), "close, file " + Path("brslt001.avi") + ", open, grab");
}

TEST_F(FrameClockTest, TheSumWrapsAtThirtyTwoBits) {
    // A sum past 4 GiB wraps around and so compares small: the file goes on.
    StartRun();
    captureSettings.maxFileBytes = 2000000000u;
    captureSettings.lastFrameBytes = 0xFFFFFFFFu - 500;  // + 1000 wraps to 499
    const size_t calls = registry.log.calls.size();
    dlg->OnTimer(TIMER_FRAME);
    EXPECT_EQ(registry.log.Since(calls), "grab");
}

TEST_F(FrameClockTest, AfterARolloverTheSameTickGrabsIntoTheNewFileAndTheCountGoesOn) {
    FakeCaptureWindow* w = StartRun();
    dlg->frameCount = 57;
    captureSettings.maxFileBytes = 1000;
    captureSettings.lastFrameBytes = 1;
    dlg->OnTimer(TIMER_FRAME);
    EXPECT_EQ(dlg->captureFileName, Path("brslt001.avi"));
    EXPECT_EQ(w->captureFile, Path("brslt001.avi"));
    EXPECT_EQ(w->framesInFile, 1);
    EXPECT_EQ(FileLength(Path("brslt001.avi")), 1000u);
    EXPECT_EQ(FileLength(Path("brslt000.avi")), 1000u);
    EXPECT_EQ(Text(IDC_FRAMES), "frm:00000058");
    EXPECT_EQ(dlg->captureState, Capturing);
}

TEST_F(FrameClockTest, TicksOutsideARunTouchNothing) {
    for (bool connected : {false, true}) {
        SCOPED_TRACE(connected);
        TearDown();
        SetUp();
        if (connected)
            Connect();
        const size_t calls = registry.log.calls.size();
        const QString title = dlg->GetWindowText();
        const QString counter = dlg->GetDlgItemText(IDC_FRAMES);
        dlg->OnTimer(TIMER_FRAME);
        EXPECT_EQ(registry.log.Since(calls), "");
        EXPECT_EQ(dlg->GetWindowText(), title);
        EXPECT_EQ(dlg->GetDlgItemText(IDC_FRAMES), counter);
        EXPECT_EQ(dlg->frameCount, 0);
        EXPECT_EQ(power.calls.size(), 1u) << "only the start-up privilege";
    }
}

TEST_F(FrameClockTest, FailedGrabCountsShowsAndEndsTheRunThroughTheFailure) {
    FakeCaptureWindow* w = StartRun();
    std::string titleAtGrab;
    w->onGrab = [&] {
        titleAtGrab = Title();
        return LRESULT{0};
    };
    QPointer<FakeCaptureWindow> window(w);
    const size_t calls = registry.log.calls.size();
    const size_t controls = dlg->ControlLog().size();
    power.calls.clear();
    dlg->OnTimer(TIMER_FRAME);

    // The title showed the time of the tick ("hh:mm:ss Monthdd,yyyy") before the failure.
    EXPECT_TRUE(std::regex_match(titleAtGrab,
                                 std::regex("[0-2][0-9]:[0-5][0-9]:[0-6][0-9] [A-Z][a-z]+[0-3][0-9],[0-9]{4}")))
        << titleAtGrab;
    EXPECT_EQ(Title(), "Capture Failed.");
    EXPECT_EQ(dlg->frameCount, 2);
    EXPECT_EQ(Text(IDC_FRAMES), "frm:00000002");
    EXPECT_EQ(registry.log.Since(calls), "grab, close, disconnect, destroyed");
    EXPECT_TRUE(window.isNull());
    EXPECT_FALSE(dlg->HasTimer(TIMER_FRAME));
    EXPECT_FALSE(dlg->HasTimer(TIMER_SPAN));
    EXPECT_EQ(dlg->captureState, Disconnected);
    EXPECT_EQ(ControlsSince(controls),
              "1001 on, 1002 off, 1005 off, 1006 off, 1003 on, 1004 on, setup 1015 on");
    // No sleep after the failed frame: the failure ran at once, and hibernated last.
    EXPECT_EQ(power.calls, std::vector<std::string>{"Hibernate"});
    // The user can connect again.
    Connect();
}

// A failed frame never puts the computer to sleep before the failure is handled: it would
// sleep on a run that has already ended. Only the failure's own hibernation remains.
TEST_F(FrameClockTest, AFailedFrameIsHandledBeforeAnySleep) {
    struct Case {
        bool useSleep;
        bool suspendEnd;
        std::vector<std::string> powerCalls;
    } const cases[] = {
        {true, true, {"Hibernate"}},
        {true, false, {}},
        {false, true, {"Hibernate"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("use sleep ") + (c.useSleep ? "on" : "off") +
                     ", suspend end " + (c.suspendEnd ? "on" : "off"));
        TearDown();
        SetUp();
        FakeCaptureWindow* w = StartRun();
        dlg->CheckDlgButton(IDC_USE_SLEEP, c.useSleep ? BST_CHECKED : BST_UNCHECKED);
        dlg->CheckDlgButton(IDC_SUSPEND_END, c.suspendEnd ? BST_CHECKED : BST_UNCHECKED);
        w->grabReply = 0;
        CaptureState stateAtHibernate = Capturing;
        power.onCall = [&](const std::string& call) {
            if (call == "Hibernate")
                stateAtHibernate = dlg->captureState;
        };
        power.calls.clear();
        dlg->OnTimer(TIMER_FRAME);
        power.onCall = nullptr;
        EXPECT_EQ(Title(), "Capture Failed.");
        EXPECT_EQ(power.calls, c.powerCalls);
        if (c.suspendEnd) {
            EXPECT_EQ(stateAtHibernate, Disconnected);
        }
    }
    // A frame that is stored still sleeps until the next one.
    StartRun();
    dlg->CheckDlgButton(IDC_USE_SLEEP, BST_CHECKED);
    power.calls.clear();
    dlg->OnTimer(TIMER_FRAME);
    EXPECT_EQ(power.CountCalls("Suspend"), 1);
}

TEST_F(FrameClockTest, FailureWithSuspendEndUncheckedMakesNoPowerCall) {
    FakeCaptureWindow* w = StartRun();
    dlg->CheckDlgButton(IDC_SUSPEND_END, BST_UNCHECKED);
    dlg->CheckDlgButton(IDC_USE_SLEEP, BST_UNCHECKED);
    w->grabReply = 0;
    power.calls.clear();
    dlg->OnTimer(TIMER_FRAME);
    EXPECT_EQ(Title(), "Capture Failed.");
    EXPECT_TRUE(power.calls.empty());
}

TEST_F(FrameClockTest, AWindowThatVanishedFailsTheTick) {
    StartRun();
    delete registry.Last();
    const size_t calls = registry.log.calls.size();
    dlg->OnTimer(TIMER_FRAME);
    EXPECT_EQ(registry.log.Since(calls), "");
    EXPECT_EQ(Title(), "Capture Failed.");
    EXPECT_EQ(dlg->captureState, Disconnected);
    EXPECT_EQ(dlg->frameCount, 2);
}

TEST_F(FrameClockTest, NamesRunningOutAtARolloverFailTheRunAndTouchNoFile) {
    StartRun();
    for (int n = 1; n < 1000; ++n) {
        char leaf[32];
        std::snprintf(leaf, sizeof leaf, "brslt%03d.avi", n);
        QFile f(QString::fromStdString(Path(leaf)));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("keep");
    }
    captureSettings.maxFileBytes = 1000;
    captureSettings.lastFrameBytes = 1;
    dlg->OnTimer(TIMER_FRAME);
    EXPECT_EQ(Title(), "Capture Failed.");
    EXPECT_EQ(dlg->captureState, Disconnected);
    EXPECT_EQ(FileLength(Path("brslt000.avi")), 1000u);
    for (int n = 1; n < 1000; ++n) {
        char leaf[32];
        std::snprintf(leaf, sizeof leaf, "brslt%03d.avi", n);
        ASSERT_EQ(FileLength(Path(leaf)), 4u) << leaf;
    }
}

TEST_F(FrameClockTest, AFileRemovedMidRunContinuesInANewFile) {
    StartRun();
    ASSERT_EQ(::unlink(Path("brslt000.avi").c_str()), 0);
    const size_t calls = registry.log.calls.size();
    dlg->OnTimer(TIMER_FRAME);
    EXPECT_EQ(registry.log.Since(calls), "close, file " + Path("brslt000.avi") + ", open, grab");
    EXPECT_EQ(dlg->captureState, Capturing);
}

TEST_F(FrameClockTest, EndOfRunHibernatesAfterTheTitleAndBeforeConnected) {
    StartRun();
    std::string titleAtHibernate;
    CaptureState stateAtHibernate = Disconnected;
    power.onCall = [&](const std::string& call) {
        if (call == "Hibernate") {
            titleAtHibernate = Title();
            stateAtHibernate = dlg->captureState;
        }
    };
    const size_t calls = registry.log.calls.size();
    const size_t controls = dlg->ControlLog().size();
    const QWidget* focus = QApplication::focusWidget();
    dlg->OnTimer(TIMER_SPAN);
    power.onCall = nullptr;
    EXPECT_EQ(registry.log.Since(calls), "close");
    EXPECT_EQ(titleAtHibernate, "End Capture...");
    EXPECT_EQ(stateAtHibernate, Capturing);
    EXPECT_EQ(dlg->captureState, Connected);
    EXPECT_EQ(Title(), "End Capture...");
    EXPECT_FALSE(dlg->HasTimer(TIMER_FRAME));
    EXPECT_FALSE(dlg->HasTimer(TIMER_SPAN));
    EXPECT_EQ(ControlsSince(controls),
              "1002 on, 1005 off, 1006 on, 1007 on, 1013 on, 1003 on, 1004 on, setup 1015 on");
    EXPECT_EQ(QApplication::focusWidget(), focus) << "the end of a run moves no focus";
}

TEST_F(FrameClockTest, EndOfRunWithSuspendEndUncheckedMakesNoPowerCall) {
    StartRun();
    dlg->CheckDlgButton(IDC_SUSPEND_END, BST_UNCHECKED);
    power.calls.clear();
    dlg->OnTimer(TIMER_SPAN);
    EXPECT_TRUE(power.calls.empty());
    EXPECT_EQ(dlg->captureState, Connected);
}

TEST_F(FrameClockTest, PreviewRateIsSentOnlyWhileADriverIsConnected) {
    CSliderCtrl* slider = dlg->setupPanel.GetSlider(IDC_PREVIEW_RATE);
    slider->SetPos(250);
    dlg->OnTimer(TIMER_PREVIEW_RATE);
    EXPECT_TRUE(registry.log.calls.empty());
    Connect();
    size_t calls = registry.log.calls.size();
    dlg->OnTimer(TIMER_PREVIEW_RATE);
    EXPECT_EQ(registry.log.Since(calls), "previewrate 250");
    dlg->OnStart();
    slider->SetPos(3000);
    calls = registry.log.calls.size();
    dlg->SendMessage(WM_TIMER, TIMER_PREVIEW_RATE, 0);
    EXPECT_EQ(registry.log.Since(calls), "previewrate 3000");
}

TEST_F(FrameClockTest, OtherTimerIdsReachOnlyTheDefaultHandling) {
    StartRun();
    const size_t calls = registry.log.calls.size();
    const QString title = dlg->GetWindowText();
    for (UINT id : {0u, 1u, 3u, 21u, 23u, 122u, 124u, 0xFFFFFFFFu})
        dlg->OnTimer(id);
    EXPECT_EQ(registry.log.Since(calls), "");
    EXPECT_EQ(dlg->GetWindowText(), title);
    EXPECT_EQ(dlg->captureState, Capturing);
}

// The power steps as the main window takes them, at start-up values and with the boxes.
TEST_F(FrameClockTest, EachFrameAtStartUpValuesSleepsWithAWakeUpBeforeTheNext) {
    Connect();
    EXPECT_EQ(power.calls, std::vector<std::string>{"EnableWakePrivilege"});
    power.calls.clear();
    const std::int64_t before = CurrentUtcSeconds();
    dlg->OnStart();
    const std::int64_t after = CurrentUtcSeconds();
    ASSERT_EQ(power.calls.size(), 3u) << ::testing::PrintToString(power.calls);
    EXPECT_EQ(power.calls[0], "CreateWaitableTimer wuptm1");
    EXPECT_EQ(power.calls[2], "Suspend");
    // Interval 60 s, standby 15 s: the wake-up comes 45 s after the frame.
    const std::uint64_t due = FileTimeToTicks(power.lastDueTime);
    EXPECT_GE(due, FileTimeToTicks(UnixSecondsToFileTime(before + 45)));
    EXPECT_LE(due, FileTimeToTicks(UnixSecondsToFileTime(after + 45)));
    EXPECT_EQ(wakeTimer, power.createdHandles.back());

    dlg->OnTimer(TIMER_FRAME);
    EXPECT_EQ(power.CountCalls("CreateWaitableTimer wuptm1"), 2);
    EXPECT_EQ(wakeTimer, power.createdHandles.back()) << "the newest handle is kept";

    dlg->CheckDlgButton(IDC_USE_SLEEP, BST_UNCHECKED);
    power.calls.clear();
    dlg->OnTimer(TIMER_FRAME);
    EXPECT_TRUE(power.calls.empty());

    dlg->CheckDlgButton(IDC_USE_SLEEP, BST_CHECKED);
    dlg->OnStop();
    EXPECT_EQ(power.CountCalls("Hibernate"), 0);
}

TEST_F(FrameClockTest, AnIntervalBelowThreeStandbyTimesNeverSleeps) {
    Connect();
    dlg->intervalSeconds = 44;  // standby 15 needs 45
    dlg->OnStart();
    EXPECT_EQ(power.CountCalls("CreateWaitableTimer"), 0);
    EXPECT_EQ(power.CountCalls("Suspend"), 0);
}

// The end of the run is woken for too: a sleep after a frame never outlasts the span, and
// none begins when the end is less than three standby times away (standby 15 s here).
TEST_F(FrameClockTest, NoSleepOutlastsTheSpan) {
    Connect();
    dlg->intervalSeconds = 600;
    dlg->spanSeconds = 100;
    const std::int64_t before = CurrentUtcSeconds();
    dlg->OnStart();
    const std::int64_t after = CurrentUtcSeconds();
    ASSERT_EQ(power.CountCalls("Suspend"), 1);
    // 15 s before the end of the run, not 15 s before a frame that will never be taken.
    const std::uint64_t due = FileTimeToTicks(power.lastDueTime);
    EXPECT_GE(due, FileTimeToTicks(UnixSecondsToFileTime(before + 84)));
    EXPECT_LE(due, FileTimeToTicks(UnixSecondsToFileTime(after + 85)));
    dlg->OnStop();

    power.calls.clear();
    dlg->intervalSeconds = 60;
    dlg->spanSeconds = 44;
    dlg->OnStart();
    EXPECT_EQ(power.CountCalls("Suspend"), 0) << "the run ends 44 s after its frame";
    EXPECT_EQ(power.CountCalls("CreateWaitableTimer"), 0);
    dlg->OnStop();
}

// With the real window timers: a span shorter than the interval ends the run with the one
// frame grabbed at the start.
TEST_F(FrameClockTest, SpanShorterThanIntervalHoldsOneFrame) {
    FakeCaptureWindow* w = Connect();
    dlg->intervalSeconds = 2;
    dlg->spanSeconds = 1;
    dlg->OnStart();
    ASSERT_TRUE(QTest::qWaitFor([&] { return dlg->captureState == Connected; }, 3000));
    EXPECT_EQ(Title(), "End Capture...");
    EXPECT_EQ(registry.log.CountOf("grab"), 1);
    EXPECT_EQ(w->framesInFile, 1);
    QTest::qWait(1300);  // past the interval: no frame timer is left
    EXPECT_EQ(registry.log.CountOf("grab"), 1);
}

TEST_F(FrameClockTest, RealTimersGrabOnePerInterval) {
    FakeCaptureWindow* w = Connect();
    dlg->intervalSeconds = 1;
    dlg->spanSeconds = 3;
    dlg->CheckDlgButton(IDC_SUSPEND_END, BST_UNCHECKED);
    dlg->OnStart();
    ASSERT_TRUE(QTest::qWaitFor([&] { return dlg->captureState == Connected; }, 5000));
    // The first frame at once, then one at 1 s and 2 s; the one at 3 s races the span.
    EXPECT_GE(w->framesInFile, 3);
    EXPECT_LE(w->framesInFile, 4);
    EXPECT_EQ(dlg->frameCount, w->framesInFile);
}

// ---- the title ---------------------------------------------------------------------------

class TitleFormat : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* tz = std::getenv("TZ"))
            savedTz = tz;
        hadTz = std::getenv("TZ") != nullptr;
        setenv("TZ", "UTC0", 1);
        tzset();
    }
    void TearDown() override {
        if (hadTz)
            setenv("TZ", savedTz.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
        std::setlocale(LC_ALL, "");
    }
    std::string savedTz;
    bool hadTz = false;
};

TEST_F(TitleFormat, LocalTimeWithEnglishMonthWhateverTheLocale) {
    struct Case {
        std::time_t when;
        const char* title;
    };
    const Case cases[] = {
        {1772607909, "07:05:09 March04,2026"},
        {1798761599, "23:59:59 December31,2026"},
        {0, "00:00:00 January01,1970"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FormatFrameTitle(c.when).toStdString(), c.title);

    if (!std::setlocale(LC_ALL, "de_DE.UTF-8"))
        GTEST_SKIP() << "no de_DE.UTF-8 locale on this machine (scripts/install-deps makes one)";
    char month[64];
    std::tm tm {};
    tm.tm_mon = 2;
    std::strftime(month, sizeof month, "%B", &tm);
    ASSERT_STREQ(month, "März") << "the German locale is in effect";
    for (const Case& c : cases)
        EXPECT_EQ(FormatFrameTitle(c.when).toStdString(), c.title);
}

TEST_F(TitleFormat, EveryFrameReadsTheTimeZoneAfresh) {
    // The zone changes under a running program (the user moved the clock): the next frame's
    // title follows without a restart.
    QTemporaryDir dir;
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.path()));
    FakeDriverRegistry registry;
    FakePowerServices power;
    {
        CCaptureDlg dlg(Platform{&registry, &power});
        dlg.Create();
        dlg.OnConnect();
        setenv("TZ", "JST-9", 1);  // no tzset here
        const std::time_t now = std::time(nullptr);
        dlg.OnStart();
        std::tm japan {};
        const std::time_t shifted = now + 9 * 3600;
        gmtime_r(&shifted, &japan);
        char hour[8];
        std::snprintf(hour, sizeof hour, "%02d:", japan.tm_hour);
        EXPECT_EQ(dlg.GetWindowText().left(3).toStdString(), hour);
    }
    QDir::setCurrent(previous);
}

}  // namespace
