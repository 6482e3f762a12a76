// A window that belongs to another (the setup panel to the main window) opens beside it and
// wholly on the screen, wherever the owner is.
#include <QApplication>
#include <QScreen>
#include <QTest>

#include <gtest/gtest.h>

#include "app/CaptureDlg.h"
#include "fakes/FakeCaptureWindow.h"
#include "fakes/FakePowerServices.h"
#include "platform/dialog/OwnedWindow.h"

namespace {

TEST(OwnedWindow, OpensBesideItsOwnerAndWhollyOnTheScreen) {
    const QRect screen(0, 0, 1280, 800);
    const QSize panel(300, 160);
    struct Case {
        const char* where;
        QRect owner;
        QPoint expected;
    };
    const Case cases[] = {
        {"room on the right", {100, 100, 450, 260}, {558, 100}},
        {"no room on the right: on the left", {800, 100, 450, 260}, {492, 100}},
        {"room on neither side: over it", {10, 100, 1200, 260}, {26, 100}},
        {"owner low on the screen: raised onto it", {100, 700, 450, 260}, {558, 640}},
        {"owner partly above the screen", {100, -50, 450, 260}, {558, 0}},
        {"owner partly off the left edge", {-200, 100, 450, 260}, {258, 100}},
        {"owner off the right edge", {1100, 100, 450, 260}, {792, 100}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.where);
        const QPoint at = BesideOwner(c.owner, panel, screen);
        EXPECT_EQ(at, c.expected) << at.x() << "," << at.y();
        EXPECT_TRUE(screen.contains(QRect(at, panel))) << "off the screen";
    }
    // A screen that is offset (a second monitor) and smaller than the window.
    const QRect second(1280, 0, 200, 100);
    const QPoint at = BesideOwner({1300, 10, 100, 50}, panel, second);
    EXPECT_EQ(at.x(), 1280) << "the left edge stays on the screen";
    EXPECT_EQ(at.y(), 0) << "the top edge stays on the screen";
}

TEST(OwnedWindow, TheSetupPanelOpensBesideTheMainWindow) {
    FakeDriverRegistry registry;
    FakePowerServices power;
    CCaptureDlg dlg(Platform{&registry, &power});
    dlg.Create();
    dlg.move(40, 60);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    dlg.SendMessage(WM_SYSCOMMAND, IDM_SETUP, 0);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg.setupPanel));
    const QRect main = dlg.frameGeometry();
    const QRect panel = dlg.setupPanel.frameGeometry();
    const QRect available = dlg.screen()->availableGeometry();
    EXPECT_EQ(panel.topLeft(), BesideOwner(main, panel.size(), available));
    EXPECT_TRUE(panel.intersects(main.adjusted(-8, -8, 8, 8))) << "beside or over the main window";
    EXPECT_TRUE(available.contains(panel));
    EXPECT_EQ(dlg.setupPanel.parentWidget(), nullptr) << "no child widget of the main window";

    // Where the user moved it, it opens again.
    dlg.setupPanel.move(500, 300);
    dlg.setupPanel.ShowWindow(SW_HIDE);
    dlg.setupPanel.ShowWindow(SW_SHOW);
    EXPECT_EQ(dlg.setupPanel.pos(), QPoint(500, 300));
}

}  // namespace
