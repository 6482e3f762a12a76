// The frame callback only ever sees frames of the size the capture status last gave: the
// driver's dialogs change the size while the main window refreshes its status only after
// all four.
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "app/CaptureDlg.h"
#include "common/CaptureSettings.h"
#include "fakes/FakePowerServices.h"
#include "overlay/FrameCallback.h"
#include "picture/CaptureFormat.h"
#include "platform/capwin/DriverDialogs.h"
#include "platform/capwin/FfmpegDriverRegistry.h"

namespace {

struct CallbackCheck {
    int calls = 0;
    int mismatched = 0;  // frames whose byte count does not fit the status's size
    int callsAtNewSize = 0;
    int callsWhileCompressionOpen = 0;
};
CallbackCheck g_check;
bool g_compressionOpen = false;

// Checks every frame against the status the main window holds, then stamps it as the
// program does.
LRESULT CheckingCallback(HWND window, VIDEOHDR* header) {
    const CAPSTATUS& status = captureSettings.capStatus;
    const auto expected = static_cast<DWORD>(
        picture::RowBytes(picture::PixelLayout::Rgb24, static_cast<int>(status.uiImageWidth)) *
        static_cast<int>(status.uiImageHeight));
    ++g_check.calls;
    if (header->dwBytesUsed != expected)
        ++g_check.mismatched;
    if (header->dwBytesUsed == 640u * 3u * 480u)
        ++g_check.callsAtNewSize;
    if (g_compressionOpen)
        ++g_check.callsWhileCompressionOpen;
    return FrameCallback(window, header);
}

// Answers the driver's dialogs one after another by their object names; each is accepted
// after its action, and after holdMs, during which the preview goes on as while a user reads.
class DialogScript : public QObject {
public:
    struct Step {
        std::function<void(QDialog*)> action;
        int holdMs = 0;
    };
    explicit DialogScript(std::map<std::string, Step> steps) : steps_(std::move(steps)) {
        QObject::connect(&timer_, &QTimer::timeout, this, [this] { poll(); });
        timer_.start(10);
    }
    int answered() const { return answered_; }

private:
    void poll() {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr || dialog == current_)
            return;
        current_ = dialog;
        ++answered_;
        const auto found = steps_.find(dialog->objectName().toStdString());
        int holdMs = 0;
        if (found != steps_.end()) {
            if (found->second.action)
                found->second.action(dialog);
            holdMs = found->second.holdMs;
        }
        QTimer::singleShot(holdMs, dialog, [dialog] {
            g_compressionOpen = false;
            dialog->accept();
        });
    }

    std::map<std::string, Step> steps_;
    QTimer timer_;
    QDialog* current_ = nullptr;
    int answered_ = 0;
};

TEST(CaptureStatus, NoFrameOfANewSizeReachesTheCallbackBeforeTheStatusIsRead) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString previousDir = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.path()));
    FakePowerServices power;
    FfmpegDriverRegistry registry(FfmpegDriverRegistry::Devices::None);
    g_check = {};
    {
        CCaptureDlg dlg(Platform{&registry, &power});
        dlg.Create();
        dlg.driverList->SetCurSel(registry.testPatternIndex());
        dlg.OnConnect();
        ASSERT_EQ(dlg.captureState, Connected);
        ASSERT_EQ(captureSettings.capStatus.uiImageWidth, 320u);
        auto* window = dynamic_cast<FfmpegCaptureWindow*>(dlg.captureWindow.data());
        ASSERT_NE(window, nullptr);
        window->SetCallbackFrame(&CheckingCallback);
        window->SetPreviewRate(40);
        ASSERT_TRUE(QTest::qWaitFor([] { return g_check.calls >= 3; }, 5000));

        bool shownAtNewSize = false;
        DialogScript script({
            {capwin::kVideoFormatDialog,
             {[](QDialog* d) {
                  auto* sizes = d->findChild<QComboBox*>("frameSize");
                  ASSERT_NE(sizes, nullptr);
                  const int index = sizes->findText("640 x 480");
                  ASSERT_GE(index, 0);
                  sizes->setCurrentIndex(index);
              },
              0}},
            // The compression dialog stays open a while: the preview runs on at the new
            // size while the status still holds the old one.
            {capwin::kVideoCompressionDialog,
             {[&](QDialog*) {
                  g_compressionOpen = true;
                  QTimer::singleShot(600, window, [&] {
                      shownAtNewSize = window->shownImage().size() == QSize(640, 480);
                  });
              },
              800}},
        });
        dlg.OnDriverDialogs();
        EXPECT_EQ(script.answered(), 4);
        EXPECT_EQ(captureSettings.capStatus.uiImageWidth, 640u);
        EXPECT_EQ(captureSettings.capStatus.uiImageHeight, 480u);
        EXPECT_TRUE(shownAtNewSize) << "the preview did not go on at the new size";

        // Once the status is read again, the frames pass the callback at the new size.
        EXPECT_TRUE(QTest::qWaitFor([] { return g_check.callsAtNewSize >= 3; }, 5000));
        dlg.OnDisconnect();
    }
    EXPECT_EQ(g_check.mismatched, 0) << "of " << g_check.calls << " frames, "
                                     << g_check.callsWhileCompressionOpen
                                     << " while the compression dialog was open";
    EXPECT_EQ(g_check.callsWhileCompressionOpen, 0);
    QDir::setCurrent(previousDir);
}

}  // namespace
