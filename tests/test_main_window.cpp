// The main window on the recording fakes: its start-up steps and defaults, the window menu
// and its system commands, the about box, painting, the interval and span fields, and what
// closing and the end of the session send to the capture window.
#include <QApplication>
#include <QContextMenuEvent>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/AboutDlg.h"
#include "app/CaptureApp.h"
#include "app/CaptureDlg.h"
#include "common/CaptureSettings.h"
#include "fakes/FakeCaptureWindow.h"
#include "fakes/FakePowerServices.h"
#include "res/Resources.h"

namespace {

// The main window with every message that reaches its default handling recorded.
class RecordingDlg : public CCaptureDlg {
public:
    using CCaptureDlg::CCaptureDlg;
    struct Message {
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
    };
    std::vector<Message> defaults;
    std::function<void(const Message&)> onDefault;

    LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
        defaults.push_back({message, wParam, lParam});
        if (onDefault)
            onDefault(defaults.back());
        return CCaptureDlg::DefWindowProc(message, wParam, lParam);
    }
    std::vector<Message> DefaultsOf(UINT message) const {
        std::vector<Message> out;
        for (const Message& m : defaults)
            if (m.message == message)
                out.push_back(m);
        return out;
    }
};

using MenuItems = std::vector<std::pair<UINT, QString>>;

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        previousDir = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(dir.path()));
    }
    void TearDown() override {
        ClosePopups();
        dlg.reset();
        QDir::setCurrent(previousDir);
    }
    // Builds the main window and runs its start-up as DoModal does, without the loop.
    void Open() {
        dlg = std::make_unique<RecordingDlg>(Platform{&registry, &power});
        dlg->InitForTest();
    }
    void OpenActive() {
        Open();
        dlg->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(dlg.get()));
    }
    static void ClosePopups() {
        while (QWidget* popup = QApplication::activePopupWidget())
            popup->close();
    }
    static QMenu* OpenPopup() { return qobject_cast<QMenu*>(QApplication::activePopupWidget()); }
    QWidget* Widget(int id) const { return dlg->GetDlgItem(id)->Widget(); }
    QLineEdit* Edit(int id) const { return static_cast<QLineEdit*>(Widget(id)); }
    QMenu* Menu() const { return dlg->GetSystemMenu(FALSE)->Menu(); }
    // A right-click as a mouse makes it: the pointer moves onto the point first. Qt 6.11
    // sends the context-menu event of a click to the widget the pointer last moved over,
    // which without the move would still be the window menu of an earlier click.
    void RightClickThroughTheWindowSystem(QPoint at) {
        QTest::mouseMove(dlg->windowHandle(), QPoint(at.x() + 1, at.y() + 1));
        QTest::mouseMove(dlg->windowHandle(), at);
        QTest::mouseClick(dlg->windowHandle(), Qt::RightButton, {}, at);
    }
    void Connect() {
        QTest::mouseClick(Widget(IDC_CONNECT), Qt::LeftButton);
        ASSERT_EQ(dlg->captureState, Connected);
    }
    void StartRun() {
        Connect();
        dlg->CheckDlgButton(IDC_USE_SLEEP, BST_UNCHECKED);
        QTest::mouseClick(Widget(IDC_START), Qt::LeftButton);
        ASSERT_EQ(dlg->captureState, Capturing);
    }

    QTemporaryDir dir;
    QString previousDir;
    FakeDriverRegistry registry;
    FakePowerServices power;
    std::unique_ptr<RecordingDlg> dlg;
};

// ---- start-up ------------------------------------------------------------------------------

TEST_F(MainWindowTest, StartUpRunsItsStepsInOrder) {
    // What is done already when the icon is set (step 3) and the privilege enabled (step 5).
    struct Seen {
        bool reached = false;
        size_t menuItems = 0, icons = 0;
        int previewRateMs = 0, descriptions = -1;
        bool panelCreated = false;
        UINT useSleep = 99;
    } atIcon, atPrivilege;
    captureSettings.previewRateMs = 7;
    dlg = std::make_unique<RecordingDlg>(Platform{&registry, &power});
    auto snapshot = [this](Seen& seen) {
        seen = {true, dlg->GetSystemMenu(FALSE)->Items().size(), dlg->DefaultsOf(WM_SETICON).size(),
                captureSettings.previewRateMs, registry.descriptionCalls,
                dlg->setupPanel.GetDlgItem(IDC_DRIVER_LIST) != nullptr,
                dlg->IsDlgButtonChecked(IDC_USE_SLEEP)};
    };
    dlg->onDefault = [&](const RecordingDlg::Message& m) {
        if (m.message == WM_SETICON && !atIcon.reached)
            snapshot(atIcon);
    };
    power.onCall = [&](const std::string& call) {
        if (call == "EnableWakePrivilege")
            snapshot(atPrivilege);
    };
    dlg->InitForTest();

    ASSERT_TRUE(atIcon.reached);
    EXPECT_EQ(atIcon.menuItems, 2u + 3u) << "menu (2) before icon (3)";
    EXPECT_EQ(atIcon.previewRateMs, 7) << "icon (3) before defaults (4)";
    ASSERT_TRUE(atPrivilege.reached) << "the privilege step did not reach the power services";
    EXPECT_EQ(power.calls, std::vector<std::string>{"EnableWakePrivilege"});
    EXPECT_EQ(atPrivilege.icons, 2u);
    EXPECT_EQ(atPrivilege.previewRateMs, 1000) << "defaults (4) before privilege (5)";
    EXPECT_EQ(atPrivilege.useSleep, BST_UNCHECKED) << "boxes (6) after privilege (5)";
    EXPECT_FALSE(atPrivilege.panelCreated) << "panel (7) after privilege (5)";
    EXPECT_EQ(atPrivilege.descriptions, 0);

    const auto icons = dlg->DefaultsOf(WM_SETICON);
    ASSERT_EQ(icons.size(), 2u);
    EXPECT_EQ(icons[0].wParam, ICON_BIG);
    EXPECT_EQ(icons[1].wParam, ICON_SMALL);
    EXPECT_EQ(icons[1].lParam, reinterpret_cast<LPARAM>(&dlg->icon));
    const QList<QSize> sizes = dlg->windowIcon().availableSizes();
    EXPECT_TRUE(sizes.contains(QSize(32, 32)) && sizes.contains(QSize(16, 16)));
    EXPECT_EQ(reinterpret_cast<const QIcon*>(dlg->SendMessage(WM_QUERYDRAGICON)), &dlg->icon);

    EXPECT_EQ(dlg->IsDlgButtonChecked(IDC_USE_SLEEP), BST_CHECKED);
    EXPECT_EQ(dlg->IsDlgButtonChecked(IDC_SUSPEND_END), BST_CHECKED);
    EXPECT_NE(dlg->setupPanel.GetDlgItem(IDC_DRIVER_LIST), nullptr);
    EXPECT_FALSE(dlg->setupPanel.isVisible());
    EXPECT_EQ(dlg->setupPanel.parentWidget(), nullptr);
    EXPECT_EQ(dlg->driverList, dlg->setupPanel.GetListBox(IDC_DRIVER_LIST));
    // Returning TRUE gives the focus to the first enabled tab stop.
    EXPECT_EQ(dlg->focusWidget(), Widget(IDC_CONNECT));
}

TEST_F(MainWindowTest, WindowMenuGetsTheAboutItemOnlyWithItsString) {
    const MenuItems standard = {{SC_MINIMIZE, "Minimize"}, {SC_CLOSE, "Close"}};
    Open();
    MenuItems expected = standard;
    expected.insert(expected.end(), {{0, ""}, {16, "Brisolt version info(&A)..."}, {32, "etc setup(&e)"}});
    EXPECT_EQ(dlg->GetSystemMenu(FALSE)->Items(), expected);

    OverrideString(IDS_ABOUTBOX, QString());
    OverrideString(IDS_SETUP, QStringLiteral("other setup"));
    Open();
    OverrideString(IDS_ABOUTBOX, std::nullopt);
    OverrideString(IDS_SETUP, std::nullopt);
    expected = standard;
    expected.push_back({32, "other setup"});
    EXPECT_EQ(dlg->GetSystemMenu(FALSE)->Items(), expected) << "no separator, no about item";
}

TEST_F(MainWindowTest, StartUpGivesEverySettingAndMemberItsDefault) {
    captureSettings = CaptureSettings{33, 600, 5000000, 4711, {}, 0, 1, nullptr};
    std::memset(&captureSettings.capStatus, 0xAB, sizeof captureSettings.capStatus);
    dlg = std::make_unique<RecordingDlg>(Platform{&registry, &power});
    EXPECT_TRUE(dlg->captureFileName.empty());
    EXPECT_FALSE(dlg->icon.isNull()) << "loaded by the constructor";
    dlg->intervalSeconds = 5;
    dlg->spanSeconds = 6;
    dlg->captureState = Capturing;
    dlg->frameCount = 8;
    dlg->captureFileName = "left over";
    dlg->InitForTest();

    const CaptureSettings& s = captureSettings;
    EXPECT_EQ(s.previewRateMs, 1000);
    EXPECT_EQ(s.standbySeconds, 15);
    EXPECT_EQ(s.maxFileBytes, 2000000000u);
    EXPECT_EQ(s.lastFrameBytes, 0u);
    const CAPSTATUS zero{};
    EXPECT_EQ(std::memcmp(&s.capStatus, &zero, sizeof zero), 0);
    EXPECT_EQ(s.flipText, 1);
    EXPECT_EQ(s.textPlacement, 2);
    EXPECT_EQ(s.mainWindow.data(), dlg.get());
    EXPECT_EQ(dlg->intervalSeconds, 60);
    EXPECT_EQ(dlg->spanSeconds, 3400);
    EXPECT_EQ(dlg->captureState, Disconnected);
    EXPECT_EQ(dlg->frameCount, 0);
    EXPECT_TRUE(dlg->captureFileName.empty());
    EXPECT_TRUE(dlg->captureWindow.isNull());
    // The panel is set up from the defaults.
    EXPECT_EQ(dlg->setupPanel.IsDlgButtonChecked(IDC_FLIP), BST_CHECKED);
    EXPECT_EQ(dlg->setupPanel.IsDlgButtonChecked(IDC_PLACEMENT), BST_INDETERMINATE);
    CSliderCtrl* slider = dlg->setupPanel.GetSlider(IDC_PREVIEW_RATE);
    EXPECT_EQ(slider->GetRangeMin(), 33);
    EXPECT_EQ(slider->GetRangeMax(), 3000);
    EXPECT_EQ(slider->GetTics(), (std::vector<int>{500, 1000, 1500, 2000, 2500}));
    EXPECT_EQ(slider->GetPageSize(), 500);
    EXPECT_EQ(slider->GetLineSize(), 20);
    EXPECT_EQ(slider->SendMessage(TBM_GETPOS), 1000);
}

TEST_F(MainWindowTest, DriverListHoldsAtMostTenDriversInIndexOrder) {
    struct Case {
        int drivers, listed, enumerated, selected;
    } const cases[] = {{0, 0, 1, -1}, {1, 1, 2, 0}, {9, 9, 10, 0}, {10, 10, 10, 0}, {12, 10, 10, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.drivers) + " drivers");
        registry.driverNames.clear();
        registry.descriptionCalls = 0;
        for (int i = 0; i < c.drivers; ++i)
            registry.driverNames.push_back("camera " + std::to_string(i));
        Open();
        CListBox* list = dlg->driverList;
        EXPECT_EQ(list->GetCount(), c.listed);
        EXPECT_EQ(registry.descriptionCalls, c.enumerated);
        EXPECT_EQ(list->SendMessage(LB_GETCURSEL), LRESULT{c.selected});
        for (int i = 0; i < c.listed; ++i)
            EXPECT_EQ(list->GetText(i).toStdString(), "camera " + std::to_string(i));
    }
    registry.driverNames = {std::string(300, 'n'), "second"};
    Open();
    EXPECT_EQ(dlg->driverList->GetText(0), QString(127, 'n')) << "cut to the 128-byte buffer";
    EXPECT_EQ(dlg->driverList->GetText(1), QStringLiteral("second"));
}

// The application object runs the main window modally as its main window; the about box
// blocks it but not the setup panel, and InitInstance returns FALSE when the window ends.
TEST_F(MainWindowTest, InitInstanceRunsTheMainWindowWhichTheAboutBoxBlocks) {
    CCaptureApp app(Platform{&registry, &power});
    bool modalMain = false, ownedByMain = false, clickBlocked = false, panelUsable = false;
    QTimer::singleShot(0, [&] {
        CCaptureDlg* main = app.MainWindow();
        ASSERT_NE(main, nullptr);
        modalMain = main->isVisible() && main->IsModal() && AfxGetMainWnd() == main;
        main->SendMessage(WM_SYSCOMMAND, IDM_SETUP, 0);
        QTimer::singleShot(0, [&, main] {
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* about = qobject_cast<CAboutDlg*>(w); about && about->isVisible()) {
                    ownedByMain = about->parentWidget() == main &&
                                  about->windowModality() == Qt::WindowModal;
                    // Clicks that come through the window system.
                    QWidget* connect = main->GetDlgItem(IDC_CONNECT)->Widget();
                    QTest::mouseClick(main->windowHandle(), Qt::LeftButton, {},
                                      connect->mapTo(main, connect->rect().center()));
                    clickBlocked = main->captureState == Disconnected && registry.log.calls.empty();
                    QWidget* flip = main->setupPanel.GetDlgItem(IDC_FLIP)->Widget();
                    QTest::mouseClick(main->setupPanel.windowHandle(), Qt::LeftButton, {},
                                      flip->mapTo(&main->setupPanel, flip->rect().center()));
                    panelUsable = captureSettings.flipText == 0;
                    about->EndDialog(IDOK);
                }
            QTest::keyClick(main->GetDlgItem(IDC_CONNECT)->Widget(), Qt::Key_Escape);
        });
        main->SendMessage(WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
    });
    EXPECT_EQ(app.InitInstance(), FALSE);
    EXPECT_TRUE(modalMain);
    EXPECT_TRUE(ownedByMain);
    EXPECT_TRUE(clickBlocked);
    EXPECT_TRUE(panelUsable);
    EXPECT_EQ(app.MainWindow(), nullptr);
    EXPECT_EQ(AfxGetMainWnd(), nullptr);
    EXPECT_EQ(captureSettings.mainWindow.data(), nullptr) << "no window left to send to";
}

// ---- system commands and the about box -----------------------------------------------------

struct AboutSeen {
    bool shown = false, modal = false;
    QString title;
    QStringList lines;
};

// Runs f, which may run the about box; the box is looked at and closed with its OK button.
AboutSeen RunAboutBox(const std::function<void()>& f) {
    AboutSeen seen;
    auto findAbout = []() -> CAboutDlg* {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* about = qobject_cast<CAboutDlg*>(w); about && about->isVisible())
                return about;
        return nullptr;
    };
    QTimer::singleShot(0, [&] {
        if (CAboutDlg* about = findAbout()) {
            seen = {true, about->IsModal() != FALSE, about->GetWindowText(), {}};
            for (QLabel* l : about->findChildren<QLabel*>())
                if (!l->text().isEmpty())
                    seen.lines << l->text();
            QTest::mouseClick(about->GetDlgItem(IDOK)->Widget(), Qt::LeftButton);
        }
    });
    QTimer::singleShot(3000, [&] {  // should the click not end it, the test must not hang
        if (CAboutDlg* about = findAbout())
            about->EndDialog(IDCANCEL);
    });
    f();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return seen;
}

TEST_F(MainWindowTest, SystemCommandsAreDispatchedOnTheirMaskedId) {
    enum Effect { About, Setup, Default };
    const std::pair<UINT, Effect> cases[] = {
        {0x10, About},    {0x11, About},    {0x1F, About},    {0x20, Setup},  {0x21, Setup},
        {0x2F, Setup},    {0x00, Default},  {0x0F, Default},  {0x30, Default}, {0x3F, Default},
        {0x110, Default}, {0xF100, Default},
    };
    OpenActive();
    for (auto [id, effect] : cases) {
        SCOPED_TRACE("command " + std::to_string(id));
        dlg->setupPanel.ShowWindow(SW_HIDE);
        dlg->defaults.clear();
        const AboutSeen about = RunAboutBox([&] { dlg->SendMessage(WM_SYSCOMMAND, id, 0); });
        EXPECT_EQ(about.shown, effect == About);
        if (about.shown) {
            EXPECT_TRUE(about.modal);
            EXPECT_EQ(about.title, QStringLiteral("Brisolt version info"));
            ASSERT_EQ(about.lines.size(), 2);
            EXPECT_EQ(about.lines[0], QStringLiteral("Brisolt Version 1.2"));
            EXPECT_TRUE(about.lines[1].contains(QStringLiteral("GPL-3.0-or-later")))
                << "the notice line names the licence: " << about.lines[1].toStdString();
        }
        for (QWidget* w : QApplication::topLevelWidgets())
            EXPECT_EQ(qobject_cast<CAboutDlg*>(w), nullptr) << "the about box outlived its command";
        EXPECT_EQ(dlg->setupPanel.isVisible(), effect == Setup);
        const auto defaults = dlg->DefaultsOf(WM_SYSCOMMAND);
        ASSERT_EQ(defaults.size(), effect == Default ? 1u : 0u);
        if (effect == Default) {
            EXPECT_EQ(defaults[0].wParam, WPARAM{id}) << "passed on unmasked";
        }
        EXPECT_TRUE(dlg->isVisible() && !dlg->IsIconic());
    }
    dlg->SendMessage(WM_SYSCOMMAND, SC_MINIMIZE, 0);
    EXPECT_TRUE(dlg->IsIconic());
    dlg->SendMessage(WM_SYSCOMMAND, SC_RESTORE, 0);
    EXPECT_FALSE(dlg->IsIconic());
}

// ---- the window menu: right-click, Alt+Space, choosing an item ------------------------------

TEST_F(MainWindowTest, RightClickOpensTheMenuAndEtcSetupShowsThePanel) {
    OpenActive();
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(160, 120), dlg->mapToGlobal(QPoint(160, 120)));
    QApplication::sendEvent(dlg.get(), &event);
    EXPECT_EQ(OpenPopup(), Menu());
    ClosePopups();
    // A right-click through the window system, also while a capture window covers the area.
    RightClickThroughTheWindowSystem(QPoint(160, 120));
    EXPECT_EQ(OpenPopup(), Menu());
    ClosePopups();
    Connect();
    ASSERT_EQ(dlg->childAt(160, 120), dlg->captureWindow.data());
    RightClickThroughTheWindowSystem(QPoint(160, 120));
    QMenu* menu = OpenPopup();
    ASSERT_EQ(menu, Menu());

    QAction* setup = nullptr;
    for (QAction* a : menu->actions())
        if (a->data().toUInt() == IDM_SETUP)
            setup = a;
    ASSERT_NE(setup, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(menu));
    QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(setup).center());
    EXPECT_TRUE(QTest::qWaitFor([&] { return dlg->setupPanel.isVisible(); }, 2000));
    EXPECT_EQ(OpenPopup(), nullptr);
}

TEST_F(MainWindowTest, AltSpaceOpensTheMenuAndDoesNotPressTheFocusedConnectButton) {
    for (bool active : {true, false}) {
        SCOPED_TRACE(active ? "active" : "not active");
        QWidget other;
        Open();
        QWidget* activeWindow = active ? static_cast<QWidget*>(dlg.get()) : &other;
        activeWindow->show();
        activeWindow->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(activeWindow));
        ASSERT_EQ(dlg->focusWidget(), Widget(IDC_CONNECT));
        QTest::keyClick(Widget(IDC_CONNECT), Qt::Key_Space, Qt::AltModifier);
        EXPECT_EQ(OpenPopup(), Menu());
        ClosePopups();
        EXPECT_EQ(dlg->captureState, Disconnected);
        EXPECT_TRUE(registry.log.calls.empty()) << registry.log.Since(0);
        dlg.reset();
    }
}

TEST_F(MainWindowTest, TheEmptyPreviewAreaTellsHowToOpenTheMenu) {
    const QString hint = NoDriverHint();
    EXPECT_TRUE(hint.contains("Right-click") && hint.contains("Alt+Space") && hint.contains("etc setup"));
    OpenActive();
    const QImage image = dlg->grab(QRect(0, 0, 320, 240)).toImage();
    const QColor background = dlg->palette().color(QPalette::Window);
    int marked = 0, light = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            marked += c != background;
            light += c.lightness() > 150;
        }
    const int pixels = image.width() * image.height();
    EXPECT_GT(marked, pixels * 9 / 10) << "the area is not set off from the window";
    EXPECT_GT(light, 200) << "no text in the area";
    EXPECT_LT(light, pixels / 4);
}

// ---- painting and the interval and span fields ---------------------------------------------

TEST_F(MainWindowTest, RepaintWritesSpanThenIntervalInEffect) {
    OpenActive();
    std::vector<int> written;
    for (int id : {IDC_INTERVAL, IDC_SPAN})
        QObject::connect(Edit(id), &QLineEdit::textChanged, [&written, id] { written.push_back(id); });
    dlg->grab();
    EXPECT_EQ(dlg->GetDlgItemText(IDC_INTERVAL), QStringLiteral("60"));
    EXPECT_EQ(dlg->GetDlgItemText(IDC_SPAN), QStringLiteral("3400"));

    // A refused entry stays until the next repaint puts the value in effect back.
    Edit(IDC_INTERVAL)->clear();
    QTest::keyClicks(Edit(IDC_INTERVAL), "0");
    dlg->SetDlgItemText(IDC_SPAN, QStringLiteral("abc"));
    EXPECT_EQ(dlg->GetDlgItemText(IDC_INTERVAL), QStringLiteral("0"));
    written.clear();
    dlg->grab();
    EXPECT_EQ(written, (std::vector<int>{IDC_SPAN, IDC_INTERVAL}));
    EXPECT_EQ(dlg->GetDlgItemText(IDC_INTERVAL), QStringLiteral("60"));
    EXPECT_EQ(dlg->GetDlgItemText(IDC_SPAN), QStringLiteral("3400"));
    dlg->SetDlgItemText(IDC_INTERVAL, QStringLiteral("  25xyz"));
    dlg->grab();
    EXPECT_EQ(dlg->GetDlgItemText(IDC_INTERVAL), QStringLiteral("25"));
}

TEST_F(MainWindowTest, MinimisedItPaintsTheCentredIconAndLeavesTheFields) {
    OpenActive();
    dlg->SetDlgItemText(IDC_INTERVAL, QStringLiteral("0"));
    dlg->SendMessage(WM_SYSCOMMAND, SC_MINIMIZE, 0);
    ASSERT_TRUE(dlg->IsIconic());
    dlg->defaults.clear();
    const QImage image = dlg->grab().toImage();
    EXPECT_EQ(dlg->GetDlgItemText(IDC_INTERVAL), QStringLiteral("0"));
    EXPECT_EQ(dlg->DefaultsOf(WM_ICONERASEBKGND).size(), 1u);
    EXPECT_EQ(dlg->DefaultsOf(WM_PAINT).size(), 0u);
    const QImage icon = dlg->icon.pixmap(32, 32).toImage();
    const QPoint at((dlg->width() - 32 + 1) / 2, (dlg->height() - 32 + 1) / 2);
    int opaque = 0, matching = 0;
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 32; ++x)
            if (icon.pixelColor(x, y).alpha() == 255) {
                ++opaque;
                matching += image.pixelColor(at + QPoint(x, y)).rgb() == icon.pixelColor(x, y).rgb();
            }
    ASSERT_GT(opaque, 100);
    EXPECT_EQ(matching, opaque);
}

TEST_F(MainWindowTest, IntervalAndSpanTakeOneTo2147482AndRefuseTheRest) {
    const std::pair<const char*, std::int32_t> cases[] = {  // text, value in effect after it
        {"1", 1},           {"12", 12},           {"120", 120},         {"", 120},
        {"abc", 120},       {"0", 120},           {"-5", 120},          {"2147483", 120},
        {"2147482", 2147482}, {"2147483648", 2147482}, {"99999999999", 2147482},
        {"  7", 7},         {"15s", 15},          {"x15", 15},          {"-2147483648", 15},
    };
    Open();
    for (int id : {IDC_INTERVAL, IDC_SPAN}) {
        const std::int32_t& value = id == IDC_INTERVAL ? dlg->intervalSeconds : dlg->spanSeconds;
        for (auto [text, after] : cases) {
            dlg->SetDlgItemText(id, QString::fromUtf8(text));
            EXPECT_EQ(value, after) << "field " << id << " text \"" << text << "\"";
            EXPECT_EQ(dlg->GetDlgItemText(id), QString::fromUtf8(text)) << "the text stays";
        }
    }
}

// Each keystroke is taken as it comes, and typing repaints the field, not the window: else
// the repaint would put the value in effect back after every refused keystroke, and a field
// could not even be emptied to type a new number.
TEST_F(MainWindowTest, TypingTakesEachStepAndDoesNotRepaintTheWindow) {
    OpenActive();
    QTest::qWait(50);
    QLineEdit* interval = Edit(IDC_INTERVAL);
    interval->setFocus();
    interval->selectAll();
    std::vector<std::int32_t> seen;
    QObject::connect(interval, &QLineEdit::textChanged, [&] { seen.push_back(dlg->intervalSeconds); });
    const size_t paints = dlg->DefaultsOf(WM_PAINT).size();
    QTest::keyClick(interval, Qt::Key_Backspace);
    QTest::keyClicks(interval, "120");
    QTest::qWait(100);
    EXPECT_EQ(seen, (std::vector<std::int32_t>{60, 1, 12, 120}));
    for (int i = 0; i < 3; ++i)
        QTest::keyClick(interval, Qt::Key_Backspace);
    QTest::keyClicks(interval, "0");
    QTest::qWait(100);
    EXPECT_EQ(dlg->GetDlgItemText(IDC_INTERVAL), QStringLiteral("0"));
    EXPECT_EQ(dlg->intervalSeconds, 1);
    EXPECT_EQ(dlg->DefaultsOf(WM_PAINT).size(), paints) << "typing repainted the window";
}

// ---- closing and the end of the session ----------------------------------------------------

TEST_F(MainWindowTest, ClosingFinishesTheFileOfARunOnlyAndTheSessionEndFinishesItAlways) {
    enum State { NoWindow, Connected_, Capturing_, Disconnected_ };
    enum Action { Ok, Cancel, CloseBox, Escape, QueryEnd, EndSession };
    struct Case {
        Action action;
        const char* name;
        bool ends;          // ends the dialog
        bool closesIn[4];   // per state: a close is sent to the capture window
    } const cases[] = {
        {Ok, "OK", true, {false, false, true, false}},
        {Cancel, "cancel", true, {false, false, true, false}},
        {CloseBox, "close box", true, {false, false, true, false}},
        {Escape, "escape", true, {false, false, true, false}},
        {QueryEnd, "query end session", false, {false, true, true, false}},
        {EndSession, "end session", false, {false, false, true, false}},
    };
    for (const auto& c : cases)
        for (State state : {NoWindow, Connected_, Capturing_, Disconnected_}) {
            SCOPED_TRACE(std::string(c.name) + " in state " + std::to_string(state));
            OpenActive();
            if (state == Connected_ || state == Disconnected_)
                Connect();
            if (state == Capturing_)
                StartRun();
            if (state == Disconnected_)
                QTest::mouseClick(Widget(IDC_DISCONNECT), Qt::LeftButton);
            const size_t calls = registry.log.calls.size();
            switch (c.action) {
            case Ok: dlg->SendMessage(WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0); break;
            case Cancel: dlg->SendMessage(WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0); break;
            case CloseBox: dlg->close(); break;
            case Escape: QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape); break;
            case QueryEnd: EXPECT_EQ(dlg->SendMessage(WM_QUERYENDSESSION, 0, 0), TRUE); break;
            case EndSession: dlg->SendMessage(WM_ENDSESSION, TRUE, 0); break;
            }
            // Nothing but the close reaches the capture window, and the run's timers stay.
            EXPECT_EQ(registry.log.Since(calls), c.closesIn[state] ? "close" : "");
            if (state == Capturing_) {
                EXPECT_TRUE(dlg->HasTimer(TIMER_FRAME) && dlg->HasTimer(TIMER_SPAN));
                EXPECT_EQ(dlg->captureState, Capturing);
            }
            EXPECT_EQ(dlg->isVisible(), !c.ends);
            if (c.ends) {
                EXPECT_EQ(dlg->result(), c.action == Ok ? IDOK : IDCANCEL);
            }
            dlg.reset();
            registry.log.calls.clear();
        }
}

}  // namespace
