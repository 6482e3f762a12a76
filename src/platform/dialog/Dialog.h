// The dialog framework over Qt Widgets: windows built from dialog templates, message maps,
// dialog items by id, check boxes, list boxes, sliders, window timers and the window menu.
#pragma once

#include <QDialog>
#include <QIcon>
#include <QPointer>
#include <QString>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/dialog/DialogTemplate.h"
#include "platform/dialog/Messages.h"

class QMenu;
class QPainter;
class QSocketNotifier;
class CWnd;

// List-box and slider messages, for items addressed by message.
constexpr UINT LB_ADDSTRING = 0x0180;
constexpr UINT LB_SETCURSEL = 0x0186;
constexpr UINT LB_GETCURSEL = 0x0188;
constexpr UINT LB_GETTEXT = 0x0189;
constexpr UINT LB_GETCOUNT = 0x018B;
constexpr LRESULT LB_ERR = -1;
constexpr UINT TBM_GETPOS = 0x0400;
constexpr UINT TBM_SETTIC = 0x0404;
constexpr UINT TBM_SETPOS = 0x0405;
constexpr UINT TBM_SETRANGEMIN = 0x0407;
constexpr UINT TBM_SETRANGEMAX = 0x0408;
constexpr UINT TBM_SETPAGESIZE = 0x0415;
constexpr UINT TBM_SETLINESIZE = 0x0417;
constexpr UINT BM_GETCHECK = 0x00F0;
constexpr UINT BM_SETCHECK = 0x00F1;

// Reads a number from an edit field's text the way the platform does: leading blanks are
// skipped, an optional '-' is taken when isSigned, then decimal digits up to the first other
// character. No digits, or a number out of the signed (or unsigned) 32-bit range, reads as 0
// with *translated FALSE.
UINT ParseDlgItemInt(const QString& text, BOOL* translated, BOOL isSigned);

// One control of a dialog, addressed by id.
class CItem {
public:
    CItem(CWnd* owner, int id, ItemKind kind, QWidget* widget);
    virtual ~CItem() = default;

    int GetDlgCtrlID() const { return id_; }
    ItemKind Kind() const { return kind_; }
    QWidget* Widget() const { return widget_; }

    // Returns nonzero when the control was disabled before the call.
    BOOL EnableWindow(BOOL enable);
    BOOL IsWindowEnabled() const;
    BOOL IsWindowVisible() const;
    void SetFocus();
    void ShowWindow(int command);
    void SetWindowText(const QString& text);
    QString GetWindowText() const;

    // List-box, slider and button messages.
    virtual LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);

private:
    CWnd* owner_;
    int id_;
    ItemKind kind_;
    QWidget* widget_;
};

class CListBox : public CItem {
public:
    using CItem::CItem;
    int AddString(const QString& text);
    int SetCurSel(int index);
    int GetCurSel() const;
    int GetCount() const;
    QString GetText(int index) const;
    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) override;
};

class CSliderCtrl : public CItem {
public:
    using CItem::CItem;
    void SetRange(int minimum, int maximum, BOOL redraw = FALSE);
    BOOL SetTic(int position);
    int SetPageSize(int size);
    int SetLineSize(int size);
    void SetPos(int position);
    int GetPos() const;
    std::vector<int> GetTics() const;
    int GetPageSize() const;
    int GetLineSize() const;
    int GetRangeMin() const;
    int GetRangeMax() const;
    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) override;
};

// The window menu stand-in: a pop-up menu whose items send WM_SYSCOMMAND with their id.
class CMenu {
public:
    explicit CMenu(CWnd* owner);
    ~CMenu();
    BOOL AppendMenu(UINT flags, UINT id = 0, const QString& text = QString());
    QMenu* Menu() const { return menu_.get(); }
    // The items as (id, text); a separator is (0, "").
    std::vector<std::pair<UINT, QString>> Items() const;

private:
    CWnd* owner_;
    std::unique_ptr<QMenu> menu_;
};

// One entry of a message map: a window message, or a control notification carried by
// WM_COMMAND (code and control id), bound to a handler.
struct MessageMapEntry {
    UINT message;
    UINT code;
    int id;  // control id for WM_COMMAND; -1 matches any
    std::function<LRESULT(CWnd&, WPARAM, LPARAM)> handler;
};
using MessageMap = std::vector<MessageMapEntry>;

template <class D>
MessageMapEntry ON_BN_CLICKED(int id, void (D::*fn)()) {
    return {WM_COMMAND, BN_CLICKED, id, [fn](CWnd& w, WPARAM, LPARAM) {
                (static_cast<D&>(w).*fn)();
                return LRESULT{0};
            }};
}
template <class D>
MessageMapEntry ON_EN_CHANGE(int id, void (D::*fn)()) {
    return {WM_COMMAND, EN_CHANGE, id, [fn](CWnd& w, WPARAM, LPARAM) {
                (static_cast<D&>(w).*fn)();
                return LRESULT{0};
            }};
}
template <class D>
MessageMapEntry ON_WM_TIMER(void (D::*fn)(UINT)) {
    return {WM_TIMER, 0, -1, [fn](CWnd& w, WPARAM wp, LPARAM) {
                (static_cast<D&>(w).*fn)(static_cast<UINT>(wp));
                return LRESULT{0};
            }};
}
template <class D>
MessageMapEntry ON_WM_SYSCOMMAND(void (D::*fn)(UINT, LPARAM)) {
    return {WM_SYSCOMMAND, 0, -1, [fn](CWnd& w, WPARAM wp, LPARAM lp) {
                (static_cast<D&>(w).*fn)(static_cast<UINT>(wp), lp);
                return LRESULT{0};
            }};
}
template <class D>
MessageMapEntry ON_WM_PAINT(void (D::*fn)()) {
    return {WM_PAINT, 0, -1, [fn](CWnd& w, WPARAM, LPARAM) {
                (static_cast<D&>(w).*fn)();
                return LRESULT{0};
            }};
}
template <class D>
MessageMapEntry ON_WM_QUERYDRAGICON(const QIcon* (D::*fn)()) {
    return {WM_QUERYDRAGICON, 0, -1, [fn](CWnd& w, WPARAM, LPARAM) {
                return reinterpret_cast<LRESULT>((static_cast<D&>(w).*fn)());
            }};
}
template <class D>
MessageMapEntry ON_WM_HSCROLL(void (D::*fn)(UINT, UINT, CItem*)) {
    return {WM_HSCROLL, 0, -1, [fn](CWnd& w, WPARAM wp, LPARAM lp) {
                (static_cast<D&>(w).*fn)(LOWORD(wp), HIWORD(wp), reinterpret_cast<CItem*>(lp));
                return LRESULT{0};
            }};
}
template <class D>
MessageMapEntry ON_WM_SHOWWINDOW(void (D::*fn)(BOOL, UINT)) {
    return {WM_SHOWWINDOW, 0, -1, [fn](CWnd& w, WPARAM wp, LPARAM lp) {
                (static_cast<D&>(w).*fn)(static_cast<BOOL>(wp), static_cast<UINT>(lp));
                return LRESULT{0};
            }};
}
template <class D>
MessageMapEntry ON_WM_CLOSE(void (D::*fn)()) {
    return {WM_CLOSE, 0, -1, [fn](CWnd& w, WPARAM, LPARAM) {
                (static_cast<D&>(w).*fn)();
                return LRESULT{0};
            }};
}
// A window message that gets only the framework's default handling.
MessageMapEntry ON_DEFAULT(UINT message);

// A top-level window built from a dialog template. All messages pass WindowProc, which looks
// them up in the class's message map and otherwise gives them to DefWindowProc.
class CWnd : public QDialog {
    Q_OBJECT
public:
    explicit CWnd(const DialogTemplate& tmpl, QWidget* parent = nullptr);
    ~CWnd() override;

    // Synchronous delivery, as SendMessage.
    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);

    CItem* GetDlgItem(int id) const;
    CListBox* GetListBox(int id) const;
    CSliderCtrl* GetSlider(int id) const;
    void SetDlgItemText(int id, const QString& text);
    QString GetDlgItemText(int id) const;
    UINT GetDlgItemInt(int id, BOOL* translated = nullptr, BOOL isSigned = TRUE) const;
    void SetDlgItemInt(int id, UINT value, BOOL isSigned = TRUE);
    void CheckDlgButton(int id, UINT state);
    UINT IsDlgButtonChecked(int id) const;

    void SetWindowText(const QString& title);
    QString GetWindowText() const;
    BOOL ShowWindow(int command);
    BOOL IsIconic() const;
    // The window this top-level window opens beside, without becoming its child widget
    // (see OwnedWindow.cpp).
    void SetOwner(QWidget* owner);

    // Window timers: a periodic WM_TIMER with the id every elapseMs milliseconds (kept in
    // 1 to 2147482000), measured on a clock that goes on counting while the computer is
    // suspended. Setting an id that runs already restarts it with the new period. Returns
    // the id, or 0 on failure.
    UINT SetTimer(UINT id, UINT elapseMs);
    BOOL KillTimer(UINT id);
    bool HasTimer(UINT id) const;
    UINT TimerPeriodMs(UINT id) const;  // 0 when no such timer
    // Milliseconds until the timer's next WM_TIMER, on its own clock; -1 when no such timer.
    std::int64_t TimerDueMs(UINT id) const;

    // The window menu; nullptr when the window has none.
    CMenu* GetSystemMenu(BOOL revert);
    void ShowSystemMenu(const QPoint& globalPos);

    // Loads a string of the string table; empty when there is none.
    static QString LoadString(UINT id);

    // Every EnableWindow and SetFocus made through this window's items, as "1001 off",
    // "1002 on", "focus 1002", in order. For tests of the control sequences.
    std::vector<std::string>& ControlLog() { return controlLog_; }

    // A line shown in the reserved area of the template while nothing covers it.
    void SetReservedAreaHint(const QString& hint);
    QRect ReservedArea() const;

    // Dialog units to pixels for this window's font and template.
    QRect MapDialogRect(int x, int y, int cx, int cy) const;
    int BaseUnitX() const { return baseX_; }
    int BaseUnitY() const { return baseY_; }

    const DialogTemplate& Template() const { return template_; }

    // The default handling of the message being handled now.
    LRESULT Default();

protected:
    virtual const MessageMap& GetMessageMap() const;
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    virtual LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    virtual BOOL OnCommand(WPARAM wParam, LPARAM lParam);

    // Builds the template's controls; done once, before WM_INITDIALOG.
    void CreateControls();
    bool ControlsCreated() const { return controlsCreated_; }
    const std::vector<QWidget*>& TabOrder() const { return tabOrder_; }

    // Qt events turned into messages.
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    // Alt+Space for the window menu, taken before the focused control sees it.
    bool eventFilter(QObject* watched, QEvent* event) override;

    // The painter of the paint in progress, for CPaintDC; nullptr outside WM_PAINT.
    QPainter* CurrentPainter();
    void EndCurrentPaint();
    friend class CPaintDC;
    friend class CItem;

private:
    void ComputeBaseUnits();
    void OnTimerFd(UINT id);
    void PaintDefault();

    DialogTemplate template_;
    int baseX_ = 6;
    int baseY_ = 12;
    bool controlsCreated_ = false;
    std::map<int, std::unique_ptr<CItem>> items_;
    std::vector<QWidget*> tabOrder_;
    struct Timer {
        int fd = -1;
        UINT periodMs = 0;
        std::unique_ptr<QSocketNotifier> notifier;
    };
    std::map<UINT, Timer> timers_;
    std::unique_ptr<CMenu> systemMenu_;
    bool watchingMenuKey_ = false;
    void PlaceBesideOwner();
    void ReleaseOwnerOnceShown();
    QPointer<QWidget> owner_;
    bool placedBesideOwner_ = false;
    std::vector<std::string> controlLog_;
    QString reservedHint_;
    struct CurrentMessage {
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
    };
    std::vector<CurrentMessage> messageStack_;
    QPaintEvent* paintEvent_ = nullptr;
    std::unique_ptr<QPainter> painter_;
};

// A dialog: modal through DoModal, modeless through Create.
class CDialog : public CWnd {
    Q_OBJECT
public:
    explicit CDialog(const DialogTemplate& tmpl, QWidget* parent = nullptr);

    // Runs the dialog modally and returns the code passed to EndDialog.
    int DoModal();
    // What DoModal does before it enters its loop: builds the controls, runs WM_INITDIALOG and
    // shows the window as modal. EndDialog then ends it with its code (result()) without a
    // loop to leave, so tests drive a modal dialog from their own event loop.
    void InitForTest();
    // Creates the dialog modeless; it is shown only when its template says visible.
    BOOL Create();
    void EndDialog(int result);
    bool IsModal() const { return modal_; }

    virtual BOOL OnInitDialog();
    virtual void OnOK();
    virtual void OnCancel();

protected:
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
    BOOL OnCommand(WPARAM wParam, LPARAM lParam) override;
    void reject() override;
    void accept() override;

private:
    void InitDialog();
    void BeginModal();
    bool modal_ = false;
};

// The application's main window: the owner of every modal dialog that has no parent of its
// own, so that such a dialog (the about box) blocks the main window while it runs. nullptr
// while there is none.
void AfxSetMainWnd(CWnd* window);
CWnd* AfxGetMainWnd();

// Begins a paint of the window on construction and ends it on destruction.
class CPaintDC {
public:
    explicit CPaintDC(CWnd* window);
    ~CPaintDC();
    QPainter* Painter() const { return painter_; }
    void DrawIcon(int x, int y, const QIcon& icon, int size);

private:
    CWnd* window_;
    QPainter* painter_;
};

// System metrics used by the painting code.
constexpr int SM_CXICON = 11;
constexpr int SM_CYICON = 12;
int GetSystemMetrics(int index);

// Destroys a window (a widget) at once; the QPointer holders see null afterwards.
BOOL DestroyWindow(QWidget* window);
