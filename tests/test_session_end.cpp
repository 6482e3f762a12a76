// Log-off, shutdown and termination signals end the program with the run's file finished,
// even while a modal box is open above the main window.
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <csignal>
#include <memory>

#include "app/CaptureApp.h"
#include "app/CaptureDlg.h"
#include "fakes/FakeCaptureWindow.h"
#include "fakes/FakePowerServices.h"

namespace {

// Should the signal not end the program, this ends it so that the test fails, not hangs.
// The timer belongs to the test and goes with it.
std::unique_ptr<QTimer> EndAnywayAfter(CCaptureApp& app, int ms) {
    auto timer = std::make_unique<QTimer>();
    timer->setSingleShot(true);
    QObject::connect(timer.get(), &QTimer::timeout, [&app] {
        ADD_FAILURE() << "the signal did not end the program";
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QDialog*>(w); box && box->isVisible() && box->isModal())
                box->done(IDCANCEL);
        if (app.MainWindow())
            app.MainWindow()->EndDialog(IDCANCEL);
    });
    timer->start(ms);
    return timer;
}

class SessionEnd : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        previous = QDir::currentPath();
        QDir::setCurrent(dir.path());
        InstallSessionSignalHandlers();
    }
    void TearDown() override { QDir::setCurrent(previous); }

    QTemporaryDir dir;
    QString previous;
    FakeDriverRegistry registry;
    FakePowerServices power;
};

TEST_P(SessionEnd, ASignalDuringARunFinishesTheFileAndEndsTheProgram) {
    CCaptureApp app(Platform{&registry, &power});
    bool aboutWasOpen = false;
    QTimer::singleShot(50, [&] {
        CCaptureDlg* dlg = app.MainWindow();
        ASSERT_NE(dlg, nullptr);
        dlg->OnConnect();
        dlg->OnStart();
        ASSERT_EQ(dlg->captureState, Capturing);
        QTimer::singleShot(200, [&] {
            for (QWidget* w : QApplication::topLevelWidgets())
                aboutWasOpen |= w->isVisible() && w->windowTitle() == "Brisolt version info";
            std::raise(GetParam());
        });
        // The about box runs its own loop until the signal ends it.
        dlg->SendMessage(WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
    });
    const auto watchdog = EndAnywayAfter(app, 5000);
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(app.InitInstance(), FALSE);
    EXPECT_LT(clock.elapsed(), 5000);
    EXPECT_TRUE(aboutWasOpen);
    EXPECT_EQ(app.MainWindow(), nullptr);
    EXPECT_EQ(registry.log.CountOf("close"), 1) << registry.log.Since(0);
    EXPECT_EQ(power.CountCalls("Hibernate"), 0) << "an ended session is not an ended run";
}

TEST_P(SessionEnd, ASignalDuringTheDriverDialogsCancelsThemAndEndsTheProgram) {
    CCaptureApp app(Platform{&registry, &power});
    int boxes = 0;
    QTimer::singleShot(50, [&] {
        CCaptureDlg* dlg = app.MainWindow();
        ASSERT_NE(dlg, nullptr);
        dlg->OnConnect();
        registry.Last()->onDialog = [&](const std::string&) {
            ++boxes;
            QDialog box(dlg);
            box.setWindowTitle("driver dialog");
            box.exec();  // only a cancel ends it
        };
        QTimer::singleShot(200, [&] { std::raise(GetParam()); });
        dlg->OnDriverDialogs();
    });
    const auto watchdog = EndAnywayAfter(app, 5000);
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(app.InitInstance(), FALSE);
    EXPECT_LT(clock.elapsed(), 4000);
    EXPECT_EQ(boxes, 4) << "each of the four dialogs opened and was cancelled in turn";
}

TEST_P(SessionEnd, OutsideTheMainWindowTheSignalsKeepTheirOwnHandling) {
    struct sigaction before {};
    sigaction(GetParam(), nullptr, &before);
    CCaptureApp app(Platform{&registry, &power});
    QTimer::singleShot(0, [&] {
        struct sigaction during {};
        sigaction(GetParam(), nullptr, &during);
        EXPECT_NE(during.sa_handler, before.sa_handler);
        app.MainWindow()->EndDialog(IDOK);
    });
    app.InitInstance();
    struct sigaction after {};
    sigaction(GetParam(), nullptr, &after);
    EXPECT_EQ(after.sa_handler, before.sa_handler);
}

INSTANTIATE_TEST_SUITE_P(Signals, SessionEnd, ::testing::Values(SIGTERM, SIGHUP));

}  // namespace
