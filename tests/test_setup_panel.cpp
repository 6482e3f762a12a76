// The setup panel on the main window and the recording fakes: the preview-rate slider and
// what it tells the main window, the fields rewritten on show and hide, the standby and
// size-per-file rules, the flip box, the placement button and closing.
#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/CaptureDlg.h"
#include "common/CaptureSettings.h"
#include "fakes/FakeCaptureWindow.h"
#include "fakes/FakePowerServices.h"
#include "platform/dialog/Controls.h"

namespace {

// The main window with what reaches its default handling recorded, and at that moment the
// panel's state.
class RecordingDlg : public CCaptureDlg {
public:
    using CCaptureDlg::CCaptureDlg;
    struct Timer {
        WPARAM id;
        LPARAM lParam;
        int previewRateMs;
        std::string rateText;
    };
    std::vector<Timer> timers;

    LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
        if (message == WM_TIMER)
            timers.push_back({wParam, lParam, captureSettings.previewRateMs,
                              setupPanel.GetDlgItemText(IDC_PREVIEW_RATE_TEXT).toStdString()});
        return CCaptureDlg::DefWindowProc(message, wParam, lParam);
    }
};

class SetupPanelTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        previousDir = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(dir.path()));
        dlg = std::make_unique<RecordingDlg>(Platform{&registry, &power});
        dlg->InitForTest();
        panel = &dlg->setupPanel;
    }
    void TearDown() override {
        dlg.reset();
        QDir::setCurrent(previousDir);
    }

    void Show() { dlg->SendMessage(WM_SYSCOMMAND, IDM_SETUP, 0); }
    std::string Text(int id) const { return panel->GetDlgItemText(id).toStdString(); }
    QWidget* Widget(int id) const { return panel->GetDlgItem(id)->Widget(); }
    CSliderCtrl* Slider() const { return panel->GetSlider(IDC_PREVIEW_RATE); }
    void Connect() {
        dlg->OnConnect();
        ASSERT_EQ(dlg->captureState, Connected);
    }
    int RateCalls() const {
        int n = 0;
        for (const std::string& c : registry.log.calls)
            n += c.rfind("previewrate ", 0) == 0;
        return n;
    }

    QTemporaryDir dir;
    QString previousDir;
    FakeDriverRegistry registry;
    FakePowerServices power;
    std::unique_ptr<RecordingDlg> dlg;
    CSetupDlg* panel = nullptr;
};

// ---- show and hide -------------------------------------------------------------------------

TEST_F(SetupPanelTest, FieldsAreEmptyBeforeTheFirstShowAndFilledByIt) {
    EXPECT_FALSE(panel->isVisible());
    EXPECT_EQ(Text(IDC_STANDBY), "");
    EXPECT_EQ(Text(IDC_SIZE_PER_FILE), "");
    EXPECT_EQ(Text(IDC_PREVIEW_RATE_TEXT), "ms");
    EXPECT_EQ(Text(IDC_PLACEMENT), "text on");

    Show();
    EXPECT_TRUE(panel->isVisible());
    EXPECT_EQ(Text(IDC_PREVIEW_RATE_TEXT), " 1000 ms");
    EXPECT_EQ(Text(IDC_STANDBY), "15");
    EXPECT_EQ(Text(IDC_SIZE_PER_FILE), "2000");
    // Writing the fields stored the same values again.
    EXPECT_EQ(captureSettings.standbySeconds, 15);
    EXPECT_EQ(captureSettings.maxFileBytes, 2000000000u);
    EXPECT_EQ(captureSettings.previewRateMs, 1000);
}

TEST_F(SetupPanelTest, ShowAndHideRewriteTheFieldsFromTheValuesInEffect) {
    Show();
    panel->SetDlgItemText(IDC_STANDBY, QStringLiteral("abc"));
    panel->SetDlgItemText(IDC_SIZE_PER_FILE, QStringLiteral("0"));
    EXPECT_EQ(Text(IDC_STANDBY), "abc") << "a refused entry stays visible";
    panel->ShowWindow(SW_HIDE);
    EXPECT_EQ(Text(IDC_STANDBY), "15");
    EXPECT_EQ(Text(IDC_SIZE_PER_FILE), "2000");

    // Values changed elsewhere show at the next show; whole megabytes only, and the write
    // stores the whole megabytes back.
    captureSettings.previewRateMs = 33;
    captureSettings.standbySeconds = 42;
    captureSettings.maxFileBytes = 1234567890u;
    Show();
    EXPECT_EQ(Text(IDC_PREVIEW_RATE_TEXT), "   33 ms");
    EXPECT_EQ(Text(IDC_STANDBY), "42");
    EXPECT_EQ(Text(IDC_SIZE_PER_FILE), "1234");
    EXPECT_EQ(captureSettings.maxFileBytes, 1234000000u);

    // A value below what the fields accept is shown as it is and stays in effect.
    captureSettings.maxFileBytes = 999999u;
    captureSettings.standbySeconds = 5;
    panel->ShowWindow(SW_HIDE);
    EXPECT_EQ(Text(IDC_SIZE_PER_FILE), "0");
    EXPECT_EQ(Text(IDC_STANDBY), "5");
    EXPECT_EQ(captureSettings.maxFileBytes, 999999u);
    EXPECT_EQ(captureSettings.standbySeconds, 5);
}

TEST_F(SetupPanelTest, CloseBoxAndCloseMessageHideThePanelAndKeepItsValues) {
    Show();
    panel->SetDlgItemText(IDC_STANDBY, QStringLiteral("300"));
    panel->SetDlgItemText(IDC_SIZE_PER_FILE, QStringLiteral("700"));
    QTest::mouseClick(Widget(IDC_FLIP), Qt::LeftButton);
    QPointer<CSetupDlg> alive(panel);

    panel->close();  // the caption's close box
    EXPECT_FALSE(panel->isVisible());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ASSERT_FALSE(alive.isNull());
    EXPECT_NE(panel->GetDlgItem(IDC_DRIVER_LIST), nullptr);

    Show();
    EXPECT_TRUE(panel->isVisible());
    EXPECT_EQ(Text(IDC_STANDBY), "300");
    EXPECT_EQ(Text(IDC_SIZE_PER_FILE), "700");
    EXPECT_EQ(panel->IsDlgButtonChecked(IDC_FLIP), BST_UNCHECKED);
    EXPECT_EQ(captureSettings.flipText, 0);

    panel->SendMessage(WM_CLOSE);
    EXPECT_FALSE(panel->isVisible());
    Show();
    EXPECT_TRUE(panel->isVisible());
    EXPECT_EQ(captureSettings.standbySeconds, 300);
    EXPECT_EQ(captureSettings.maxFileBytes, 700000000u);
    EXPECT_TRUE(dlg->isVisible()) << "closing the panel leaves the main window";
}

// ---- the preview-rate slider ---------------------------------------------------------------

TEST_F(SetupPanelTest, EveryScrollNotificationTakesTheSlidersOwnPosition) {
    const UINT codes[] = {TB_LINEUP,   TB_LINEDOWN, TB_PAGEUP, TB_PAGEDOWN, TB_THUMBPOSITION,
                          TB_THUMBTRACK, TB_TOP,    TB_BOTTOM, TB_ENDTRACK};
    struct Position {
        int pos;
        const char* text;
    } const positions[] = {{33, "   33 ms"}, {500, "  500 ms"}, {1020, " 1020 ms"}, {3000, " 3000 ms"}};
    for (UINT code : codes)
        for (const Position& p : positions) {
            SCOPED_TRACE("code " + std::to_string(code) + " position " + std::to_string(p.pos));
            Slider()->SetPos(p.pos);
            dlg->timers.clear();
            // The message's own position is not the slider's.
            panel->SendMessage(WM_HSCROLL, MAKEWPARAM(code, 2999),
                               reinterpret_cast<LPARAM>(static_cast<CItem*>(Slider())));
            EXPECT_EQ(captureSettings.previewRateMs, p.pos);
            EXPECT_EQ(Text(IDC_PREVIEW_RATE_TEXT), p.text);
            ASSERT_EQ(dlg->timers.size(), 1u);
            EXPECT_EQ(dlg->timers[0].id, WPARAM{TIMER_PREVIEW_RATE});
            EXPECT_EQ(dlg->timers[0].lParam, 0);
            // Sent after the value and its text were set.
            EXPECT_EQ(dlg->timers[0].previewRateMs, p.pos);
            EXPECT_EQ(dlg->timers[0].rateText, p.text);
        }
    // Without a main window the slider still sets the rate.
    captureSettings.mainWindow = nullptr;
    Slider()->SetPos(777);
    dlg->timers.clear();
    panel->SendMessage(WM_HSCROLL, MAKEWPARAM(TB_ENDTRACK, 0),
                       reinterpret_cast<LPARAM>(static_cast<CItem*>(Slider())));
    EXPECT_EQ(captureSettings.previewRateMs, 777);
    EXPECT_EQ(Text(IDC_PREVIEW_RATE_TEXT), "  777 ms");
    EXPECT_TRUE(dlg->timers.empty());
}

TEST_F(SetupPanelTest, SliderKeysMoveTheRateAndAConnectedWindowGetsItAtOnce) {
    Show();
    QWidget* slider = Widget(IDC_PREVIEW_RATE);
    // Not connected: only the value and its text change.
    QTest::keyClick(slider, Qt::Key_Right);
    EXPECT_EQ(captureSettings.previewRateMs, 1020);
    EXPECT_EQ(Text(IDC_PREVIEW_RATE_TEXT), " 1020 ms");
    EXPECT_EQ(RateCalls(), 0);

    Connect();
    ASSERT_EQ(registry.log.CountOf("previewrate 1020"), 1) << "the connect used the new rate";
    struct Key {
        Qt::Key key;
        int rate;
    } const keys[] = {{Qt::Key_Left, 1000}, {Qt::Key_PageUp, 1500}, {Qt::Key_Home, 33},
                      {Qt::Key_Right, 53},  {Qt::Key_End, 3000},    {Qt::Key_PageDown, 2500}};
    for (const Key& k : keys) {
        SCOPED_TRACE("key " + std::to_string(k.key));
        const size_t calls = registry.log.calls.size();
        QTest::keyClick(slider, k.key);
        EXPECT_EQ(captureSettings.previewRateMs, k.rate);
        EXPECT_EQ(Text(IDC_PREVIEW_RATE_TEXT), FormatPreviewRate(k.rate).toStdString());
        EXPECT_EQ(registry.log.Since(calls), "previewrate " + std::to_string(k.rate));
    }
}

TEST_F(SetupPanelTest, DraggingTheHandleEndsWithTheReleasedPosition) {
    Show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(panel));
    Connect();
    auto* slider = static_cast<TrackBar*>(Widget(IDC_PREVIEW_RATE));
    // The handle of position 1000 of 33 to 3000 is about a third of the way along.
    const QPoint from(slider->width() * 967 / 2967, slider->height() / 2);
    const QPoint to = from + QPoint(slider->width() / 4, 0);
    dlg->timers.clear();
    QTest::mousePress(slider, Qt::LeftButton, {}, from);
    QTest::mouseMove(slider, to);
    QTest::mouseRelease(slider, Qt::LeftButton, {}, to);
    const int released = Slider()->GetPos();
    EXPECT_GT(released, 1000);
    EXPECT_EQ(captureSettings.previewRateMs, released);
    EXPECT_EQ(Text(IDC_PREVIEW_RATE_TEXT), FormatPreviewRate(released).toStdString());
    ASSERT_FALSE(dlg->timers.empty());
    EXPECT_EQ(dlg->timers.back().previewRateMs, released);
    EXPECT_EQ(registry.log.calls.back(), "previewrate " + std::to_string(released));
}

// ---- the standby and size-per-file fields --------------------------------------------------

struct FieldCase {
    const char* text;
    long long after;  // the setting after the text was entered
};

TEST_F(SetupPanelTest, StandbyTakes15To600AndKeepsTheTypedText) {
    const FieldCase cases[] = {
        {"15", 15},   {"600", 600},      {"14", 600},         {"601", 600},
        {"abc", 600}, {"", 600},         {"4294967295", 600}, {"4294967296", 600},
        {"-5", 600},  {"0", 600},        {"  20", 20},        {"30s", 30},
        {"2147483663", 30},  // 2^31 + 15: above the range however it is read
        {"599", 599},
    };
    Show();
    for (const FieldCase& c : cases) {
        panel->SetDlgItemText(IDC_STANDBY, QString::fromUtf8(c.text));
        EXPECT_EQ(captureSettings.standbySeconds, c.after) << "\"" << c.text << "\"";
        EXPECT_EQ(Text(IDC_STANDBY), c.text);
    }
}

TEST_F(SetupPanelTest, TypingSixThousandIntoStandbyEndsAt600) {
    Show();
    auto* edit = static_cast<QLineEdit*>(Widget(IDC_STANDBY));
    edit->clear();
    EXPECT_EQ(captureSettings.standbySeconds, 15);
    std::vector<int> seen;
    QObject::connect(edit, &QLineEdit::textChanged,
                     [&] { seen.push_back(captureSettings.standbySeconds); });
    QTest::keyClicks(edit, "6000");
    EXPECT_EQ(seen, (std::vector<int>{15, 60, 600, 600}));
    EXPECT_EQ(Text(IDC_STANDBY), "6000");
}

TEST_F(SetupPanelTest, SizePerFileTakes1To2147MegabytesWithoutWrapAround) {
    const FieldCase cases[] = {
        {"1", 1000000},
        {"2147", 2147000000},
        {"2148", 2147000000},
        {"0", 2147000000},
        {"4295", 2147000000},        // x 1000000 wraps in 32 bits to 32704
        {"4296", 2147000000},        // ... to 1000704
        {"8590", 2147000000},        // ... to 65408
        {"4294967295", 2147000000},
        {"4294967296", 2147000000},
        {"-1", 2147000000},
        {"", 2147000000},
        {"  100", 100000000},
        {"5MB", 5000000},
        {"2000", 2000000000},
    };
    Show();
    for (const FieldCase& c : cases) {
        panel->SetDlgItemText(IDC_SIZE_PER_FILE, QString::fromUtf8(c.text));
        EXPECT_EQ(static_cast<long long>(captureSettings.maxFileBytes), c.after)
            << "\"" << c.text << "\"";
        EXPECT_EQ(Text(IDC_SIZE_PER_FILE), c.text);
    }
}

// ---- the flip box and the placement button -------------------------------------------------

TEST_F(SetupPanelTest, FlipBoxFollowsItsClicks) {
    Show();
    EXPECT_EQ(panel->IsDlgButtonChecked(IDC_FLIP), BST_CHECKED);
    QTest::mouseClick(Widget(IDC_FLIP), Qt::LeftButton);
    EXPECT_EQ(captureSettings.flipText, 0);
    QTest::mouseClick(Widget(IDC_FLIP), Qt::LeftButton);
    EXPECT_EQ(captureSettings.flipText, 1);
    // The space bar on the focused box is a click too.
    Widget(IDC_FLIP)->setFocus();
    QTest::keyClick(Widget(IDC_FLIP), Qt::Key_Space);
    EXPECT_EQ(captureSettings.flipText, 0);
}

TEST_F(SetupPanelTest, PlacementButtonCyclesFromItsStartUpState) {
    Show();
    EXPECT_EQ(panel->IsDlgButtonChecked(IDC_PLACEMENT), BST_INDETERMINATE);
    EXPECT_EQ(Text(IDC_PLACEMENT), "text on") << "the label is not set at start-up";
    struct Step {
        const char* label;
        int placement;
        UINT state;
    } const steps[] = {
        {"text on", 0, BST_UNCHECKED}, {"text up", 1, BST_CHECKED},
        {"text off", 2, BST_INDETERMINATE}, {"text on", 0, BST_UNCHECKED},
        {"text up", 1, BST_CHECKED},
    };
    for (const Step& s : steps) {
        QTest::mouseClick(Widget(IDC_PLACEMENT), Qt::LeftButton);
        EXPECT_EQ(Text(IDC_PLACEMENT), s.label);
        EXPECT_EQ(captureSettings.textPlacement, s.placement);
        EXPECT_EQ(panel->IsDlgButtonChecked(IDC_PLACEMENT), s.state);
    }
}

TEST(SetupPanelAlone, StartsFromTheFlipAndPlacementInEffect) {
    struct Case {
        int flip;
        int placement;
        UINT flipState;
        UINT placementState;
        const char* firstLabel;
        int firstPlacement;
    } const cases[] = {
        {0, 0, BST_UNCHECKED, BST_UNCHECKED, "text up", 1},
        {1, 1, BST_CHECKED, BST_CHECKED, "text off", 2},
        {0, 2, BST_UNCHECKED, BST_INDETERMINATE, "text on", 0},
    };
    const QPointer<CWnd> mainWindow = captureSettings.mainWindow;
    captureSettings.mainWindow = nullptr;
    for (const Case& c : cases) {
        SCOPED_TRACE("placement " + std::to_string(c.placement));
        captureSettings.flipText = c.flip;
        captureSettings.textPlacement = c.placement;
        CSetupDlg panel;
        panel.Create();
        EXPECT_FALSE(panel.isVisible()) << "template 129 is not visible";
        EXPECT_EQ(panel.IsDlgButtonChecked(IDC_FLIP), c.flipState);
        EXPECT_EQ(panel.IsDlgButtonChecked(IDC_PLACEMENT), c.placementState);
        EXPECT_EQ(panel.GetDlgItemText(IDC_PLACEMENT), QStringLiteral("text on"));
        panel.ShowWindow(SW_SHOW);
        QTest::mouseClick(panel.GetDlgItem(IDC_PLACEMENT)->Widget(), Qt::LeftButton);
        EXPECT_EQ(panel.GetDlgItemText(IDC_PLACEMENT).toStdString(), c.firstLabel);
        EXPECT_EQ(captureSettings.textPlacement, c.firstPlacement);
    }
    captureSettings.mainWindow = mainWindow;
}

}  // namespace
