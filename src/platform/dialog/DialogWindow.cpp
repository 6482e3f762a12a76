// A window built from a dialog template: flags and font, dialog units, the controls laid out
// in pixels, and the dialog-item calls by id.
#include "platform/dialog/Dialog.h"

#include <QCheckBox>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QSocketNotifier>

#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include "platform/dialog/Controls.h"
#include "res/Resources.h"

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
        if (!wasVisible)
            PlaceBesideOwner();
        show();
        raise();
        activateWindow();
    }
    return wasVisible;
}

BOOL CWnd::IsIconic() const { return isMinimized() ? TRUE : FALSE; }

QString CWnd::LoadString(UINT id) { return LookupString(id); }

void CWnd::SetReservedAreaHint(const QString& hint) {
    reservedHint_ = hint;
    update(ReservedArea());
}

QRect CWnd::ReservedArea() const {
    return QRect(0, 0, template_.reservedWidthPx, template_.reservedHeightPx);
}
