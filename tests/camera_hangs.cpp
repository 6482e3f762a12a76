// The driver dialogs, the start-up device scan and the program's end on a driver that hangs:
// they talk to the camera off the window's thread and wait for it within a bound, as connect
// and grab do; the source dialog opens the device once, however many controls it moves; and
// the program does not end under a device thread that is still in its driver.
#include <QElapsedTimer>
#include <QLabel>
#include <QProcess>
#include <QSlider>
#include <QTest>

#include <gtest/gtest.h>

#include <dlfcn.h>

#include "camera_harness.h"

namespace {

using namespace cameratest;

unsigned long CameraOpens() {
    using Count = unsigned long (*)();
    static const auto count = reinterpret_cast<Count>(dlsym(RTLD_DEFAULT, "fake_v4l2_open_calls"));
    return count ? count() : 0;
}

// Every label of a dialog, joined.
std::string Labels(QDialog* dialog) {
    std::string text;
    for (const QLabel* label : dialog->findChildren<QLabel*>())
        text += label->text().toStdString() + "\n";
    return text;
}

class CameraHangs : public Camera {};

TEST_F(CameraHangs, SourceAndFormatDialogsShowWithinTheirBoundWhileTheDriverHangsInOpen) {
    AddCamera();
    Open();
    Connect();
    FfmpegCaptureWindow* w = Window();
    ASSERT_NE(w, nullptr);
    const struct {
        const char* dialog;
        std::function<LRESULT()> open;
        const char* says;  // in a label of the dialog
    } cases[] = {
        {capwin::kVideoSourceDialog, [w] { return w->DlgVideoSource(); }, "does not answer"},
        {capwin::kVideoFormatDialog, [w] { return w->DlgVideoFormat(); }, ""},
    };
    setenv("FAKE_V4L2_HANG_OPEN_MS", "3000", 1);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.dialog);
        QElapsedTimer t;
        t.start();
        qint64 shownMs = -1;
        std::string labels;
        QString name;
        OnNextModalDialog([&](QDialog* d) {
            shownMs = t.elapsed();
            name = d->objectName();
            labels = Labels(d);
            d->reject();
        });
        c.open();
        EXPECT_EQ(name, QLatin1String(c.dialog));
        EXPECT_GE(shownMs, 0);
        EXPECT_LT(shownMs, 1000 + 700) << "the device's wait, and no more";
        EXPECT_NE(labels.find(c.says), std::string::npos) << labels;
    }
    unsetenv("FAKE_V4L2_HANG_OPEN_MS");
    EXPECT_TRUE(w->isConnected()) << "the preview's device is not touched";
}

TEST_F(CameraHangs, TheSourceDialogOpensTheDeviceOnceHoweverManyStepsASliderMoves) {
    AddCamera();
    Open();
    Connect();
    const unsigned long before = CameraOpens();
    int steps = 0;
    OnNextModalDialog([&](QDialog* d) {
        for (const auto& [label, field] : FormRows(d))
            if (auto* slider = qobject_cast<QSlider*>(field); slider && label == "Brightness")
                for (int value = 1; value <= 10; ++value, ++steps)
                    slider->setValue(value);
        d->accept();
    });
    Window()->DlgVideoSource();
    ASSERT_EQ(steps, 10);
    // Let the last steps reach the device before counting.
    QTest::qWait(300);
    EXPECT_EQ(CameraOpens() - before, 1u);
}

TEST_F(CameraHangs, TheDeviceScanAtStartUpReturnsWithinItsBoundWhileADriverHangsInOpen) {
    AddCamera();
    setenv("FAKE_V4L2_HANG_OPEN_MS", "3000", 1);
    QElapsedTimer t;
    t.start();
    FfmpegDriverRegistry scanned(FfmpegDriverRegistry::Devices::Scan, devices.path().toStdString());
    EXPECT_LT(t.elapsed(), 1000 + 700);
    unsetenv("FAKE_V4L2_HANG_OPEN_MS");
    // The camera that did not answer is left out; the test pattern is there.
    ASSERT_EQ(scanned.drivers().size(), 1u);
    EXPECT_EQ(scanned.drivers().back().name, FfmpegDriverRegistry::kTestPatternName);
    // Once the driver answers again, a new scan finds it.
    ASSERT_TRUE(WaitFor([&] {
        return FfmpegDriverRegistry(FfmpegDriverRegistry::Devices::Scan,
                                    devices.path().toStdString())
                   .drivers()
                   .size() == 2u;
    }, 8000));
}

// The program itself, ended while the start-up scan's thread is still in its driver's open:
// it waits for the thread to close the device before it ends (within its bound) rather
// than end under it, which would leave the thread to run on while the program is torn down.
TEST_F(CameraHangs, TheProgramEndsAfterItsDeviceThreadsHaveClosedTheirDevices) {
    AddCamera();
    const QString events = work.path() + "/events";
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("BRISOLT_DEVICE_DIR", devices.path());
    env.insert("FAKE_V4L2_HANG_OPEN_MS", "1600");
    env.insert("FAKE_V4L2_EVENTS", events);
    QProcess program;
    program.setProcessEnvironment(env);
    program.start(qEnvironmentVariable("BRISOLT_BINARY_DIR") + "/brisolt",
                  {"-platform", "offscreen", "-C", work.path()});
    ASSERT_TRUE(program.waitForStarted());
    QString log;
    ASSERT_TRUE(WaitFor([&] {
        log += QString::fromLocal8Bit(program.readAllStandardError());
        return log.contains("it is not listed") && log.contains("brisolt.status: ready:");
    }, 8000)) << log.toStdString();
    program.terminate();  // SIGTERM, as a log-off ends it
    ASSERT_TRUE(program.waitForFinished(10000));
    log += QString::fromLocal8Bit(program.readAllStandardError());
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0);
    QFile file(events);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray seen = file.readAll();
    EXPECT_GE(seen.count("open\n"), 1);
    EXPECT_EQ(seen.count("close\n"), seen.count("open\n"))
        << "a device left open when the program ended\n" << log.toStdString();
}

}  // namespace
