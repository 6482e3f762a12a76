// The program on a Wayland desktop: the main window on Qt's native Wayland plugin, as a
// client of weston (tests/wayland/run-under-weston), with the real FFmpeg capture window on
// the test pattern. The user's clicks and keys are real input: the X pointer and keyboard of
// the Xvfb that weston runs in, which weston hands to the program as a desktop's compositor
// does. Where the windows are is read back from weston's screenshots, which are kept in
// BRISOLT_SCREENSHOT_DIR for a person to look at.
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

// Real input: xdotool on the X display weston runs in, whose pointer and keyboard are the
// compositor's. Screen positions are weston's, which fills that display from its corner.
bool Xdotool(const QStringList& args) {
    QProcess xdotool;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", qEnvironmentVariable("BRISOLT_POINTER_DISPLAY"));
    xdotool.setProcessEnvironment(env);
    xdotool.start("xdotool", args);
    return xdotool.waitForFinished(10000) && xdotool.exitCode() == 0;
}

// Moves the pointer onto a screen position (from beside it, so the compositor sees it
// arrive) and clicks there with button 1 (left) or 3 (right).
bool ClickAt(QPoint screen, int button) {
    return Xdotool({"mousemove", QString::number(screen.x() + 3), QString::number(screen.y() + 3)}) &&
           Xdotool({"mousemove", QString::number(screen.x()), QString::number(screen.y())}) &&
           Xdotool({"click", QString::number(button)});
}

// Where part appears pixel for pixel in screen (its top-left), if it does.
std::optional<QPoint> FindOnScreen(const QImage& screen, const QImage& part) {
    const QImage p = part.convertToFormat(QImage::Format_RGB32);
    if (p.isNull() || screen.isNull())
        return std::nullopt;
    const auto rowBytes = static_cast<size_t>(p.width()) * 4;
    const auto* firstRow = reinterpret_cast<const QRgb*>(p.constScanLine(0));
    for (int y = 0; y + p.height() <= screen.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(screen.constScanLine(y));
        for (int x = 0; x + p.width() <= screen.width(); ++x) {
            if (line[x] != firstRow[0] || std::memcmp(line + x, firstRow, rowBytes) != 0)
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
    // The pointer is parked in the screen's last pixel, where its picture falls outside.
    EXPECT_TRUE(Xdotool({"mousemove", "1023", "767"}));
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
    ExposeWatch(QWidget* widget, QWindow** parent) : parent_(parent) {
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
    QWindow** parent_;
};

class WaylandSession : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(QGuiApplication::platformName(), QStringLiteral("wayland"))
            << "run under tests/wayland/run-under-weston";
        ASSERT_FALSE(qEnvironmentVariable("BRISOLT_POINTER_DISPLAY").isEmpty());
        ASSERT_TRUE(dir.isValid());
        previousDir = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(dir.path()));
        registry = std::make_unique<FfmpegDriverRegistry>(FfmpegDriverRegistry::Devices::None);
        dlg = std::make_unique<CCaptureDlg>(Platform{registry.get(), &power});
        dlg->Create();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg.get()));
        const auto found = WindowOnScreen(dlg.get(), "main-window");
        ASSERT_TRUE(found) << "the main window is not on the screen as it draws itself";
        main = *found;
    }
    void TearDown() override {
        dlg.reset();
        registry.reset();
        QDir::setCurrent(previousDir);
    }
    // Where a point of one of the main window's controls is on the screen.
    QPoint OnScreen(QWidget* control, QPoint at) const {
        return main.topLeft() + control->mapTo(dlg.get(), at);
    }
    QWidget* Control(int id) const { return dlg->GetDlgItem(id)->Widget(); }
    // A left click in the middle of a button, as the user makes it.
    void Press(int id) {
        QWidget* button = Control(id);
        ASSERT_TRUE(button->isEnabled()) << id;
        ASSERT_TRUE(ClickAt(OnScreen(button, button->rect().center()), 1));
    }
    // Types a value into an edit field over what it holds.
    void Type(int id, const QString& text) {
        QWidget* field = Control(id);
        ASSERT_TRUE(ClickAt(OnScreen(field, field->rect().center()), 1));
        ASSERT_TRUE(WaitFor([&] { return field->hasFocus(); }, 2000)) << "no keyboard focus";
        ASSERT_TRUE(Xdotool({"key", "ctrl+a"}));
        ASSERT_TRUE(Xdotool({"type", text}));
        ASSERT_TRUE(WaitFor([&] { return dlg->GetDlgItemText(id) == text; }, 2000))
            << dlg->GetDlgItemText(id).toStdString();
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
    QRect main;  // the main window's contents on the screen
};

TEST_F(WaylandSession, ARightClickReachesTheSetupPanelWhichOpensOnScreen) {
    ASSERT_TRUE(ClickAt(main.topLeft() + QPoint(160, 120), 3));
    ASSERT_TRUE(WaitFor([] { return OpenMenu() != nullptr; }, 3000)) << "no window menu";
    QMenu* menu = OpenMenu();
    QAction* setup = nullptr;
    for (QAction* a : menu->actions())
        if (a->data().toUInt() == IDM_SETUP)
            setup = a;
    ASSERT_NE(setup, nullptr);
    const auto menuOnScreen = WindowOnScreen(menu, "window-menu");
    ASSERT_TRUE(menuOnScreen) << "the window menu is not on the screen";

    // The compositor places the panel. The program names the main window as its parent
    // while it does, which desktops use to open it over or beside the main window (weston
    // places it anywhere), and drops the parent once the panel is shown.
    QWindow* parentWhenExposed = nullptr;
    ExposeWatch watch(&dlg->setupPanel, &parentWhenExposed);
    ASSERT_TRUE(ClickAt(menuOnScreen->topLeft() + menu->actionGeometry(setup).center(), 1));
    ASSERT_TRUE(WaitFor([&] { return dlg->setupPanel.isVisible(); }, 3000));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg->setupPanel));
    EXPECT_EQ(parentWhenExposed, dlg->windowHandle());
    EXPECT_TRUE(WaitFor(
        [&] { return dlg->setupPanel.windowHandle()->transientParent() == nullptr; }, 2000));
    const auto panel = WindowOnScreen(&dlg->setupPanel, "setup-panel");
    ASSERT_TRUE(panel) << "the setup panel is not wholly on the screen";
    std::printf("main window at %d,%d %dx%d; setup panel at %d,%d %dx%d\n", main.x(), main.y(),
                main.width(), main.height(), panel->x(), panel->y(), panel->width(),
                panel->height());

    dlg->setupPanel.close();
    EXPECT_TRUE(WaitFor([&] { return !dlg->setupPanel.isVisible(); }, 2000));
}

TEST_F(WaylandSession, TheTestPatternConnectsRecordsThreeFramesAndShowsTheFourDriverDialogs) {
    dlg->driverList->SetCurSel(registry->testPatternIndex());
    Press(IDC_CONNECT);
    ASSERT_TRUE(WaitFor([&] { return dlg->captureState == Connected; }, 5000));
    WaitFor([] { return false; }, 1000);  // a preview frame or two
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
    Press(IDC_CFG);
    ASSERT_TRUE(WaitFor([&] { return seen.size() == 4 && !QApplication::activeModalWidget(); },
                        30000));
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(seen[i], names[i]);

    Type(IDC_INTERVAL, "1");
    Type(IDC_SPAN, "60");
    Press(IDC_START);
    ASSERT_TRUE(WaitFor([&] { return dlg->captureState == Capturing; }, 5000));
    ASSERT_TRUE(WaitFor([&] { return dlg->frameCount >= 3; }, 8000));
    Press(IDC_STOP);
    ASSERT_TRUE(WaitFor([&] { return dlg->captureState == Connected; }, 3000));
    Screenshot("recorded");
    EXPECT_EQ(dlg->frameCount, 3);
    EXPECT_EQ(DecodedFrames(dir.path() + "/brslt000.avi"), 3);
    Press(IDC_DISCONNECT);
    EXPECT_TRUE(WaitFor([&] { return dlg->captureState == Disconnected; }, 3000));
}

}  // namespace
