// The program on a Wayland desktop: the main window on Qt's native Wayland plugin, as a
// client of a headless weston (tests/wayland/run-under-weston), with the real FFmpeg capture
// window on the test pattern. Clicks go in through Qt's window-system interface, as the
// plugin delivers the compositor's input; what the compositor shows is read back from its
// screenshots, which are kept in BRISOLT_SCREENSHOT_DIR for a person to look at.
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QWindow>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>

#include "app/CaptureDlg.h"
#include "common/CaptureSettings.h"
#include "fakes/FakePowerServices.h"
#include "platform/capwin/DriverDialogs.h"
#include "platform/capwin/FfmpegDriverRegistry.h"
#include "support/EventLoop.h"
#include "support/Probe.h"

namespace {

// What the compositor shows now, as weston's screenshooter saves it; kept under name.
QImage Screenshot(const QString& name) {
    QTemporaryDir shots;
    QProcess shooter;
    shooter.setWorkingDirectory(shots.path());
    shooter.start("weston-screenshooter", {});
    if (!shooter.waitForFinished(10000) || shooter.exitCode() != 0)
        return {};
    const QStringList files = QDir(shots.path()).entryList({"*.png"}, QDir::Files);
    if (files.size() != 1)
        return {};
    const QString file = shots.path() + "/" + files.first();
    const QString keep = qEnvironmentVariable("BRISOLT_SCREENSHOT_DIR");
    if (!keep.isEmpty()) {
        QDir().mkpath(keep);
        QFile::remove(keep + "/" + name + ".png");
        QFile::copy(file, keep + "/" + name + ".png");
    }
    return QImage(file).convertToFormat(QImage::Format_RGB32);
}

// Where part appears pixel for pixel in screen (its top-left), if it does.
std::optional<QPoint> FindOnScreen(const QImage& screen, const QImage& part) {
    const QImage p = part.convertToFormat(QImage::Format_RGB32);
    if (p.isNull() || screen.isNull())
        return std::nullopt;
    const auto rowBytes = static_cast<size_t>(p.width()) * 4;
    for (int y = 0; y + p.height() <= screen.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(screen.constScanLine(y));
        for (int x = 0; x + p.width() <= screen.width(); ++x) {
            if (line[x] != reinterpret_cast<const QRgb*>(p.constScanLine(0))[0] ||
                std::memcmp(line + x, p.constScanLine(0), rowBytes) != 0)
                continue;
            bool all = true;
            for (int r = 1; r < p.height() && all; ++r)
                all = std::memcmp(reinterpret_cast<const QRgb*>(screen.constScanLine(y + r)) + x,
                                  p.constScanLine(r), rowBytes) == 0;
            if (all)
                return QPoint(x, y);
        }
    }
    return std::nullopt;
}

// Where a shown window is on the screen, found by the whole of its contents. A window
// just shown reaches the screen a few frames later, so this looks for up to three seconds;
// the last screenshot is kept under name.
std::optional<QRect> WindowOnScreen(QWidget* window, const QString& name) {
    for (int attempt = 0; attempt < 10; ++attempt) {
        WaitFor([] { return false; }, 300);
        const QImage screen = Screenshot(name);
        EXPECT_FALSE(screen.isNull()) << "no screenshot " << name.toStdString();
        const QImage own = window->grab().toImage();
        if (const auto at = FindOnScreen(screen, own))
            return QRect(*at, own.size());
    }
    return std::nullopt;
}

// Notes the parent a window has when it is first exposed.
class ExposeWatch : public QObject {
public:
    ExposeWatch(QWidget* widget, QWindow** parent) : widget_(widget), parent_(parent) {
        widget->winId();
        widget->windowHandle()->installEventFilter(this);
    }
    bool eventFilter(QObject* watched, QEvent* event) override {
        auto* window = static_cast<QWindow*>(watched);
        if (event->type() == QEvent::Expose && window->isExposed()) {
            *parent_ = window->transientParent();
            window->removeEventFilter(this);
        }
        return false;
    }

private:
    QWidget* widget_;
    QWindow** parent_;
};

class WaylandSession : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(QGuiApplication::platformName(), QStringLiteral("wayland"))
            << "run under tests/wayland/run-under-weston";
        ASSERT_TRUE(dir.isValid());
        previousDir = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(dir.path()));
        registry = std::make_unique<FfmpegDriverRegistry>(FfmpegDriverRegistry::Devices::None);
        dlg = std::make_unique<CCaptureDlg>(Platform{registry.get(), &power});
        dlg->Create();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg.get()));
    }
    void TearDown() override {
        dlg.reset();
        registry.reset();
        QDir::setCurrent(previousDir);
    }
    void Click(int id) {
        auto* button = qobject_cast<QPushButton*>(dlg->GetDlgItem(id)->Widget());
        ASSERT_NE(button, nullptr);
        ASSERT_TRUE(button->isEnabled()) << id;
        QTest::mouseClick(button, Qt::LeftButton);
    }
    static QMenu* OpenMenu() {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* menu = qobject_cast<QMenu*>(w); menu && menu->isVisible())
                return menu;
        return nullptr;
    }

    QTemporaryDir dir;
    QString previousDir;
    FakePowerServices power;
    std::unique_ptr<FfmpegDriverRegistry> registry;
    std::unique_ptr<CCaptureDlg> dlg;
};

TEST_F(WaylandSession, ARightClickReachesTheSetupPanelWhichOpensOnScreenByTheMainWindow) {
    const auto main = WindowOnScreen(dlg.get(), "main-window");
    ASSERT_TRUE(main) << "the main window is not on the screen as it draws itself";

    // As a mouse does it: onto the preview, then the click.
    QTest::mouseMove(dlg->windowHandle(), QPoint(100, 100));
    QTest::mouseMove(dlg->windowHandle(), QPoint(160, 120));
    QTest::mouseClick(dlg->windowHandle(), Qt::RightButton, {}, QPoint(160, 120));
    ASSERT_TRUE(WaitFor([] { return OpenMenu() != nullptr; }, 3000)) << "no window menu";
    QMenu* menu = OpenMenu();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(menu));
    QAction* setup = nullptr;
    for (QAction* a : menu->actions())
        if (a->data().toUInt() == IDM_SETUP)
            setup = a;
    ASSERT_NE(setup, nullptr);
    ASSERT_TRUE(WindowOnScreen(menu, "window-menu")) << "the window menu is not on the screen";
    // The compositor places the panel. The program names the main window as its parent
    // while it does, which desktops use to open it over or beside the main window (weston
    // places it anywhere), and drops the parent once the panel is shown.
    QWindow* parentWhenExposed = nullptr;
    ExposeWatch watch(&dlg->setupPanel, &parentWhenExposed);
    QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(setup).center());
    ASSERT_TRUE(WaitFor([&] { return dlg->setupPanel.isVisible(); }, 3000));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg->setupPanel));
    EXPECT_EQ(parentWhenExposed, dlg->windowHandle());
    EXPECT_TRUE(WaitFor([&] { return dlg->setupPanel.windowHandle()->transientParent() == nullptr; },
                        2000));
    const auto panel = WindowOnScreen(&dlg->setupPanel, "setup-panel");
    ASSERT_TRUE(panel) << "the setup panel is not wholly on the screen";
    std::printf("main window at %d,%d %dx%d; setup panel at %d,%d %dx%d\n", main->x(), main->y(),
                main->width(), main->height(), panel->x(), panel->y(), panel->width(),
                panel->height());

    dlg->setupPanel.close();
    EXPECT_TRUE(WaitFor([&] { return !dlg->setupPanel.isVisible(); }, 2000));
}

TEST_F(WaylandSession, TheTestPatternConnectsRecordsThreeFramesAndShowsTheFourDriverDialogs) {
    dlg->driverList->SetCurSel(registry->testPatternIndex());
    Click(IDC_CONNECT);
    ASSERT_EQ(dlg->captureState, Connected);
    WaitFor([] { return false; }, 1500);  // a preview frame or two
    Screenshot("connected");

    // cfg runs the source, display, format and compression dialogs in turn.
    const char* names[] = {capwin::kVideoSourceDialog, capwin::kVideoDisplayDialog,
                           capwin::kVideoFormatDialog, capwin::kVideoCompressionDialog};
    std::vector<std::string> seen;
    std::function<void(int)> answer = [&](int index) {
        OnNextModalDialog([&, index](QDialog* dialog) {
            seen.push_back(dialog->objectName().toStdString());
            if (QTest::qWaitForWindowExposed(dialog)) {
                const auto on = WindowOnScreen(dialog, QString("dialog-%1").arg(index));
                EXPECT_TRUE(on) << dialog->objectName().toStdString() << " is not on the screen";
            } else {
                ADD_FAILURE() << dialog->objectName().toStdString() << " was never shown";
            }
            if (index + 1 < 4)
                answer(index + 1);
            dialog->reject();
        });
    };
    answer(0);
    Click(IDC_CFG);
    ASSERT_EQ(seen.size(), 4u);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(seen[i], names[i]);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);

    dlg->SetDlgItemText(IDC_INTERVAL, "1");
    dlg->SetDlgItemText(IDC_SPAN, "60");
    Click(IDC_START);
    ASSERT_EQ(dlg->captureState, Capturing);
    ASSERT_TRUE(WaitFor([&] { return dlg->frameCount >= 3; }, 8000));
    Screenshot("recording");
    Click(IDC_STOP);
    ASSERT_EQ(dlg->captureState, Connected);
    EXPECT_EQ(dlg->frameCount, 3);
    EXPECT_EQ(DecodedFrames(dir.path() + "/brslt000.avi"), 3);
    Click(IDC_DISCONNECT);
    EXPECT_EQ(dlg->captureState, Disconnected);
}

}  // namespace
