// Windows built from dialog templates over Qt Widgets: layout in dialog units, message
// dispatch, dialog items, timers on the boot clock and the window menu.
#include "platform/dialog/Dialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QEventLoop>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QLoggingCategory>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QSocketNotifier>

#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>

#include "platform/dialog/Controls.h"
#include "res/Resources.h"

Q_LOGGING_CATEGORY(lcDialog, "brisolt.dialog")

UINT ParseDlgItemInt(const QString& text, BOOL* translated, BOOL isSigned) {
    if (translated)
        *translated = FALSE;
    int i = 0;
    const int n = static_cast<int>(text.size());
    while (i < n && (text[i] == QLatin1Char(' ') || text[i] == QLatin1Char('\t')))
        ++i;
    bool negative = false;
    if (isSigned && i < n && text[i] == QLatin1Char('-')) {
        negative = true;
        ++i;
    }
    std::uint64_t value = 0;
    int digits = 0;
    // Only ASCII digits count: other Unicode digits are "other characters".
    while (i < n && text[i] >= QLatin1Char('0') && text[i] <= QLatin1Char('9')) {
        value = value * 10 + static_cast<unsigned>(text[i].unicode() - '0');
        ++digits;
        ++i;
        if (value > 0xFFFFFFFFull)
            return 0;  // out of range whatever follows
    }
    if (digits == 0)
        return 0;
    if (isSigned) {
        if (!negative && value > static_cast<std::uint64_t>(INT_MAX))
            return 0;
        if (negative && value > static_cast<std::uint64_t>(INT_MAX) + 1)
            return 0;
        const std::int64_t signedValue =
            negative ? -static_cast<std::int64_t>(value) : static_cast<std::int64_t>(value);
        if (translated)
            *translated = TRUE;
        return static_cast<UINT>(static_cast<std::int32_t>(signedValue));
    }
    if (translated)
        *translated = TRUE;
    return static_cast<UINT>(value);
}

// ---- items ---------------------------------------------------------------------------

CItem::CItem(CWnd* owner, int id, ItemKind kind, QWidget* widget)
    : owner_(owner), id_(id), kind_(kind), widget_(widget) {}

BOOL CItem::EnableWindow(BOOL enable) {
    const BOOL wasDisabled = widget_->isEnabled() ? FALSE : TRUE;
    widget_->setEnabled(enable != FALSE);
    owner_->controlLog_.push_back(std::to_string(id_) + (enable ? " on" : " off"));
    return wasDisabled;
}

BOOL CItem::IsWindowEnabled() const { return widget_->isEnabled() ? TRUE : FALSE; }

BOOL CItem::IsWindowVisible() const { return widget_->isVisibleTo(owner_) ? TRUE : FALSE; }

void CItem::SetFocus() {
    widget_->setFocus(Qt::OtherFocusReason);
    owner_->controlLog_.push_back("focus " + std::to_string(id_));
}

void CItem::ShowWindow(int command) { widget_->setVisible(command != SW_HIDE); }

void CItem::SetWindowText(const QString& text) {
    if (auto* edit = qobject_cast<QLineEdit*>(widget_))
        edit->setText(text);
    else if (auto* label = qobject_cast<QLabel*>(widget_))
        label->setText(text);
    else if (auto* button = qobject_cast<QAbstractButton*>(widget_))
        button->setText(text);
    else
        widget_->setWindowTitle(text);
}

QString CItem::GetWindowText() const {
    if (auto* edit = qobject_cast<QLineEdit*>(widget_))
        return edit->text();
    if (auto* label = qobject_cast<QLabel*>(widget_))
        return label->text();
    if (auto* button = qobject_cast<QAbstractButton*>(widget_))
        return button->text();
    return widget_->windowTitle();
}

LRESULT CItem::SendMessage(UINT message, WPARAM wParam, LPARAM) {
    if (message == BM_GETCHECK)
        return owner_->IsDlgButtonChecked(id_);
    if (message == BM_SETCHECK) {
        owner_->CheckDlgButton(id_, static_cast<UINT>(wParam));
        return 0;
    }
    return 0;
}

static QListWidget* AsList(QWidget* w) { return static_cast<QListWidget*>(w); }
static TrackBar* AsTrackBar(QWidget* w) { return static_cast<TrackBar*>(w); }

int CListBox::AddString(const QString& text) {
    AsList(Widget())->addItem(text);
    return AsList(Widget())->count() - 1;
}

int CListBox::SetCurSel(int index) {
    QListWidget* list = AsList(Widget());
    if (index < 0 || index >= list->count()) {
        list->setCurrentRow(-1);
        return static_cast<int>(LB_ERR);
    }
    list->setCurrentRow(index);
    return index;
}

int CListBox::GetCurSel() const {
    const int row = AsList(Widget())->currentRow();
    return row < 0 ? static_cast<int>(LB_ERR) : row;
}

int CListBox::GetCount() const { return AsList(Widget())->count(); }

QString CListBox::GetText(int index) const {
    QListWidgetItem* item = AsList(Widget())->item(index);
    return item ? item->text() : QString();
}

LRESULT CListBox::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case LB_GETCURSEL:
        return GetCurSel();
    case LB_SETCURSEL:
        return SetCurSel(static_cast<int>(static_cast<std::intptr_t>(wParam)));
    case LB_GETCOUNT:
        return GetCount();
    case LB_ADDSTRING:
        return AddString(QString::fromLocal8Bit(reinterpret_cast<const char*>(lParam)));
    default:
        return CItem::SendMessage(message, wParam, lParam);
    }
}

void CSliderCtrl::SetRange(int minimum, int maximum, BOOL redraw) {
    AsTrackBar(Widget())->setRange(minimum, maximum);
    if (redraw)
        Widget()->update();
}

BOOL CSliderCtrl::SetTic(int position) {
    TrackBar* bar = AsTrackBar(Widget());
    if (position < bar->minimum() || position > bar->maximum())
        return FALSE;
    bar->AddTic(position);
    return TRUE;
}

int CSliderCtrl::SetPageSize(int size) {
    const int old = AsTrackBar(Widget())->pageStep();
    AsTrackBar(Widget())->setPageStep(size);
    return old;
}

int CSliderCtrl::SetLineSize(int size) {
    const int old = AsTrackBar(Widget())->singleStep();
    AsTrackBar(Widget())->setSingleStep(size);
    return old;
}

void CSliderCtrl::SetPos(int position) {
    // A programmatic move sends no scroll notification.
    QSignalBlocker block(Widget());
    AsTrackBar(Widget())->setValue(position);
    AsTrackBar(Widget())->setSliderPosition(AsTrackBar(Widget())->value());
    Widget()->update();
}

int CSliderCtrl::GetPos() const { return AsTrackBar(Widget())->sliderPosition(); }
std::vector<int> CSliderCtrl::GetTics() const { return AsTrackBar(Widget())->Tics(); }
int CSliderCtrl::GetPageSize() const { return AsTrackBar(Widget())->pageStep(); }
int CSliderCtrl::GetLineSize() const { return AsTrackBar(Widget())->singleStep(); }
int CSliderCtrl::GetRangeMin() const { return AsTrackBar(Widget())->minimum(); }
int CSliderCtrl::GetRangeMax() const { return AsTrackBar(Widget())->maximum(); }

LRESULT CSliderCtrl::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case TBM_GETPOS:
        return GetPos();
    case TBM_SETPOS:
        SetPos(static_cast<int>(lParam));
        return 0;
    case TBM_SETTIC:
        return SetTic(static_cast<int>(lParam));
    case TBM_SETPAGESIZE:
        return SetPageSize(static_cast<int>(lParam));
    case TBM_SETLINESIZE:
        return SetLineSize(static_cast<int>(lParam));
    case TBM_SETRANGEMIN:
        AsTrackBar(Widget())->setMinimum(static_cast<int>(lParam));
        return 0;
    case TBM_SETRANGEMAX:
        AsTrackBar(Widget())->setMaximum(static_cast<int>(lParam));
        return 0;
    default:
        return CItem::SendMessage(message, wParam, lParam);
    }
}

// ---- window menu ---------------------------------------------------------------------

CMenu::CMenu(CWnd* owner) : owner_(owner), menu_(std::make_unique<QMenu>(owner)) {
    menu_->setObjectName("systemMenu");
}

CMenu::~CMenu() = default;

BOOL CMenu::AppendMenu(UINT flags, UINT id, const QString& text) {
    if (flags & MF_SEPARATOR) {
        menu_->addSeparator();
        return TRUE;
    }
    QAction* action = menu_->addAction(text);
    action->setData(id);
    CWnd* owner = owner_;
    QObject::connect(action, &QAction::triggered, owner,
                     [owner, id] { owner->SendMessage(WM_SYSCOMMAND, id, 0); });
    return TRUE;
}

std::vector<std::pair<UINT, QString>> CMenu::Items() const {
    std::vector<std::pair<UINT, QString>> items;
    for (QAction* a : menu_->actions())
        items.emplace_back(a->isSeparator() ? 0u : a->data().toUInt(),
                           a->isSeparator() ? QString() : a->text());
    return items;
}

// ---- windows -------------------------------------------------------------------------

CWnd::CWnd(const DialogTemplate& tmpl, QWidget* parent) : QDialog(parent), template_(tmpl) {
    Qt::WindowFlags flags = Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                            Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint;
    if (template_.style & DialogStyle::MinimizeBox)
        flags |= Qt::WindowMinimizeButtonHint;
    if (template_.style & DialogStyle::ToolWindow)
        flags = (flags & ~Qt::Dialog) | Qt::Tool;
    if (template_.style & DialogStyle::AppWindow)
        flags = (flags & ~Qt::Dialog) | Qt::Window;
    setWindowFlags(flags);
    setWindowTitle(QString::fromStdString(template_.title));
    setSizeGripEnabled(false);

    QFont font;
    const QString face = QString::fromStdString(template_.fontFace);
    if (!face.isEmpty() && QFontDatabase::hasFamily(face)) {
        font = QFont(face);
    } else {
        font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
        font.setStyleHint(QFont::SansSerif);
    }
    font.setPointSize(template_.fontPointSize > 0 ? template_.fontPointSize : 9);
    setFont(font);
    ComputeBaseUnits();
    const QRect size = MapDialogRect(0, 0, template_.cx, template_.cy);
    setFixedSize(size.width(), size.height());
}

CWnd::~CWnd() {
    for (auto& [id, timer] : timers_) {
        timer.notifier.reset();
        if (timer.fd >= 0)
            ::close(timer.fd);
    }
}

// Minimum pixel sizes of a control's label, so that the layout can make room for it.
static QSize LabelNeed(const DialogItem& item, const QFontMetrics& fm) {
    const QString text = QString::fromStdString(item.text).remove(QLatin1Char('&'));
    const int w = fm.horizontalAdvance(text);
    const int h = fm.height();
    switch (item.kind) {
    case ItemKind::PushButton:
    case ItemKind::TriStateButton:
        return {w + 8, h + 4};
    case ItemKind::CheckBox:
        return {w + 22, h};
    case ItemKind::Static:
        return {w + 1, h};
    case ItemKind::Edit:
        return {0, h + 4};
    default:
        return {0, 0};
    }
}

void CWnd::ComputeBaseUnits() {
    const QFontMetrics fm(font());
    const QString alphabet = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    baseX_ = std::max(1, (fm.horizontalAdvance(alphabet) / 26 + 1) / 2);
    baseY_ = std::max(1, fm.height());

    // Dialog units come from the font, but a font narrower or shorter than the template's
    // own would squeeze labels and push the control column into the preview area: raise the
    // base units until every visible label fits and nothing covers the reserved area.
    for (const DialogItem& item : template_.items) {
        if (item.style & ItemStyle::Hidden)
            continue;
        const QSize need = LabelNeed(item, fm);
        if (item.cx > 0 && need.width() > 0)
            baseX_ = std::max(baseX_, (4 * need.width() + item.cx - 1) / item.cx);
        if (item.cy > 0 && need.height() > 0)
            baseY_ = std::max(baseY_, (8 * need.height() + item.cy - 1) / item.cy);
        if (template_.reservedWidthPx > 0 && item.x > 0) {
            const int margin = 6;
            baseX_ = std::max(baseX_,
                              (4 * (template_.reservedWidthPx + margin) + item.x - 1) / item.x);
        }
    }
    if (template_.reservedHeightPx > 0 && template_.cy > 0)
        baseY_ = std::max(baseY_, (8 * (template_.reservedHeightPx + 4) + template_.cy - 1) /
                                      template_.cy);
}

QRect CWnd::MapDialogRect(int x, int y, int cx, int cy) const {
    auto mx = [this](int v) { return (v * baseX_ + 2) / 4; };
    auto my = [this](int v) { return (v * baseY_ + 4) / 8; };
    return QRect(mx(x), my(y), mx(x + cx) - mx(x), my(y + cy) - my(y));
}

void CWnd::CreateControls() {
    if (controlsCreated_)
        return;
    controlsCreated_ = true;
    QWidget* previousTabStop = nullptr;
    int anonymous = -1;
    for (const DialogItem& item : template_.items) {
        QWidget* widget = nullptr;
        const QString text = QString::fromStdString(item.text);
        const int id = item.id;
        bool tabStop = false;
        switch (item.kind) {
        case ItemKind::PushButton: {
            auto* b = new QPushButton(text, this);
            b->setAutoDefault(true);
            if (item.style & ItemStyle::Default)
                b->setDefault(true);
            connect(b, &QPushButton::clicked, this, [this, id] {
                SendMessage(WM_COMMAND, MAKEWPARAM(static_cast<UINT>(id), BN_CLICKED), 0);
            });
            widget = b;
            tabStop = true;
            break;
        }
        case ItemKind::CheckBox: {
            auto* c = new CheckBox(text, this);
            connect(c, &QCheckBox::clicked, this, [this, id] {
                SendMessage(WM_COMMAND, MAKEWPARAM(static_cast<UINT>(id), BN_CLICKED), 0);
            });
            widget = c;
            tabStop = true;
            break;
        }
        case ItemKind::TriStateButton: {
            auto* t = new TriStatePushButton(this);
            t->setText(text);
            connect(t, &QPushButton::clicked, this, [this, id] {
                SendMessage(WM_COMMAND, MAKEWPARAM(static_cast<UINT>(id), BN_CLICKED), 0);
            });
            widget = t;
            tabStop = true;
            break;
        }
        case ItemKind::Edit: {
            auto* e = new QLineEdit(this);
            e->setFrame(item.style & ItemStyle::Border);
            if (item.style & ItemStyle::RightAlign)
                e->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
            connect(e, &QLineEdit::textChanged, this, [this, id] {
                SendMessage(WM_COMMAND, MAKEWPARAM(static_cast<UINT>(id), EN_CHANGE), 0);
            });
            widget = e;
            tabStop = true;
            break;
        }
        case ItemKind::Static: {
            auto* l = new QLabel(text, this);
            l->setTextFormat(Qt::PlainText);
            l->setAlignment(((item.style & ItemStyle::RightAlign) ? Qt::AlignRight : Qt::AlignLeft) |
                            Qt::AlignTop);
            widget = l;
            break;
        }
        case ItemKind::Icon: {
            auto* l = new QLabel(this);
            l->setPixmap(ApplicationIcon().pixmap(32, 32));
            widget = l;
            break;
        }
        case ItemKind::ListBox: {
            auto* list = new QListWidget(this);
            list->setSelectionMode(QAbstractItemView::SingleSelection);
            list->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
            list->setFrameShape((item.style & ItemStyle::Border) ? QFrame::StyledPanel
                                                                 : QFrame::NoFrame);
            widget = list;
            tabStop = true;
            break;
        }
        case ItemKind::TrackBar: {
            auto* bar = new TrackBar(this);
            widget = bar;
            tabStop = true;
            break;
        }
        }
        widget->setGeometry(MapDialogRect(item.x, item.y, item.cx, item.cy));
        // Opaque children: their own repaints must not repaint the dialog beneath them.
        widget->setAutoFillBackground(true);
        widget->setObjectName(id >= 0 ? QStringLiteral("item%1").arg(id)
                                      : QStringLiteral("static%1").arg(-anonymous));
        if (item.style & ItemStyle::Hidden)
            widget->setHidden(true);
        if (item.style & ItemStyle::Disabled)
            widget->setEnabled(false);
        widget->setFocusPolicy(tabStop ? Qt::StrongFocus : Qt::NoFocus);
        if (tabStop) {
            if (previousTabStop)
                QWidget::setTabOrder(previousTabStop, widget);
            previousTabStop = widget;
        }
        tabOrder_.push_back(widget);

        const int key = id >= 0 ? id : anonymous--;
        std::unique_ptr<CItem> entry;
        if (item.kind == ItemKind::ListBox)
            entry = std::make_unique<CListBox>(this, id, item.kind, widget);
        else if (item.kind == ItemKind::TrackBar)
            entry = std::make_unique<CSliderCtrl>(this, id, item.kind, widget);
        else
            entry = std::make_unique<CItem>(this, id, item.kind, widget);
        if (item.kind == ItemKind::TrackBar) {
            auto* bar = static_cast<TrackBar*>(widget);
            CItem* self = entry.get();
            connect(bar, &QSlider::actionTriggered, this, [this, self](int action) {
                UINT code = TB_THUMBTRACK;
                switch (action) {
                case QAbstractSlider::SliderSingleStepAdd: code = TB_LINEDOWN; break;
                case QAbstractSlider::SliderSingleStepSub: code = TB_LINEUP; break;
                case QAbstractSlider::SliderPageStepAdd: code = TB_PAGEDOWN; break;
                case QAbstractSlider::SliderPageStepSub: code = TB_PAGEUP; break;
                case QAbstractSlider::SliderToMinimum: code = TB_TOP; break;
                case QAbstractSlider::SliderToMaximum: code = TB_BOTTOM; break;
                default: code = TB_THUMBTRACK; break;
                }
                auto* s = static_cast<TrackBar*>(self->Widget());
                SendMessage(WM_HSCROLL, MAKEWPARAM(code, static_cast<UINT>(s->sliderPosition())),
                            reinterpret_cast<LPARAM>(self));
            });
            connect(bar, &QSlider::sliderReleased, this, [this, self] {
                SendMessage(WM_HSCROLL, MAKEWPARAM(TB_ENDTRACK, 0), reinterpret_cast<LPARAM>(self));
            });
        }
        items_[key] = std::move(entry);
    }
}

CItem* CWnd::GetDlgItem(int id) const {
    if (id < 0)
        return nullptr;
    auto it = items_.find(id);
    return it == items_.end() ? nullptr : it->second.get();
}

CListBox* CWnd::GetListBox(int id) const { return dynamic_cast<CListBox*>(GetDlgItem(id)); }
CSliderCtrl* CWnd::GetSlider(int id) const { return dynamic_cast<CSliderCtrl*>(GetDlgItem(id)); }

void CWnd::SetDlgItemText(int id, const QString& text) {
    if (CItem* item = GetDlgItem(id))
        item->SetWindowText(text);
}

QString CWnd::GetDlgItemText(int id) const {
    CItem* item = GetDlgItem(id);
    return item ? item->GetWindowText() : QString();
}

UINT CWnd::GetDlgItemInt(int id, BOOL* translated, BOOL isSigned) const {
    CItem* item = GetDlgItem(id);
    if (!item) {
        if (translated)
            *translated = FALSE;
        return 0;
    }
    return ParseDlgItemInt(item->GetWindowText(), translated, isSigned);
}

void CWnd::SetDlgItemInt(int id, UINT value, BOOL isSigned) {
    SetDlgItemText(id, isSigned ? QString::number(static_cast<std::int32_t>(value))
                                : QString::number(value));
}

void CWnd::CheckDlgButton(int id, UINT state) {
    CItem* item = GetDlgItem(id);
    if (!item)
        return;
    if (auto* tri = qobject_cast<TriStatePushButton*>(item->Widget()))
        tri->SetState(static_cast<int>(state));
    else if (auto* box = qobject_cast<QCheckBox*>(item->Widget()))
        box->setChecked(state == BST_CHECKED);
}

UINT CWnd::IsDlgButtonChecked(int id) const {
    CItem* item = GetDlgItem(id);
    if (!item)
        return BST_UNCHECKED;
    if (auto* tri = qobject_cast<TriStatePushButton*>(item->Widget()))
        return static_cast<UINT>(tri->State());
    if (auto* box = qobject_cast<QCheckBox*>(item->Widget()))
        return box->isChecked() ? BST_CHECKED : BST_UNCHECKED;
    return BST_UNCHECKED;
}

void CWnd::SetWindowText(const QString& title) { setWindowTitle(title); }
QString CWnd::GetWindowText() const { return windowTitle(); }

BOOL CWnd::ShowWindow(int command) {
    const BOOL wasVisible = isVisible() ? TRUE : FALSE;
    if (command == SW_HIDE) {
        hide();
    } else {
        show();
        raise();
        activateWindow();
    }
    return wasVisible;
}

BOOL CWnd::IsIconic() const { return isMinimized() ? TRUE : FALSE; }

// ---- timers --------------------------------------------------------------------------

UINT CWnd::SetTimer(UINT id, UINT elapseMs) {
    // The range a window timer's period is kept in.
    constexpr UINT kMinPeriodMs = 1;
    constexpr UINT kMaxPeriodMs = 2147482000u;
    elapseMs = std::clamp(elapseMs, kMinPeriodMs, kMaxPeriodMs);
    auto it = timers_.find(id);
    if (it == timers_.end()) {
        // The boot clock goes on while the computer sleeps, so a run's frames keep their
        // wall-clock pace across a suspend.
        const int fd = ::timerfd_create(CLOCK_BOOTTIME, TFD_NONBLOCK | TFD_CLOEXEC);
        if (fd < 0) {
            qCWarning(lcDialog, "timerfd_create failed: %s", std::strerror(errno));
            return 0;
        }
        Timer timer;
        timer.fd = fd;
        timer.notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        connect(timer.notifier.get(), &QSocketNotifier::activated, this,
                [this, id] { OnTimerFd(id); });
        it = timers_.emplace(id, std::move(timer)).first;
    }
    itimerspec setting{};
    setting.it_interval.tv_sec = elapseMs / 1000;
    setting.it_interval.tv_nsec = static_cast<long>(elapseMs % 1000) * 1000000L;
    setting.it_value = setting.it_interval;
    if (::timerfd_settime(it->second.fd, 0, &setting, nullptr) != 0) {
        qCWarning(lcDialog, "timerfd_settime failed: %s", std::strerror(errno));
        KillTimer(id);
        return 0;
    }
    it->second.periodMs = elapseMs;
    return id;
}

BOOL CWnd::KillTimer(UINT id) {
    auto it = timers_.find(id);
    if (it == timers_.end())
        return FALSE;
    // The notifier may be the one whose signal is running right now: let Qt delete it.
    QSocketNotifier* notifier = it->second.notifier.release();
    notifier->setEnabled(false);
    notifier->deleteLater();
    ::close(it->second.fd);
    timers_.erase(it);
    return TRUE;
}

bool CWnd::HasTimer(UINT id) const { return timers_.count(id) != 0; }

UINT CWnd::TimerPeriodMs(UINT id) const {
    auto it = timers_.find(id);
    return it == timers_.end() ? 0 : it->second.periodMs;
}

void CWnd::OnTimerFd(UINT id) {
    auto it = timers_.find(id);
    if (it == timers_.end())
        return;
    std::uint64_t expirations = 0;
    if (::read(it->second.fd, &expirations, sizeof expirations) != sizeof expirations)
        return;
    // Expirations that piled up while the thread was busy come as one message.
    SendMessage(WM_TIMER, id, 0);
}

// ---- window menu ---------------------------------------------------------------------

CMenu* CWnd::GetSystemMenu(BOOL revert) {
    if (revert) {
        systemMenu_.reset();
        return nullptr;
    }
    if (!systemMenu_) {
        systemMenu_ = std::make_unique<CMenu>(this);
        if (template_.style & DialogStyle::MinimizeBox)
            systemMenu_->AppendMenu(MF_STRING, SC_MINIMIZE, QStringLiteral("Minimize"));
        systemMenu_->AppendMenu(MF_STRING, SC_CLOSE, QStringLiteral("Close"));
        // Alt+Space opens the menu, as on the desktops this window menu comes from. A
        // window shortcut would not do: it fires only while the window manager has made the
        // window active, and otherwise the focused push button takes the Space as a click.
        // So the key is taken from any control of this window before the control sees it.
        if (!watchingMenuKey_) {
            qApp->installEventFilter(this);
            watchingMenuKey_ = true;
        }
    }
    return systemMenu_.get();
}

static bool IsMenuKey(const QKeyEvent* key) {
    return key->key() == Qt::Key_Space &&
           (key->modifiers() & ~Qt::KeypadModifier) == Qt::AltModifier;
}

bool CWnd::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if ((type == QEvent::KeyPress || type == QEvent::ShortcutOverride) && systemMenu_ &&
        watched->isWidgetType() && static_cast<QWidget*>(watched)->window() == this &&
        IsMenuKey(static_cast<QKeyEvent*>(event))) {
        if (type == QEvent::ShortcutOverride) {
            // Claimed as an ordinary key, so that no shortcut takes it; the press follows.
            event->accept();
            return true;
        }
        ShowSystemMenu(mapToGlobal(QPoint(0, 0)));
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

void CWnd::ShowSystemMenu(const QPoint& globalPos) {
    if (systemMenu_)
        systemMenu_->Menu()->popup(globalPos);
}

QString CWnd::LoadString(UINT id) { return LookupString(id); }

void CWnd::SetReservedAreaHint(const QString& hint) {
    reservedHint_ = hint;
    update(ReservedArea());
}

QRect CWnd::ReservedArea() const {
    return QRect(0, 0, template_.reservedWidthPx, template_.reservedHeightPx);
}

MessageMapEntry ON_DEFAULT(UINT message) {
    return {message, 0, -1, [](CWnd& w, WPARAM, LPARAM) { return w.Default(); }};
}

// ---- dispatch ------------------------------------------------------------------------

const MessageMap& CWnd::GetMessageMap() const {
    static const MessageMap empty;
    return empty;
}

LRESULT CWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    messageStack_.push_back({message, wParam, lParam});
    const LRESULT result = WindowProc(message, wParam, lParam);
    messageStack_.pop_back();
    return result;
}

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    for (const MessageMapEntry& entry : GetMessageMap()) {
        if (entry.message != message)
            continue;
        if (message == WM_COMMAND &&
            (entry.code != HIWORD(wParam) ||
             (entry.id >= 0 && static_cast<UINT>(entry.id) != LOWORD(wParam))))
            continue;
        return entry.handler(*this, wParam, lParam);
    }
    if (message == WM_COMMAND && OnCommand(wParam, lParam))
        return 0;
    return DefWindowProc(message, wParam, lParam);
}

BOOL CWnd::OnCommand(WPARAM, LPARAM) { return FALSE; }

LRESULT CWnd::Default() {
    if (messageStack_.empty())
        return 0;
    const CurrentMessage m = messageStack_.back();
    return DefWindowProc(m.message, m.wParam, m.lParam);
}

LRESULT CWnd::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_SETICON: {
        const auto* icon = reinterpret_cast<const QIcon*>(lParam);
        if (icon)
            setWindowIcon(*icon);
        (void)wParam;
        return 0;
    }
    case WM_CLOSE:
        // A dialog's close box is its cancel command.
        SendMessage(WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        return 0;
    case WM_SYSCOMMAND:
        switch (static_cast<UINT>(wParam) & 0xFFF0u) {
        case SC_CLOSE:
            SendMessage(WM_CLOSE);
            break;
        case SC_MINIMIZE:
            showMinimized();
            break;
        case SC_RESTORE:
            showNormal();
            break;
        default:
            break;
        }
        return 0;
    case WM_PAINT:
        PaintDefault();
        return 0;
    case WM_QUERYENDSESSION:
        return TRUE;
    default:
        return 0;
    }
}

// ---- Qt events -----------------------------------------------------------------------

QPainter* CWnd::CurrentPainter() {
    if (!paintEvent_)
        return nullptr;
    if (!painter_)
        painter_ = std::make_unique<QPainter>(this);
    return painter_.get();
}

void CWnd::EndCurrentPaint() { painter_.reset(); }

void CWnd::PaintDefault() {
    const QRect area = ReservedArea();
    if (area.isEmpty() || reservedHint_.isEmpty())
        return;
    QPainter* p = CurrentPainter();
    if (!p)
        return;
    p->fillRect(area, QColor(32, 32, 32));
    p->setPen(QColor(220, 220, 220));
    p->drawText(area.adjusted(8, 8, -8, -8), Qt::AlignCenter | Qt::TextWordWrap, reservedHint_);
}

void CWnd::paintEvent(QPaintEvent* event) {
    paintEvent_ = event;
    SendMessage(WM_PAINT);
    painter_.reset();
    paintEvent_ = nullptr;
}

void CWnd::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!event->spontaneous())
        SendMessage(WM_SHOWWINDOW, TRUE, 0);
}

void CWnd::hideEvent(QHideEvent* event) {
    QDialog::hideEvent(event);
    if (!event->spontaneous())
        SendMessage(WM_SHOWWINDOW, FALSE, 0);
}

void CWnd::closeEvent(QCloseEvent* event) {
    // Whether the window goes away is the WM_CLOSE handling's decision.
    event->ignore();
    SendMessage(WM_CLOSE);
}

void CWnd::contextMenuEvent(QContextMenuEvent* event) {
    if (systemMenu_) {
        ShowSystemMenu(event->globalPos());
        event->accept();
    }
}

void CWnd::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        CItem* cancel = GetDlgItem(IDCANCEL);
        if (!cancel || cancel->IsWindowEnabled())
            SendMessage(WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

// ---- dialogs -------------------------------------------------------------------------

CDialog::CDialog(const DialogTemplate& tmpl, QWidget* parent) : CWnd(tmpl, parent) {}

void CDialog::InitDialog() {
    CreateControls();
    if (SendMessage(WM_INITDIALOG)) {
        for (QWidget* w : TabOrder()) {
            if (w->focusPolicy() != Qt::NoFocus && !w->isHidden() && w->isEnabled()) {
                w->setFocus(Qt::OtherFocusReason);
                break;
            }
        }
    }
}

namespace {
QPointer<CWnd>& MainWnd() {
    static QPointer<CWnd> window;
    return window;
}
}  // namespace

void AfxSetMainWnd(CWnd* window) { MainWnd() = window; }
CWnd* AfxGetMainWnd() { return MainWnd().data(); }

void CDialog::BeginModal() {
    modal_ = true;
    InitDialog();
    // A dialog without a parent is owned by the application's main window, as on the
    // desktop this comes from: the about box blocks the main window while it runs.
    QWidget* owner = parentWidget();
    CWnd* main = AfxGetMainWnd();
    if (!owner && main && main != this) {
        setParent(main, windowFlags());
        owner = main;
    }
    // The window is modal to its owner only: the other top-level windows of the program
    // (the setup panel) stay usable.
    setWindowModality(owner ? Qt::WindowModal : Qt::NonModal);
}

void CDialog::InitForTest() {
    BeginModal();
    show();
}

int CDialog::DoModal() {
    BeginModal();
    QEventLoop loop;
    connect(this, &QDialog::finished, &loop, &QEventLoop::quit);
    show();
    loop.exec(QEventLoop::DialogExec);
    modal_ = false;
    return result();
}

BOOL CDialog::Create() {
    modal_ = false;
    InitDialog();
    if (Template().style & DialogStyle::Visible)
        show();
    return TRUE;
}

void CDialog::EndDialog(int result) {
    if (modal_)
        QDialog::done(result);
    else
        hide();
}

BOOL CDialog::OnInitDialog() { return TRUE; }

LRESULT CDialog::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG)
        return OnInitDialog();
    return CWnd::WindowProc(message, wParam, lParam);
}
void CDialog::OnOK() { EndDialog(IDOK); }
void CDialog::OnCancel() { EndDialog(IDCANCEL); }

BOOL CDialog::OnCommand(WPARAM wParam, LPARAM) {
    if (HIWORD(wParam) != BN_CLICKED)
        return FALSE;
    if (LOWORD(wParam) == IDOK) {
        OnOK();
        return TRUE;
    }
    if (LOWORD(wParam) == IDCANCEL) {
        OnCancel();
        return TRUE;
    }
    return FALSE;
}

void CDialog::reject() { SendMessage(WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0); }
void CDialog::accept() { SendMessage(WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0); }

// ---- painting ------------------------------------------------------------------------

CPaintDC::CPaintDC(CWnd* window) : window_(window), painter_(window->CurrentPainter()) {}

CPaintDC::~CPaintDC() { window_->EndCurrentPaint(); }

void CPaintDC::DrawIcon(int x, int y, const QIcon& icon, int size) {
    if (painter_)
        painter_->drawPixmap(x, y, icon.pixmap(size, size));
}

int GetSystemMetrics(int index) {
    switch (index) {
    case SM_CXICON:
    case SM_CYICON:
        return 32;
    default:
        return 0;
    }
}

BOOL DestroyWindow(QWidget* window) {
    if (!window)
        return FALSE;
    delete window;
    return TRUE;
}
