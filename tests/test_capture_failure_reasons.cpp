// The FFmpeg capture window says why a connect, a file open or a grab failed, and how large
// the open file is, on the built-in test pattern.
#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <fcntl.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>

#include "platform/capwin/FfmpegDriverRegistry.h"

namespace {

class FailureReasonTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        registry.settings().connectTimeoutMs = 1500;
        registry.settings().frameWaitMs = 300;
        registry.settings().reopenBoundMs = 600;
    }
    std::unique_ptr<FfmpegCaptureWindow> Create() {
        CaptureWindow* w =
            registry.capCreateCaptureWindowA("PrevWnd", WS_CHILD, 0, 0, 320, 240, &parent, 22);
        return std::unique_ptr<FfmpegCaptureWindow>(dynamic_cast<FfmpegCaptureWindow*>(w));
    }
    std::unique_ptr<FfmpegCaptureWindow> Connected() {
        auto w = Create();
        if (!w || w->DriverConnect(registry.testPatternIndex()) != 1)
            return nullptr;
        return w;
    }
    bool Open(FfmpegCaptureWindow& w, const char* leaf) {
        const QByteArray file = QFile::encodeName(dir.filePath(leaf));
        return w.FileSetCaptureFile(file.constData()) == TRUE && w.SingleFrameOpen() == TRUE;
    }

    QTemporaryDir dir;
    FfmpegDriverRegistry registry{FfmpegDriverRegistry::Devices::None};
    QWidget parent;
};

TEST_F(FailureReasonTest, ConnectToAMissingDriverSaysNoSuchDeviceAndASuccessClearsIt) {
    auto w = Create();
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->DriverConnect(7), 0);
    EXPECT_EQ(w->LastFailure().kind, CaptureFailureKind::NoSuchDevice);
    ASSERT_EQ(w->DriverConnect(registry.testPatternIndex()), 1);
    EXPECT_EQ(w->LastFailure().kind, CaptureFailureKind::None);
}

TEST_F(FailureReasonTest, PatternThatSendsNothingAtConnectSaysSo) {
    registry.setTestPatternStall(0);
    auto w = Create();
    ASSERT_NE(w, nullptr);
    CaptureFailureKind reported = CaptureFailureKind::None;
    QObject::connect(w.get(), &CaptureWindow::failureReported,
                     [&reported](CaptureFailureKind kind, const QString&) { reported = kind; });
    EXPECT_EQ(w->DriverConnect(registry.testPatternIndex()), 0);
    EXPECT_EQ(w->LastFailure().kind, CaptureFailureKind::NoFrame);
    EXPECT_EQ(reported, CaptureFailureKind::NoFrame) << "the signal carries the same reason";
}

TEST_F(FailureReasonTest, TheOpenFileAsItsWriterKnowsIt) {
    auto w = Connected();
    ASSERT_NE(w, nullptr);
    EXPECT_FALSE(w->CaptureFile().open);
    ASSERT_TRUE(Open(*w, "size.avi"));
    const CaptureWindow::FileState header = w->CaptureFile();
    EXPECT_TRUE(header.open && header.linked);
    EXPECT_GT(header.bytes, 0);
    EXPECT_EQ(header.nextFrameGrowthBound, 0) << "no frame to go by yet";
    ASSERT_NE(w->SingleFrame(), 0);
    const CaptureWindow::FileState one = w->CaptureFile();
    EXPECT_GE(one.bytes, header.bytes + 320 * 240 * 3) << "one raw frame more";
    EXPECT_GE(one.nextFrameGrowthBound, 320 * 240 * 3);
    EXPECT_LT(one.nextFrameGrowthBound, 320 * 240 * 3 + 200) << "a chunk and its index entries";
    // Removed by hand, the file says so through its writer, whatever its name.
    ASSERT_TRUE(QFile::remove(dir.filePath("size.avi")));
    EXPECT_FALSE(w->CaptureFile().linked);
    EXPECT_FALSE(w->FormatName().isEmpty());
    w->SingleFrameClose();
    EXPECT_FALSE(w->CaptureFile().open);
}

TEST_F(FailureReasonTest, FileSizeLimitIsTheReasonOfTheFailedGrab) {
    auto w = Connected();
    ASSERT_NE(w, nullptr);
    ASSERT_TRUE(Open(*w, "limited.avi"));
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit lower = saved;
    lower.rlim_cur = 400000;  // the header and one frame of 230400 bytes, not two
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &lower), 0);
    const LRESULT first = w->SingleFrame();
    const LRESULT second = w->SingleFrame();
    ::setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_NE(first, 0);
    EXPECT_EQ(second, 0);
    EXPECT_EQ(w->LastFailure().kind, CaptureFailureKind::FileSizeLimit);
    // Later grabs into the broken file keep the reason.
    EXPECT_EQ(w->SingleFrame(), 0);
    EXPECT_EQ(w->LastFailure().kind, CaptureFailureKind::FileSizeLimit);
}

TEST_F(FailureReasonTest, AFileThatCannotBeCreatedGivesTheSystemsMessageAtTheNextGrab) {
    auto w = Connected();
    ASSERT_NE(w, nullptr);
    const QByteArray taken = QFile::encodeName(dir.filePath("taken.avi"));
    const int fd = ::open(taken.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ::close(fd);
    EXPECT_FALSE(Open(*w, "taken.avi")) << "an existing file is never replaced";
    EXPECT_EQ(w->LastFailure().kind, CaptureFailureKind::WriteError);
    EXPECT_FALSE(w->LastFailure().text.isEmpty());
    EXPECT_EQ(w->SingleFrame(), 0);
    EXPECT_EQ(w->LastFailure().kind, CaptureFailureKind::WriteError) << "the open's reason stays";
}

TEST_F(FailureReasonTest, ADeviceThatStopsIsGone) {
    auto w = Connected();
    ASSERT_NE(w, nullptr);
    ASSERT_TRUE(Open(*w, "gone.avi"));
    registry.setTestPatternStall(0);
    EXPECT_EQ(w->SingleFrame(), 0);
    EXPECT_EQ(w->LastFailure().kind, CaptureFailureKind::DeviceGone);
}

// Opens a driver dialog with the call and reports the controls of the dialog that shows up
// without a tip, then cancels it.
std::string ControlsWithoutTip(const std::function<void()>& open, int* controls) {
    std::string missing;
    QTimer::singleShot(50, [&missing, controls] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!dialog) {
            missing = "no dialog";
            return;
        }
        for (QWidget* w : dialog->findChildren<QWidget*>()) {
            if (!qobject_cast<QAbstractButton*>(w) && !qobject_cast<QComboBox*>(w))
                continue;
            ++*controls;
            if (w->toolTip().isEmpty())
                missing += w->metaObject()->className() + std::string(" ");
        }
        dialog->reject();
    });
    open();
    return missing;
}

TEST_F(FailureReasonTest, EveryControlOfTheDriverDialogsHasATip) {
    auto w = Connected();
    ASSERT_NE(w, nullptr);
    const std::function<void()> dialogs[] = {
        [&w] { w->DlgVideoSource(); },
        [&w] { w->DlgVideoFormat(); },
        [&w] { w->DlgVideoDisplay(); },
        [&w] { w->DlgVideoCompression(); },
    };
    for (const auto& open : dialogs) {
        int controls = 0;
        EXPECT_EQ(ControlsWithoutTip(open, &controls), "");
        EXPECT_GE(controls, 3) << "OK, Cancel and at least one choice";
    }
}

}  // namespace
