// The driver dialogs and the start-up device scan on a driver that hangs: they talk to the
// camera off the window's thread and wait for it within a bound, as connect and grab do,
// and the source dialog opens the device once, however many controls it moves.
#include <QElapsedTimer>
#include <QLabel>
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

class CameraDialogs : public Camera {};

TEST_F(CameraDialogs, SourceAndFormatDialogsShowWithinTheirBoundWhileTheDriverHangsInOpen) {
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

TEST_F(CameraDialogs, TheSourceDialogOpensTheDeviceOnceHoweverManyStepsASliderMoves) {
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

TEST_F(CameraDialogs, TheDeviceScanAtStartUpReturnsWithinItsBoundWhileADriverHangsInOpen) {
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

}  // namespace
