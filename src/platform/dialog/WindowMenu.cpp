// The window menu stand-in: its items, and how it opens (right-click, Alt+Space).
#include "platform/dialog/Dialog.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMenu>

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
