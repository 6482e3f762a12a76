// The dialog framework: numbers in dialog items, window timers on the boot clock, buttons and
// check boxes, the window menu and Alt+Space, DoModal, and the pixel layout of the program's
// three dialog templates.
#include <QApplication>
#include <QElapsedTimer>
#include <QFontMetrics>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QStyleOptionButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/AboutDlg.h"
#include "app/CaptureDlg.h"
#include "fakes/FakeCaptureWindow.h"
#include "fakes/FakePowerServices.h"
#include "platform/dialog/Controls.h"
#include "setup/SetupDlg.h"

namespace {

constexpr int kEdit = 10, kButton = 11, kBox = 12, kTriState = 13;

const DialogTemplate& ProbeTemplate() {
    using namespace ItemStyle;
    static const DialogTemplate t{900, "probe", DialogStyle::None, 160, 70, "", 9,
                                  {
                                      {kEdit, ItemKind::Edit, "", Border | TabStop, 5, 5, 60, 12},
                                      {kButton, ItemKind::PushButton, "press", TabStop, 80, 5, 50, 14},
                                      {kBox, ItemKind::CheckBox, "box", TabStop, 5, 25, 60, 10},
                                      {kTriState, ItemKind::TriStateButton, "tri", TabStop, 80, 25, 50, 12},
                                  }};
    return t;
}

// A dialog whose message map records what reaches it.
class ProbeDlg : public CDialog {
public:
    ProbeDlg() : CDialog(ProbeTemplate()) { clock.start(); }
    struct Tick {
        UINT id;
        qint64 ns;  // since construction
    };
    std::vector<Tick> ticks;
    std::function<void(UINT)> onTimer;
    std::vector<std::string> events;
    QElapsedTimer clock;

    void OnTimer(UINT id) {
        ticks.push_back({id, clock.nsecsElapsed()});
        if (onTimer)
            onTimer(id);
    }
    void OnPress() { events.push_back("press"); }
    void OnBox() { events.push_back("box " + std::to_string(IsDlgButtonChecked(kBox))); }
    void OnTri() { events.push_back("tri " + std::to_string(IsDlgButtonChecked(kTriState))); }
    void OnSysCommand(UINT id, LPARAM) { events.push_back("syscommand " + std::to_string(id)); }
    std::vector<qint64> TicksOf(UINT id) const {
        std::vector<qint64> out;
        for (const Tick& t : ticks)
            if (t.id == id)
                out.push_back(t.ns);
        return out;
    }

protected:
    const MessageMap& GetMessageMap() const override {
        static const MessageMap map = {
            ON_WM_TIMER(&ProbeDlg::OnTimer),          ON_BN_CLICKED(kButton, &ProbeDlg::OnPress),
            ON_BN_CLICKED(kBox, &ProbeDlg::OnBox),    ON_BN_CLICKED(kTriState, &ProbeDlg::OnTri),
            ON_WM_SYSCOMMAND(&ProbeDlg::OnSysCommand),
        };
        return map;
    }
};

// ---- GetDlgItemInt / SetDlgItemInt --------------------------------------------------------

TEST(DlgItemInt, ReadsTheWayThePlatformDoes) {
    struct Case {
        const char* text;
        BOOL isSigned;
        UINT value;
        BOOL translated;
    } const cases[] = {
        // digits up to the first other character, after leading blanks
        {"7", TRUE, 7, TRUE}, {"12abc", TRUE, 12, TRUE}, {"12abc", FALSE, 12, TRUE},
        {"12 34", FALSE, 12, TRUE}, {"3.9", TRUE, 3, TRUE}, {"   15", FALSE, 15, TRUE},
        {"000000000000000000000042", FALSE, 42, TRUE},
        // the sign: signed reads only, directly before the digits
        {"  -5 ", TRUE, static_cast<UINT>(-5), TRUE}, {"-5", FALSE, 0, FALSE},
        {"-", TRUE, 0, FALSE}, {"- 5", TRUE, 0, FALSE}, {"--5", TRUE, 0, FALSE},
        {"-0", TRUE, 0, TRUE},
        // no digits
        {"", TRUE, 0, FALSE}, {"   ", FALSE, 0, FALSE}, {"abc", TRUE, 0, FALSE},
        {"x12", FALSE, 0, FALSE}, {"\xEF\xBC\x91\xEF\xBC\x92", FALSE, 0, FALSE},  // fullwidth 12
        // signed range
        {"2147483647", TRUE, 2147483647u, TRUE}, {"2147483648", TRUE, 0, FALSE},
        {"-2147483648", TRUE, 0x80000000u, TRUE}, {"-2147483649", TRUE, 0, FALSE},
        // unsigned range; out of range reads as 0 whatever follows
        {"2147483648", FALSE, 2147483648u, TRUE}, {"4294967295", FALSE, 4294967295u, TRUE},
        {"4294967296", FALSE, 0, FALSE}, {"99999999999", TRUE, 0, FALSE},
        {"18446744073709551617", FALSE, 0, FALSE},  // wraps a 64-bit accumulator to 1
        {"4294967296abc", FALSE, 0, FALSE},
    };
    ProbeDlg dlg;
    dlg.InitForTest();
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("\"") + c.text + "\" signed " + std::to_string(c.isSigned));
        BOOL translated = 77;
        EXPECT_EQ(ParseDlgItemInt(QString::fromUtf8(c.text), &translated, c.isSigned), c.value);
        EXPECT_EQ(translated, c.translated);
        dlg.SetDlgItemText(kEdit, QString::fromUtf8(c.text));
        EXPECT_EQ(dlg.GetDlgItemInt(kEdit, nullptr, c.isSigned), c.value);
    }
    BOOL translated = TRUE;
    EXPECT_EQ(dlg.GetDlgItemInt(4711, &translated, TRUE), 0u) << "no such item";
    EXPECT_EQ(translated, FALSE);
}

TEST(DlgItemInt, WritesSignedAndUnsignedText) {
    struct Case {
        UINT value;
        BOOL isSigned;
        const char* text;
    } const cases[] = {
        {60, TRUE, "60"}, {static_cast<UINT>(-5), TRUE, "-5"}, {static_cast<UINT>(-5), FALSE, "4294967291"},
        {0xFFFFFFFFu, FALSE, "4294967295"}, {0x80000000u, TRUE, "-2147483648"},
        {0x80000000u, FALSE, "2147483648"},
    };
    ProbeDlg dlg;
    dlg.InitForTest();
    for (const auto& c : cases) {
        dlg.SetDlgItemInt(kEdit, c.value, c.isSigned);
        EXPECT_EQ(dlg.GetDlgItemText(kEdit).toStdString(), c.text);
        EXPECT_EQ(dlg.GetDlgItemInt(kEdit, nullptr, c.isSigned), c.value) << c.text;
    }
}

// ---- window timers ---------------------------------------------------------------------

std::set<int> TimerFds() {
    std::set<int> fds;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (std::filesystem::read_symlink(entry.path(), ec).string() == "anon_inode:[timerfd]")
            fds.insert(std::stoi(entry.path().filename().string()));
    }
    return fds;
}

// "clockid" and "it_interval" of a timerfd, as "7 (1, 500000000)".
std::string TimerFdInfo(int fd) {
    std::ifstream in("/proc/self/fdinfo/" + std::to_string(fd));
    std::string line, clock, interval;
    while (std::getline(in, line)) {
        if (line.rfind("clockid:", 0) == 0)
            clock = line.substr(line.find_first_not_of(" \t", 8));
        else if (line.rfind("it_interval:", 0) == 0)
            interval = line.substr(line.find('('));
    }
    return clock + " " + interval;
}

constexpr qint64 kMs = 1000000;

TEST(WindowTimers, DeliverEachIdToOnTimerNoSoonerThanItsPeriod) {
    ProbeDlg dlg;
    const qint64 start = dlg.clock.nsecsElapsed();
    ASSERT_EQ(dlg.SetTimer(5, 20), 5u);
    ASSERT_EQ(dlg.SetTimer(6, 55), 6u);
    QTest::qWait(300);
    const qint64 end = dlg.clock.nsecsElapsed();
    for (const auto& t : dlg.ticks)
        EXPECT_TRUE(t.id == 5 || t.id == 6) << "unknown id " << t.id;
    for (auto [id, period] : {std::pair<UINT, qint64>{5, 20}, {6, 55}}) {
        SCOPED_TRACE("timer " + std::to_string(id));
        const std::vector<qint64> ticks = dlg.TicksOf(id);
        // Each message stands for at least one expiry: the n-th cannot come before n periods.
        for (size_t n = 0; n < ticks.size(); ++n)
            EXPECT_GE(ticks[n] - start, static_cast<qint64>(n + 1) * period * kMs) << "tick " << n;
        EXPECT_LE(static_cast<qint64>(ticks.size()), (end - start) / (period * kMs));
        EXPECT_GE(ticks.size(), 2u);
    }
    EXPECT_GT(dlg.TicksOf(5).size(), dlg.TicksOf(6).size());
}

TEST(WindowTimers, KillTimerStopsOnlyItsIdAlsoFromItsOwnHandler) {
    ProbeDlg dlg;
    dlg.onTimer = [&dlg](UINT id) {
        if (id == 3) {  // kills itself and sets another
            dlg.KillTimer(3);
            dlg.SetTimer(4, 10);
        }
    };
    ASSERT_EQ(dlg.SetTimer(3, 5), 3u);
    ASSERT_EQ(dlg.SetTimer(9, 10), 9u);
    ASSERT_TRUE(QTest::qWaitFor([&] { return dlg.TicksOf(4).size() >= 2; }, 2000));
    EXPECT_EQ(dlg.KillTimer(4), TRUE);
    EXPECT_FALSE(dlg.HasTimer(4));
    EXPECT_EQ(dlg.TimerPeriodMs(4), 0u);
    const size_t fours = dlg.TicksOf(4).size(), nines = dlg.TicksOf(9).size();
    QTest::qWait(80);
    EXPECT_EQ(dlg.TicksOf(3).size(), 1u);
    EXPECT_EQ(dlg.TicksOf(4).size(), fours) << "a killed timer fired";
    EXPECT_GT(dlg.TicksOf(9).size(), nines) << "killing one timer stopped another";
    EXPECT_EQ(dlg.KillTimer(4), FALSE);
    EXPECT_EQ(dlg.KillTimer(4711), FALSE);
}

TEST(WindowTimers, SettingARunningIdRestartsItWithTheNewPeriod) {
    ProbeDlg dlg;
    ASSERT_EQ(dlg.SetTimer(7, 10000), 7u);
    const std::set<int> fds = TimerFds();
    QTest::qWait(20);
    const qint64 restarted = dlg.clock.nsecsElapsed();
    ASSERT_EQ(dlg.SetTimer(7, 30), 7u);
    EXPECT_EQ(TimerFds(), fds) << "the id keeps its one timer";
    EXPECT_EQ(dlg.TimerPeriodMs(7), 30u);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dlg.TicksOf(7).empty(); }, 2000));
    EXPECT_GE(dlg.TicksOf(7).front() - restarted, 30 * kMs);
    // Short to long: nothing more within the old period.
    ASSERT_EQ(dlg.SetTimer(7, 10000), 7u);
    const size_t sevens = dlg.TicksOf(7).size();
    QTest::qWait(70);
    EXPECT_EQ(dlg.TicksOf(7).size(), sevens);
}

TEST(WindowTimers, SayWhenTheyAreDueNext) {
    ProbeDlg dlg;
    EXPECT_EQ(dlg.TimerDueMs(8), -1) << "no such timer";
    ASSERT_EQ(dlg.SetTimer(8, 60000), 8u);
    EXPECT_GT(dlg.TimerDueMs(8), 59900);
    EXPECT_LE(dlg.TimerDueMs(8), 60000);
    QTest::qWait(300);
    EXPECT_LE(dlg.TimerDueMs(8), 59700) << "the countdown runs";
    ASSERT_EQ(dlg.SetTimer(8, 100), 8u);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dlg.TicksOf(8).empty(); }, 2000));
    EXPECT_LE(dlg.TimerDueMs(8), 100) << "after a tick, the next one is a period away";
    dlg.KillTimer(8);
    EXPECT_EQ(dlg.TimerDueMs(8), -1);
}

TEST(WindowTimers, RunOnTheBootClockWithThePeriodClampedToItsRange) {
    struct Case {
        UINT requested;
        const char* info;  // clock id 7 is CLOCK_BOOTTIME; the interval as (s, ns)
    } const cases[] = {
        {0, "7 (0, 1000000)"},           {1, "7 (0, 1000000)"},
        {1500, "7 (1, 500000000)"},      {2147482000u, "7 (2147482, 0)"},
        {2147482001u, "7 (2147482, 0)"}, {0xFFFFFFFFu, "7 (2147482, 0)"},
    };
    static_assert(CLOCK_BOOTTIME == 7);
    const std::set<int> baseline = TimerFds();
    {
        ProbeDlg dlg;
        UINT id = 40;
        for (const auto& c : cases) {
            SCOPED_TRACE("requested " + std::to_string(c.requested));
            const std::set<int> before = TimerFds();
            ASSERT_EQ(dlg.SetTimer(++id, c.requested), id);
            std::vector<int> added;
            for (int fd : TimerFds())
                if (!before.count(fd))
                    added.push_back(fd);
            ASSERT_EQ(added.size(), 1u);
            EXPECT_EQ(TimerFdInfo(added[0]), c.info);
            EXPECT_EQ(dlg.TimerPeriodMs(id), std::min(std::max(c.requested, 1u), 2147482000u));
        }
        dlg.KillTimer(id);
        EXPECT_EQ(TimerFds().size(), baseline.size() + std::size(cases) - 1);
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(TimerFds(), baseline) << "the window took its timers along";
}

// ---- buttons, check boxes, the window menu -----------------------------------------------

TEST(DialogItems, ClicksReachTheMessageMapWithTheStateAfterTheClick) {
    ProbeDlg dlg;
    dlg.InitForTest();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    QWidget* box = dlg.GetDlgItem(kBox)->Widget();
    QWidget* tri = dlg.GetDlgItem(kTriState)->Widget();
    QTest::mouseClick(dlg.GetDlgItem(kButton)->Widget(), Qt::LeftButton);
    QTest::mouseClick(box, Qt::LeftButton);  // anywhere in the box's rectangle
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(box->width() - 2, box->height() / 2));
    for (int i = 0; i < 4; ++i)
        QTest::mouseClick(tri, Qt::LeftButton);
    EXPECT_EQ(dlg.events, (std::vector<std::string>{"press", "box 1", "box 0", "tri 1", "tri 2",
                                                    "tri 0", "tri 1"}));
    // Set by the program: no notification; indeterminate looks pressed.
    dlg.events.clear();
    dlg.CheckDlgButton(kTriState, BST_INDETERMINATE);
    EXPECT_EQ(dlg.GetDlgItem(kTriState)->SendMessage(BM_GETCHECK), LRESULT{BST_INDETERMINATE});
    EXPECT_TRUE(static_cast<QPushButton*>(tri)->isChecked());
    EXPECT_TRUE(dlg.events.empty());
    QTest::mouseClick(tri, Qt::LeftButton);
    EXPECT_EQ(dlg.events, std::vector<std::string>{"tri 0"});
}

QMenu* OpenPopup() { return qobject_cast<QMenu*>(QApplication::activePopupWidget()); }
void ClosePopups() {
    while (QWidget* popup = QApplication::activePopupWidget())
        popup->close();
}

TEST(WindowMenu, ItemsSendTheirIdAsSystemCommand) {
    ProbeDlg dlg;
    CMenu* menu = dlg.GetSystemMenu(FALSE);
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(dlg.GetSystemMenu(FALSE), menu) << "one menu per window";
    const size_t standard = menu->Items().size();
    menu->AppendMenu(MF_SEPARATOR);
    menu->AppendMenu(MF_STRING, 0x40, QStringLiteral("forty"));
    const auto items = menu->Items();
    ASSERT_EQ(items.size(), standard + 2);
    EXPECT_EQ(items[standard], (std::pair<UINT, QString>{0, ""}));
    EXPECT_EQ(items[standard + 1], (std::pair<UINT, QString>{0x40, "forty"}));
    for (QAction* action : menu->Menu()->actions())
        if (action->data().toUInt() == 0x40)
            action->trigger();
    EXPECT_EQ(dlg.events, std::vector<std::string>{"syscommand 64"});
}

// Alt+Space opens the window menu whichever control has the focus, also when the window
// manager has not made the window active (a desktop without one, a key sent by a tool): the
// focused push button must never take it as its own Space. Also after the menu was reverted.
TEST(WindowMenu, AltSpaceOpensItEvenWhenAButtonHasTheFocusAndTheWindowIsNotActive) {
    for (bool active : {true, false}) {
        SCOPED_TRACE(active ? "active window" : "inactive window");
        ProbeDlg dlg;
        dlg.GetSystemMenu(FALSE);
        EXPECT_EQ(dlg.GetSystemMenu(TRUE), nullptr);
        QMenu* menu = dlg.GetSystemMenu(FALSE)->Menu();
        dlg.InitForTest();
        QWidget other;
        QWidget* activeWindow = active ? static_cast<QWidget*>(&dlg) : &other;
        activeWindow->show();
        activeWindow->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(activeWindow));
        QWidget* button = dlg.GetDlgItem(kButton)->Widget();
        button->setFocus();
        QTest::keyClick(button, Qt::Key_Space, Qt::AltModifier);
        EXPECT_EQ(OpenPopup(), menu);
        ClosePopups();
        EXPECT_TRUE(dlg.events.empty()) << "the focused button took Alt+Space";
        QTest::keyClick(dlg.GetDlgItem(kEdit)->Widget(), Qt::Key_Space, Qt::AltModifier);
        EXPECT_EQ(OpenPopup(), menu);
        ClosePopups();
        EXPECT_EQ(dlg.GetDlgItemText(kEdit), QString()) << "the edit field took Alt+Space";
        QTest::keyClick(button, Qt::Key_Space);
        EXPECT_EQ(dlg.events, std::vector<std::string>{"press"}) << "plain Space still clicks";
        EXPECT_EQ(OpenPopup(), nullptr);
    }
}

TEST(Modal, DoModalReturnsTheCodeOfEndDialog) {
    ProbeDlg dlg;
    bool wasVisible = false;
    QTimer::singleShot(0, &dlg, [&] {
        wasVisible = dlg.isVisible() && dlg.IsModal();
        dlg.EndDialog(42);
    });
    EXPECT_EQ(dlg.DoModal(), 42);
    EXPECT_TRUE(wasVisible);
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_FALSE(dlg.IsModal());
}

// ---- the layout of the program's templates -----------------------------------------------

struct ProgramDialogs {
    FakeDriverRegistry registry;
    FakePowerServices power;
    CAboutDlg about;
    CCaptureDlg main{Platform{&registry, &power}};
    CSetupDlg* setup = &main.setupPanel;
    ProgramDialogs() {
        about.InitForTest();
        main.InitForTest();
    }
    std::vector<CWnd*> All() { return {&about, &main, setup}; }
};

int IdOf(const QWidget* w) {
    return w && w->objectName().startsWith("item") ? w->objectName().mid(4).toInt() : -1;
}
std::vector<QWidget*> Controls(CWnd* wnd) {
    std::vector<QWidget*> out;
    for (QWidget* w : wnd->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
        if (!w->isWindow())
            out.push_back(w);
    return out;
}

// The room a control's style gives its label.
QSize LabelRoom(QWidget* w) {
    QStyleOptionButton option;
    option.initFrom(w);
    if (auto* button = qobject_cast<QPushButton*>(w)) {
        if (button->autoDefault())
            option.features |= QStyleOptionButton::AutoDefaultButton;
        return w->style()->subElementRect(QStyle::SE_PushButtonContents, &option, w).size();
    }
    if (qobject_cast<QCheckBox*>(w))
        return w->style()->subElementRect(QStyle::SE_CheckBoxContents, &option, w).size();
    if (auto* label = qobject_cast<QLabel*>(w))
        return label->contentsRect().size();
    return {};
}

TEST(Layout, NoControlCoversThePreviewAreaAndEveryVisibleLabelFits) {
    ProgramDialogs d;
    const QRect preview(0, 0, 320, 240);
    EXPECT_EQ(d.main.ReservedArea(), preview);
    for (QWidget* w : Controls(&d.main))
        EXPECT_FALSE(w->geometry().intersects(preview)) << w->objectName().toStdString();
    // Texts the program writes into labels later, at their widest.
    const std::map<std::pair<int, int>, QStringList> later = {
        {{IDD_SETUP, IDC_PLACEMENT}, {"text up", "text off"}},
        {{IDD_SETUP, IDC_PREVIEW_RATE_TEXT}, {FormatPreviewRate(3000)}},
        {{IDD_CAPTURE_DIALOG, IDC_FRAMES}, {"frm:00000000", "frm:99999999"}},
    };
    int checked = 0;
    for (CWnd* wnd : d.All()) {
        for (QWidget* w : Controls(wnd)) {
            SCOPED_TRACE(std::to_string(wnd->Template().id) + " " + w->objectName().toStdString());
            EXPECT_TRUE(wnd->rect().contains(w->geometry())) << "outside the window";
            const QSize room = LabelRoom(w);
            if (w->isHidden() || !room.isValid())
                continue;
            QStringList texts = later.count({wnd->Template().id, IdOf(w)})
                                    ? later.at({wnd->Template().id, IdOf(w)})
                                    : QStringList();
            if (auto* label = qobject_cast<QLabel*>(w))
                texts << label->text();
            else if (auto* button = qobject_cast<QAbstractButton*>(w))
                texts << button->text();
            const QFontMetrics fm(w->font());
            for (const QString& text : texts) {
                EXPECT_LE(fm.horizontalAdvance(QString(text).remove('&')), room.width())
                    << "\"" << text.toStdString() << "\" is cut";
                EXPECT_LE(fm.height(), room.height() + 1) << "\"" << text.toStdString() << "\"";
                ++checked;
            }
        }
    }
    EXPECT_GE(checked, 25);
}

TEST(Layout, ControlsByIdHaveTheirTemplatesKindTextAndStateAtOpening) {
    ProgramDialogs d;
    struct Expect {
        CWnd* wnd;
        int id;
        const char* kind;
        const char* text;  // nullptr: no label
        bool visible, enabled;
    } const expected[] = {
        {&d.about, IDOK, "QPushButton", "OK", true, true},
        {&d.about, IDR_MAINFRAME, "QLabel", nullptr, true, true},
        {&d.main, IDC_CONNECT, "QPushButton", "connect", true, true},
        {&d.main, IDC_DISCONNECT, "QPushButton", "discn", true, false},
        {&d.main, IDC_BMP, "QPushButton", "bmp", true, false},
        {&d.main, IDC_START, "QPushButton", "Brisolt", true, false},
        {&d.main, IDC_STOP, "QPushButton", "stop", true, false},
        {&d.main, IDC_FRAMES, "QLabel", "frm:", true, true},
        {&d.main, IDC_INTERVAL, "QLineEdit", nullptr, true, true},
        {&d.main, IDC_SPAN, "QLineEdit", nullptr, true, true},
        {&d.main, IDC_CFG, "QPushButton", "cfg", true, false},
        {&d.main, IDC_USE_SLEEP, "CheckBox", "use sleep", true, true},
        {&d.main, IDC_SUSPEND_END, "CheckBox", "suspend end", true, true},
        {&d.main, IDC_TST, "QPushButton", "tst", false, true},
        {&d.main, IDOK, "QPushButton", "OK", false, false},
        {&d.main, IDCANCEL, "QPushButton", "cl", false, true},
        {d.setup, IDOK, "QPushButton", "close", false, true},
        {d.setup, IDCANCEL, "QPushButton", "\xEF\xBD\xB7\xEF\xBD\xAC\xEF\xBE\x9D\xEF\xBD\xBE\xEF\xBE\x99", false, false},
        {d.setup, IDC_DRIVER_LIST, "QListWidget", nullptr, true, true},
        {d.setup, IDC_PREVIEW_RATE, "TrackBar", nullptr, true, true},
        {d.setup, IDC_PREVIEW_RATE_TEXT, "QLabel", "ms", true, true},
        {d.setup, IDC_STANDBY, "QLineEdit", nullptr, true, true},
        {d.setup, IDC_STANDBY_UNIT, "QLabel", "s", true, true},
        {d.setup, IDC_FLIP, "CheckBox", "flip text", true, true},
        {d.setup, IDC_PLACEMENT, "TriStatePushButton", "text on", true, true},
        {d.setup, IDC_SIZE_PER_FILE, "QLineEdit", nullptr, true, true},
        {d.setup, IDC_MB_UNIT, "QLabel", "MB", true, true},
    };
    for (const auto& e : expected) {
        SCOPED_TRACE(std::to_string(e.wnd->Template().id) + " id " + std::to_string(e.id));
        CItem* item = e.wnd->GetDlgItem(e.id);
        ASSERT_NE(item, nullptr);
        EXPECT_STREQ(item->Widget()->metaObject()->className(), e.kind);
        EXPECT_EQ(item->GetWindowText(), QString::fromUtf8(e.text ? e.text : ""));
        EXPECT_EQ(item->IsWindowVisible() != FALSE, e.visible);
        EXPECT_EQ(item->IsWindowEnabled() != FALSE, e.enabled);
    }
    auto statics = [](CWnd* wnd) {
        QStringList out;
        for (QWidget* w : Controls(wnd))
            if (auto* l = qobject_cast<QLabel*>(w); l && IdOf(l) < 0)
                out << l->text();
        return out;
    };
    EXPECT_EQ(statics(&d.main), QStringList({"itv s", "spn s"}));
    EXPECT_EQ(statics(d.setup), QStringList({"select driver", "preview rate", "standby time", "size/file"}));
    EXPECT_EQ(d.main.GetWindowText(), QStringLiteral("Brisolt"));
    EXPECT_EQ(d.setup->GetWindowText(), QStringLiteral("Brisolt setup"));
    EXPECT_TRUE(d.setup->windowFlags().testFlag(Qt::Tool)) << "no task-bar entry";
    EXPECT_EQ(d.main.windowFlags() & Qt::WindowType_Mask, Qt::Window) << "on the task bar";
    EXPECT_TRUE(d.main.windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_TRUE(d.main.isVisible());
    EXPECT_FALSE(d.setup->isVisible());
}

std::vector<int> TabChain(CWnd* wnd) {
    std::vector<int> ids;
    QWidget* w = wnd->nextInFocusChain();
    while (w != wnd && IdOf(w) < 0)
        w = w->nextInFocusChain();
    for (QWidget* first = w; w != wnd && ids.size() < 50;) {
        if (w->parentWidget() == wnd && (w->focusPolicy() & Qt::TabFocus))
            ids.push_back(IdOf(w));
        w = w->nextInFocusChain();
        if (w == first)
            break;
    }
    return ids;
}

TEST(Layout, TemplateOrderIsTheTabOrder) {
    ProgramDialogs d;
    EXPECT_EQ(TabChain(&d.main),
              (std::vector<int>{1001, 1006, 1002, 1003, 1004, 1009, 1010, 1007, 1, 2, 1000, 1005, 1013}));
    EXPECT_EQ(TabChain(d.setup), (std::vector<int>{1, 2, 1012, 1015, 1003, 1009, 1010, 1004}));
    EXPECT_EQ(TabChain(&d.about), (std::vector<int>{1}));
    // The Tab key walks the enabled, visible stops of the main window in that order.
    d.main.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&d.main));
    ASSERT_EQ(IdOf(QApplication::focusWidget()), IDC_CONNECT);
    std::vector<int> walked;
    for (int i = 0; i < 5; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        walked.push_back(IdOf(QApplication::focusWidget()));
    }
    EXPECT_EQ(walked, (std::vector<int>{1003, 1004, 1009, 1010, 1001}));
}

}  // namespace
