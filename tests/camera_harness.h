// What the camera tests share: reading back what the fake camera paints, answering the
// driver's dialogs, the log, and the fixture that lays out a fake camera in a temporary
// device directory (the fake itself is preloaded by CTest).
#pragma once

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/CaptureDlg.h"
#include "common/CaptureSettings.h"
#include "fakes/FakePowerServices.h"
#include "platform/capwin/DriverDialogs.h"
#include "platform/capwin/FfmpegCaptureWindow.h"
#include "platform/capwin/FfmpegDriverRegistry.h"
#include "support/EventLoop.h"

namespace cameratest {

// ---- what the fake paints, read back -----------------------------------------------------

constexpr int kCounterBits = 20;  // as the fake camera paints them

int Luma(QRgb c);
// The frame number the fake camera painted into the band across the middle of the picture.
long FrameNumber(const QImage& image);
// Mean brightness of the moving picture (below the counter, above a low time stamp).
double PictureLuma(const QImage& image);
// Whether the time-stamp band is drawn into the top or the bottom rows.
bool HasStampBand(const QImage& image);
// Every frame of a video file, decoded by ffmpeg to RGB.
std::vector<QImage> DecodeFrames(const QString& path, int width, int height);

// ---- the event loop, dialogs and the log ------------------------------------------------

class DialogAnswers : public QObject {
public:
    explicit DialogAnswers(std::map<QString, std::function<void(QDialog*)>> handlers)
        : handlers_(std::move(handlers)) {
        connect(&timer_, &QTimer::timeout, this, [this] {
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            if (dialog == nullptr || !dialog->isVisible())
                return;
            seen.push_back(dialog->objectName());
            auto it = handlers_.find(dialog->objectName());
            if (it != handlers_.end())
                it->second(dialog);
            dialog->accept();
        });
        timer_.start(10);
    }
    std::vector<QString> seen;

private:
    std::map<QString, std::function<void(QDialog*)>> handlers_;
    QTimer timer_;
};

void Choose(QDialog* dialog, const char* comboName, const QString& text);
// The rows of a dialog's form: label text and field widget.
std::vector<std::pair<QString, QWidget*>> FormRows(QDialog* dialog);

// Every message of the program's log from now on is kept (and still passed on).
void StartRecordingLog();
void StopRecordingLog();
std::string LogSince(std::size_t from);
std::size_t LogSize();
int ThreadCount();
// Waits until the fake camera at node is unplugged (its node then refuses to open).
bool WaitUntilUnplugged(const std::string& node, int ms);

// Every fault of the fake camera: none is set when a test starts or after it ends.
inline const char* const kFaults[] = {
    "FAKE_V4L2_UNPLUG_AFTER", "FAKE_V4L2_RETURN_AFTER_MS", "FAKE_V4L2_STALL_AFTER",
    "FAKE_V4L2_BUSY",         "FAKE_V4L2_REFUSE_S_FMT",    "FAKE_V4L2_EIO_AT",
    "FAKE_V4L2_SHORT_AT",     "FAKE_V4L2_DARK_FIRST",      "FAKE_V4L2_HANG_OPEN_MS",
    "FAKE_V4L2_HANG_AFTER",   "FAKE_V4L2_HANG_MS",         "FAKE_V4L2_HANG_STREAMOFF_MS",
    "FAKE_V4L2_TWIN_FD",      "FAKE_V4L2_FRAME_RATES"};

// ---- the fixture ---------------------------------------------------------------------------

class Camera : public ::testing::Test {
protected:
    static void SetUpTestSuite() { StartRecordingLog(); }
    static void TearDownTestSuite() { StopRecordingLog(); }

    void SetUp() override {
        if (std::getenv("LD_PRELOAD") == nullptr ||
            std::string(std::getenv("LD_PRELOAD")).find("fake_v4l2") == std::string::npos)
            GTEST_SKIP() << "the fake camera is not preloaded (run through CTest)";
        ASSERT_TRUE(devices.isValid());
        ASSERT_TRUE(work.isValid());
        previousDir = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(work.path()));
        for (const char* fault : kFaults)
            unsetenv(fault);
        captureSettings.previewRateMs = 1000;
    }
    void TearDown() override {
        dlg.reset();
        registry.reset();
        for (const char* fault : kFaults)
            unsetenv(fault);
        unsetenv("FAKE_V4L2_DEVICE");
        if (!previousDir.isEmpty())
            QDir::setCurrent(previousDir);
    }

    std::string Dev(const std::string& leaf) const { return devices.path().toStdString() + "/" + leaf; }

    // A camera at dev/videoN with a stable link by-id (or by-path) to it.
    void AddCamera(int node, const std::string& stableDir, const std::string& name) {
        const std::string leaf = "video" + std::to_string(node);
        QFile file(QString::fromStdString(Dev(leaf)));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.close();
        std::filesystem::create_directories(Dev("v4l/" + stableDir));
        std::filesystem::create_symlink("../../" + leaf, Dev("v4l/" + stableDir + "/" + name));
        cameras += (cameras.empty() ? "" : ":") + Dev(leaf);
        setenv("FAKE_V4L2_DEVICE", cameras.c_str(), 1);
    }
    void AddCamera() { AddCamera(0, "by-id", kStableName); }

    // The main window on a registry of the device directory.
    void Open() {
        registry = std::make_unique<FfmpegDriverRegistry>(FfmpegDriverRegistry::Devices::Scan,
                                                          devices.path().toStdString());
        registry->settings().frameWaitMs = 500;
        registry->settings().reopenBoundMs = 3000;
        dlg = std::make_unique<CCaptureDlg>(Platform{registry.get(), &power});
        dlg->Create();
    }
    void Connect() {
        dlg->driverList->SetCurSel(0);
        dlg->OnConnect();
        ASSERT_EQ(dlg->captureState, Connected) << LogSince(0);
    }
    FfmpegCaptureWindow* Window() const {
        return qobject_cast<FfmpegCaptureWindow*>(dlg->captureWindow.data());
    }
    // The cfg button's dialogs, answered by handlers.
    std::vector<QString> DriverDialogs(std::map<QString, std::function<void(QDialog*)>> handlers) {
        DialogAnswers answers(std::move(handlers));
        dlg->OnDriverDialogs();
        return answers.seen;
    }
    void ChooseFormat(const char* size, const char* layout) {
        const auto seen = DriverDialogs({{capwin::kVideoFormatDialog, [&](QDialog* d) {
                                              Choose(d, "frameSize", size);
                                              Choose(d, "pixelFormat", layout);
                                          }}});
        ASSERT_EQ(seen.size(), 4u);
    }
    // Runs at interval 1 s until frames frames are taken (the frame clock's own timer).
    void RunFrames(int frames, int withinMs) {
        dlg->SetDlgItemText(IDC_INTERVAL, "1");
        ASSERT_EQ(dlg->intervalSeconds, 1);
        dlg->CheckDlgButton(IDC_SUSPEND_END, BST_UNCHECKED);
        dlg->OnStart();
        ASSERT_TRUE(WaitFor([&] { return dlg->frameCount >= frames || dlg->captureState != Capturing; },
                            withinMs));
    }
    QString File(const char* leaf) const { return work.path() + "/" + leaf; }

    static constexpr const char* kStableName = "usb-Brisolt_Fake_Camera-video-index0";
    QTemporaryDir devices;
    QTemporaryDir work;
    QString previousDir;
    std::string cameras;
    FakePowerServices power;
    std::unique_ptr<FfmpegDriverRegistry> registry;
    std::unique_ptr<CCaptureDlg> dlg;
};

}  // namespace cameratest
