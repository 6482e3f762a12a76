// The main window's capture commands on the recording capture window: message order, the
// control table, the state guards and the numbered names.
#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/CaptureDlgFixture.h"

namespace {

class CaptureCommandsTest : public CaptureDlgFixture {
protected:
    // After the run's file was finished for a session end that did not come: the next
    // frame goes into a new numbered file, the one after that into the same.
    void CancelledLogOffGoesOnInANewFile(FakeCaptureWindow* w);
};

TEST_F(CaptureCommandsTest, ConnectSendsTheSetupInOrderAndAppliesItsColumn) {
    const size_t controls = dlg->ControlLog().size();
    dlg->OnConnect();
    EXPECT_EQ(registry.log.Since(0),
              "create PrevWnd 0 0 320 240 id22 child visible, connect 0, status, callback, "
              "scale 1, previewrate 1000, preview 1, getsequence, "
              "setsequence 33333 324000 10 2048, audio 1 1 8000 8000 1 8 0");
    EXPECT_EQ(Title(), "Connect.");
    EXPECT_EQ(dlg->captureState, Connected);
    EXPECT_EQ(ControlsSince(controls), "1001 off, 1002 on, 1006 on, 1007 on, 1013 on, focus 1002");
    EXPECT_EQ(captureSettings.capStatus.uiImageWidth, 320u);
    EXPECT_EQ(captureSettings.capStatus.uiImageHeight, 240u);
    FakeCaptureWindow* w = registry.Last();
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->parentWidget(), dlg.get());
    EXPECT_NE(w->callback, nullptr);
}

TEST_F(CaptureCommandsTest, FailedConnectChangesNothingAndASecondAttemptMakesANewWindow) {
    registry.connectReply = 0;
    const QString title = dlg->GetWindowText();
    const size_t controls = dlg->ControlLog().size();
    dlg->OnConnect();
    EXPECT_EQ(dlg->captureState, Disconnected);
    EXPECT_EQ(dlg->GetWindowText(), title);
    EXPECT_EQ(ControlsSince(controls), "");
    ASSERT_EQ(registry.windows.size(), 1u);
    QPointer<FakeCaptureWindow> first = registry.windows[0];

    // Any reply but exactly 1 fails.
    registry.connectReply = 2;
    dlg->OnConnect();
    ASSERT_EQ(registry.windows.size(), 2u);
    EXPECT_TRUE(first.isNull()) << "the next attempt destroys the window of a failed one";
    EXPECT_EQ(dlg->captureWindow.data(), registry.windows[1].data());
    EXPECT_EQ(dlg->captureState, Disconnected);
    EXPECT_EQ(registry.log.CountOf("status"), 0);

    QPointer<FakeCaptureWindow> second = registry.windows[1];
    registry.connectReply = 1;
    dlg->OnConnect();
    EXPECT_EQ(dlg->captureState, Connected);
    EXPECT_TRUE(second.isNull());
}

TEST_F(CaptureCommandsTest, ConnectWithNothingSelectedPassesMinusOne) {
    dlg->driverList->SetCurSel(-1);
    dlg->OnConnect();
    EXPECT_EQ(registry.log.calls.at(1), "connect -1");
}

TEST_F(CaptureCommandsTest, ConnectWithNoWindowFailsQuietly) {
    registry.failCreate = true;
    dlg->OnConnect();
    EXPECT_EQ(dlg->captureState, Disconnected);
    EXPECT_TRUE(dlg->captureWindow.isNull());
    EXPECT_TRUE(Enabled(IDC_CONNECT));
}

TEST_F(CaptureCommandsTest, StartOpensTheFirstFreeFileSetsTimersAndGrabsAtOnce) {
    Connect();
    QFile existing(tempDir->path() + "/brslt000.avi");
    ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
    existing.close();
    dlg->intervalSeconds = 7;
    dlg->spanSeconds = 100;
    const size_t calls = registry.log.calls.size();
    const size_t controls = dlg->ControlLog().size();
    dlg->OnStart();
    EXPECT_EQ(registry.log.Since(calls), "file " + Path("brslt001.avi") + ", open, grab");
    EXPECT_EQ(dlg->captureFileName, Path("brslt001.avi"));
    EXPECT_EQ(dlg->TimerPeriodMs(TIMER_FRAME), 7000u);
    EXPECT_EQ(dlg->TimerPeriodMs(TIMER_SPAN), 100000u);
    EXPECT_EQ(dlg->captureState, Capturing);
    EXPECT_EQ(dlg->frameCount, 1);
    EXPECT_EQ(Text(IDC_FRAMES), "frm:00000001");
    EXPECT_EQ(ControlsSince(controls),
              "1002 off, 1005 on, 1006 off, 1007 off, 1013 off, 1003 off, 1004 off, focus 1005, "
              "setup 1015 off");
}

// A start whose file cannot be named or opened, or whose first grab fails, ends at once as a
// capture failure, and never puts the computer to sleep: the user is at it, having just
// clicked start.
TEST_F(CaptureCommandsTest, AFailedStartEndsTheRunAtOnceAndNeverSleeps) {
    enum Fault { SetFile, Open, FirstGrab };
    struct Case {
        const char* name;
        Fault fault;
        const char* calls;  // after the name is set
        int frames;
    } const cases[] = {
        {"the capture file is refused", SetFile, ", close, disconnect, destroyed", 0},
        {"the file does not open", Open, ", open, close, disconnect, destroyed", 0},
        {"the first grab fails", FirstGrab, ", open, grab, close, disconnect, destroyed", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        dlg->CheckDlgButton(IDC_USE_SLEEP, BST_CHECKED);
        dlg->CheckDlgButton(IDC_SUSPEND_END, BST_CHECKED);
        QPointer<FakeCaptureWindow> w = Connect();
        ASSERT_FALSE(w.isNull());
        w->failSetFile = c.fault == SetFile;
        w->failOpen = c.fault == Open;
        w->grabReply = c.fault == FirstGrab ? 0 : 1;
        power.calls.clear();
        const size_t calls = registry.log.calls.size();
        dlg->OnStart();
        EXPECT_EQ(registry.log.Since(calls), "file " + Path("brslt000.avi") + c.calls);
        EXPECT_EQ(Title(), "Capture Failed.");
        EXPECT_EQ(dlg->captureState, Disconnected);
        EXPECT_TRUE(w.isNull());
        EXPECT_FALSE(dlg->HasTimer(TIMER_FRAME));
        EXPECT_FALSE(dlg->HasTimer(TIMER_SPAN));
        EXPECT_EQ(dlg->frameCount, c.frames);
        if (c.frames > 0) {
            EXPECT_EQ(Text(IDC_FRAMES), "frm:00000001");
        }
        EXPECT_EQ(power.calls, std::vector<std::string>{}) << "no suspend, no hibernation";
        // The controls end as after any capture failure: those of Disconnected.
        const std::string failureColumn =
            "1001 on, 1002 off, 1005 off, 1006 off, 1003 on, 1004 on, setup 1015 on";
        const std::string controls = ControlsSince(0);
        ASSERT_GE(controls.size(), failureColumn.size());
        EXPECT_EQ(controls.substr(controls.size() - failureColumn.size()), failureColumn);
        for (int id : {IDC_CONNECT, IDC_INTERVAL, IDC_SPAN})
            EXPECT_TRUE(Enabled(id)) << id;
        for (int id : {IDC_START, IDC_STOP, IDC_BMP, IDC_CFG, IDC_DISCONNECT})
            EXPECT_FALSE(Enabled(id)) << id;
        EXPECT_TRUE(SliderEnabled());
        // The user can connect again and start anew.
        Connect();
    }
}

TEST_F(CaptureCommandsTest, LongestIntervalAndSpanStayWithinTheTimerRange) {
    Connect();
    dlg->intervalSeconds = 2147482;
    dlg->spanSeconds = 2147482;
    dlg->OnStart();
    EXPECT_EQ(dlg->TimerPeriodMs(TIMER_FRAME), 2147482000u);
    EXPECT_EQ(dlg->TimerPeriodMs(TIMER_SPAN), 2147482000u);
}

TEST_F(CaptureCommandsTest, StopFinishesTheFileAndReturnsToConnected) {
    StartRun();
    const size_t calls = registry.log.calls.size();
    const size_t controls = dlg->ControlLog().size();
    dlg->OnStop();
    EXPECT_EQ(registry.log.Since(calls), "close");
    EXPECT_FALSE(dlg->HasTimer(TIMER_FRAME));
    EXPECT_FALSE(dlg->HasTimer(TIMER_SPAN));
    EXPECT_EQ(Title(), "End Capture...");
    EXPECT_EQ(ControlsSince(controls),
              "1002 on, 1005 off, 1006 on, 1007 on, 1013 on, 1003 on, 1004 on, setup 1015 on, "
              "focus 1002");
    EXPECT_EQ(dlg->captureState, Connected);
    EXPECT_EQ(power.CountCalls("Hibernate"), 0) << "stop never hibernates";
}

TEST_F(CaptureCommandsTest, DisconnectReleasesTheDriverAndRestoresTheOpeningState) {
    // The enabled set at opening, to compare with after a connect and disconnect.
    const int ids[] = {IDC_CONNECT, IDC_START, IDC_STOP, IDC_BMP, IDC_CFG, IDC_DISCONNECT,
                       IDC_INTERVAL, IDC_SPAN};
    std::vector<bool> opening;
    for (int id : ids)
        opening.push_back(Enabled(id));
    Connect();
    QPointer<FakeCaptureWindow> w = registry.Last();
    const size_t calls = registry.log.calls.size();
    const size_t controls = dlg->ControlLog().size();
    dlg->OnDisconnect();
    EXPECT_EQ(registry.log.Since(calls), "close, disconnect, destroyed");
    EXPECT_TRUE(w.isNull());
    EXPECT_TRUE(dlg->captureWindow.isNull());
    EXPECT_EQ(Title(), "Disconnect.");
    EXPECT_EQ(ControlsSince(controls), "1001 on, 1002 off, 1005 off, 1006 off, 1007 off, 1013 off");
    EXPECT_EQ(dlg->captureState, Disconnected);
    std::vector<bool> after;
    for (int id : ids)
        after.push_back(Enabled(id));
    EXPECT_EQ(after, opening);
    EXPECT_TRUE(SliderEnabled());
    Connect();
}

// Each command in each state where it must do nothing: no message, no change.
TEST_F(CaptureCommandsTest, CommandsOutsideTheirStateDoNothing) {
    struct Case {
        const char* name;
        CaptureState state;
        void (CCaptureDlg::*command)();
    };
    const Case cases[] = {
        {"start while disconnected", Disconnected, &CCaptureDlg::OnStart},
        {"stop while disconnected", Disconnected, &CCaptureDlg::OnStop},
        {"disconnect while disconnected", Disconnected, &CCaptureDlg::OnDisconnect},
        {"connect while connected", Connected, &CCaptureDlg::OnConnect},
        {"stop while connected", Connected, &CCaptureDlg::OnStop},
        {"connect while capturing", Capturing, &CCaptureDlg::OnConnect},
        {"start while capturing", Capturing, &CCaptureDlg::OnStart},
        {"disconnect while capturing", Capturing, &CCaptureDlg::OnDisconnect},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        if (c.state == Connected)
            Connect();
        if (c.state == Capturing)
            StartRun();
        const size_t calls = registry.log.calls.size();
        const size_t controls = dlg->ControlLog().size();
        const QString title = dlg->GetWindowText();
        const int frames = dlg->frameCount;
        (dlg.get()->*c.command)();
        EXPECT_EQ(registry.log.Since(calls), "");
        EXPECT_EQ(ControlsSince(controls), "");
        EXPECT_EQ(dlg->GetWindowText(), title);
        EXPECT_EQ(dlg->captureState, c.state);
        EXPECT_EQ(dlg->frameCount, frames);
    }
}

TEST_F(CaptureCommandsTest, DriverDialogsComeInOrderAndTheNewSizeIsRead) {
    Connect();
    const size_t calls = registry.log.calls.size();
    const QString title = dlg->GetWindowText();
    dlg->OnDriverDialogs();
    EXPECT_EQ(registry.log.Since(calls),
              "dlg source, dlg display, dlg format, dlg compression, status");
    EXPECT_EQ(captureSettings.capStatus.uiImageWidth, 640u);
    EXPECT_EQ(captureSettings.capStatus.uiImageHeight, 480u);
    EXPECT_EQ(dlg->GetWindowText(), title);
    EXPECT_EQ(dlg->captureState, Connected);
}

TEST_F(CaptureCommandsTest, ClosingDuringARunFinishesTheFileOnly) {
    StartRun();
    const size_t calls = registry.log.calls.size();
    const QString title = dlg->GetWindowText();
    dlg->OnCancel();
    EXPECT_EQ(registry.log.Since(calls), "close");
    EXPECT_EQ(dlg->GetWindowText(), title);
    EXPECT_TRUE(dlg->HasTimer(TIMER_FRAME));
    EXPECT_EQ(dlg->captureState, Capturing);
    EXPECT_EQ(power.CountCalls("Hibernate"), 0);
}

TEST_F(CaptureCommandsTest, ClosingWhileConnectedSendsNothing) {
    Connect();
    const size_t calls = registry.log.calls.size();
    dlg->OnOK();
    EXPECT_EQ(registry.log.Since(calls), "");
}

TEST_F(CaptureCommandsTest, EndOfSessionMessagesFinishTheFile) {
    struct Case {
        CaptureState state;
        UINT message;
        bool closes;
    };
    const Case cases[] = {
        {Disconnected, WM_QUERYENDSESSION, false},  // no window to send to
        {Connected, WM_QUERYENDSESSION, true},
        {Capturing, WM_QUERYENDSESSION, true},
        {Connected, WM_ENDSESSION, false},
        {Capturing, WM_ENDSESSION, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.state) + " " + std::to_string(c.message));
        TearDown();
        SetUp();
        if (c.state == Connected)
            Connect();
        if (c.state == Capturing)
            StartRun();
        const size_t calls = registry.log.calls.size();
        const LRESULT reply = dlg->SendMessage(c.message, TRUE, 0);
        EXPECT_EQ(registry.log.Since(calls), c.closes ? "close" : "");
        EXPECT_EQ(dlg->captureState, c.state);
        if (c.message == WM_QUERYENDSESSION) {
            EXPECT_EQ(reply, TRUE) << "the log-off may go on";
        }
    }
}

TEST_F(CaptureCommandsTest, QueryEndSessionDuringARunKeepsTheRunGoing) {
    StartRun();
    dlg->SendMessage(WM_QUERYENDSESSION, 0, 0);
    EXPECT_EQ(dlg->captureState, Capturing);
    EXPECT_TRUE(dlg->HasTimer(TIMER_FRAME));
    EXPECT_TRUE(dlg->HasTimer(TIMER_SPAN));
}

// A log-off that was asked about and then cancelled: the run goes on in a new file at its
// next frame, as at a rollover, and fails nothing.
TEST_F(CaptureCommandsTest, ACancelledLogOffGoesOnInANewFileAtTheNextFrame) {
    FakeCaptureWindow* w = StartRun();
    dlg->frameCount = 41;
    ASSERT_EQ(dlg->SendMessage(WM_QUERYENDSESSION, 0, 0), TRUE);
    EXPECT_FALSE(w->fileOpen) << "the query itself finishes the file";
    CancelledLogOffGoesOnInANewFile(w);
}

// The session's end announced and then called off (WM_ENDSESSION saying it does not end)
// also finishes the file; the run goes on as after a cancelled query.
TEST_F(CaptureCommandsTest, AnEndSessionThatDoesNotEndGoesOnInANewFileAtTheNextFrame) {
    FakeCaptureWindow* w = StartRun();
    dlg->frameCount = 41;
    dlg->SendMessage(WM_ENDSESSION, FALSE, 0);
    EXPECT_FALSE(w->fileOpen) << "the message finishes the file";
    CancelledLogOffGoesOnInANewFile(w);
}

void CaptureCommandsTest::CancelledLogOffGoesOnInANewFile(FakeCaptureWindow* w) {
    power.calls.clear();
    size_t calls = registry.log.calls.size();
    dlg->OnTimer(TIMER_FRAME);
    EXPECT_EQ(registry.log.Since(calls), "file " + Path("brslt001.avi") + ", open, grab");
    EXPECT_EQ(dlg->captureState, Capturing);
    EXPECT_NE(Title(), "Capture Failed.");
    EXPECT_EQ(dlg->captureFileName, Path("brslt001.avi"));
    EXPECT_EQ(w->framesInFile, 1) << "the frame went into the new file";
    EXPECT_EQ(Text(IDC_FRAMES), "frm:00000042");
    EXPECT_EQ(power.CountCalls("Hibernate"), 0);
    struct stat st {};
    ASSERT_EQ(::stat(Path("brslt001.avi").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 1000);
    ASSERT_EQ(::stat(Path("brslt000.avi").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 1000) << "the first file keeps its frame";
    // The frame after that goes on in the same file.
    calls = registry.log.calls.size();
    dlg->OnTimer(TIMER_FRAME);
    EXPECT_EQ(registry.log.Since(calls), "grab");
    EXPECT_EQ(w->framesInFile, 2);
}

TEST_F(CaptureCommandsTest, EndSessionAfterTheQueryFinishesTheFileAsBefore) {
    StartRun();
    const size_t calls = registry.log.calls.size();
    dlg->SendMessage(WM_QUERYENDSESSION, 0, 0);
    dlg->SendMessage(WM_ENDSESSION, TRUE, 0);
    EXPECT_EQ(registry.log.Since(calls), "close, close");
    EXPECT_EQ(dlg->captureState, Capturing);
    EXPECT_TRUE(dlg->HasTimer(TIMER_FRAME));
    EXPECT_TRUE(dlg->HasTimer(TIMER_SPAN));
    EXPECT_EQ(power.CountCalls("Hibernate"), 0);
}

// A new connect attempt destroys the window that a failed one left, so that failed attempts
// leave nothing behind in the preview area.
TEST_F(CaptureCommandsTest, RepeatedFailedConnectsLeaveOnlyTheLatestWindow) {
    const auto live = [this] {
        int n = 0;
        for (const auto& w : registry.windows)
            n += !w.isNull();
        EXPECT_EQ(dlg->findChildren<CaptureWindow*>().size(), static_cast<qsizetype>(n))
            << "every capture window is a child of the main window";
        return n;
    };
    registry.connectReply = 0;
    for (int attempt = 1; attempt <= 5; ++attempt) {
        SCOPED_TRACE(attempt);
        dlg->OnConnect();
        EXPECT_EQ(dlg->captureState, Disconnected);
        EXPECT_EQ(live(), 1);
        EXPECT_EQ(dlg->captureWindow.data(), registry.Last());
    }
    // An attempt that makes no window at all still removes the one before it.
    registry.failCreate = true;
    dlg->OnConnect();
    EXPECT_EQ(live(), 0);
    EXPECT_TRUE(dlg->captureWindow.isNull());
    registry.failCreate = false;
    registry.connectReply = 0;
    dlg->OnConnect();
    registry.connectReply = 1;
    dlg->OnConnect();
    EXPECT_EQ(dlg->captureState, Connected);
    EXPECT_EQ(live(), 1);
    EXPECT_EQ(dlg->captureWindow.data(), registry.Last());
    EXPECT_EQ(registry.log.CountOf("destroyed"), 6);
    // The connected window stays through the commands that follow.
    dlg->OnStart();
    dlg->OnStop();
    EXPECT_EQ(live(), 1);
}

// ---- numbered names and the snapshot ---------------------------------------------------

void Touch(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << path;
    ::close(fd);
}

TEST_F(CaptureCommandsTest, NumberedNamesTakeTheLowestFreeNumberOfTheirKind) {
    struct Case {
        std::vector<const char*> present;
        const char* nextAvi;
        const char* nextBmp;
    };
    const Case cases[] = {
        {{}, "brslt000.avi", "brslt000.bmp"},
        {{"brslt000.avi", "brslt001.avi"}, "brslt002.avi", "brslt000.bmp"},
        {{"brslt001.avi"}, "brslt000.avi", "brslt000.bmp"},
        {{"brslt000.bmp", "brslt002.bmp"}, "brslt000.avi", "brslt001.bmp"},
        {{"brslt000.avi", "brslt001.avi", "brslt002.avi", "brslt003.avi", "brslt004.avi",
          "brslt005.avi", "brslt006.avi"},
         "brslt007.avi", "brslt000.bmp"},
        {{"brslt0.avi", "brslt00.avi", "BRSLT000.AVI"}, "brslt000.avi", "brslt000.bmp"},
    };
    for (const Case& c : cases) {
        QTemporaryDir d;
        ASSERT_TRUE(QDir::setCurrent(d.path()));
        for (const char* leaf : c.present)
            Touch((d.path() + "/" + leaf).toStdString());
        EXPECT_EQ(NextCaptureFileName(), (d.path() + "/" + c.nextAvi).toStdString());
        EXPECT_EQ(NextSnapshotFileName(), (d.path() + "/" + c.nextBmp).toStdString());
    }
}

TEST_F(CaptureCommandsTest, NamesAreWrittenWithThreeDigits) {
    for (int n = 0; n < 42; ++n) {
        char leaf[32];
        std::snprintf(leaf, sizeof leaf, "brslt%03d.avi", n);
        Touch(Path(leaf));
        if (n == 6) {
            EXPECT_EQ(NextCaptureFileName(), Path("brslt007.avi"));
        }
    }
    EXPECT_EQ(NextCaptureFileName(), Path("brslt042.avi"));
}

TEST_F(CaptureCommandsTest, AllThousandNamesTakenGivesNoName) {
    for (int n = 0; n < 1000; ++n) {
        char leaf[32];
        std::snprintf(leaf, sizeof leaf, "brslt%03d.avi", n);
        Touch(Path(leaf));
    }
    EXPECT_EQ(NextCaptureFileName(), "");
    EXPECT_EQ(NextSnapshotFileName(), Path("brslt000.bmp"));
    ::unlink(Path("brslt999.avi").c_str());
    EXPECT_EQ(NextCaptureFileName(), Path("brslt999.avi"));
}

TEST_F(CaptureCommandsTest, AnUnreadableOrDanglingNameIsNotHandedOut) {
    // Such a name could never be created exclusively, so handing it out would only lose the
    // run; it counts as taken.
    ASSERT_EQ(::symlink("/nonexistent/brisolt-target", Path("brslt000.avi").c_str()), 0);
    Touch(Path("brslt001.avi"));
    ::chmod(Path("brslt001.avi").c_str(), 0);
    EXPECT_EQ(NextCaptureFileName(), Path("brslt002.avi"));
}

TEST_F(CaptureCommandsTest, ADirectoryNameThatIsNotUtf8ReachesTheWindowByteForByte) {
    const std::string odd = Path("rec\xff\xfe-\xe9t\xe9");
    ASSERT_EQ(::mkdir(odd.c_str(), 0755), 0);
    ASSERT_EQ(::chdir(odd.c_str()), 0);
    EXPECT_EQ(NextCaptureFileName(), odd + "/brslt000.avi");
    FakeCaptureWindow* w = StartRun();
    EXPECT_EQ(w->captureFile, odd + "/brslt000.avi");
    struct stat st {};
    EXPECT_EQ(::stat((odd + "/brslt000.avi").c_str(), &st), 0) << "the run writes where it said";
    dlg->OnSnapshot();
    EXPECT_EQ(registry.log.calls.back(), "savedib " + odd + "/brslt000.bmp");
}

TEST_F(CaptureCommandsTest, RootDirectoryNameKeepsBothSeparators) {
    ASSERT_TRUE(QDir::setCurrent("/"));
    EXPECT_EQ(NextCaptureFileName().rfind("//brslt", 0), 0u);
}

TEST_F(CaptureCommandsTest, SnapshotsGetConsecutiveNumbersAndChangeOnlyTheTitle) {
    Connect();
    const size_t calls = registry.log.calls.size();
    const size_t controls = dlg->ControlLog().size();
    dlg->OnSnapshot();
    dlg->OnSnapshot();
    EXPECT_EQ(registry.log.Since(calls),
              "savedib " + Path("brslt000.bmp") + ", savedib " + Path("brslt001.bmp"));
    EXPECT_EQ(Title(), "Save bitmap.");
    EXPECT_EQ(ControlsSince(controls), "");
    EXPECT_EQ(dlg->captureState, Connected);
}

TEST_F(CaptureCommandsTest, SnapshotWithoutAWindowOnlySetsTheTitle) {
    dlg->OnSnapshot();
    EXPECT_EQ(Title(), "Save bitmap.");
    EXPECT_TRUE(registry.log.calls.empty());
}

}  // namespace
