// Dialog items by id: the platform's number parsing for edit fields, push buttons, check
// boxes, static texts, list boxes and sliders, and their messages.
#include "platform/dialog/Dialog.h"

#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>

#include <climits>
#include <cstdint>
#include <string>

#include "platform/dialog/Controls.h"

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

void CListBox::ResetContent() { AsList(Widget())->clear(); }

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
    case LB_RESETCONTENT:
        ResetContent();
        return 0;
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
