// A modeless window that belongs to another one (the setup panel to the main window) opens
// beside it. Where the program may place windows (X11), it does so itself. A Wayland client
// cannot: the compositor places every window, and it opens a window over or beside the one
// named as its parent. So the owner is named while the compositor places the window, and
// dropped once the window is shown: a window that keeps the main window as its parent is
// blocked by every box that is modal to the main window, as the setup panel must not be.
#include "platform/dialog/OwnedWindow.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWindow>

#include <algorithm>

#include "platform/dialog/Dialog.h"

namespace {

constexpr int kGapPx = 8;  // between the owner's frame and the window's

// Drops a window's parent once the window has been shown: its first exposure is painted
// and handed to the compositor before a queued call runs, and the compositor has placed it
// by then.
class ReleaseParentWhenShown : public QObject {
public:
    explicit ReleaseParentWhenShown(QWindow* window) : QObject(window) {
        window->installEventFilter(this);
    }
    bool eventFilter(QObject* watched, QEvent* event) override {
        auto* window = static_cast<QWindow*>(watched);
        if (event->type() == QEvent::Expose && window->isExposed()) {
            window->removeEventFilter(this);
            QMetaObject::invokeMethod(
                window, [window] { window->setTransientParent(nullptr); }, Qt::QueuedConnection);
            deleteLater();
        }
        return false;
    }
};

}  // namespace

QPoint BesideOwner(const QRect& owner, const QSize& frame, const QRect& available) {
    int x = owner.right() + 1 + kGapPx;
    if (x + frame.width() > available.right() + 1) {
        x = owner.left() - kGapPx - frame.width();
        if (x < available.left())
            x = owner.left() + 2 * kGapPx;  // over the owner, its title bar left in sight
    }
    const int y = owner.top();
    auto clamp = [](int v, int low, int high) { return std::max(low, std::min(v, high)); };
    return QPoint(clamp(x, available.left(), available.right() + 1 - frame.width()),
                  clamp(y, available.top(), available.bottom() + 1 - frame.height()));
}

void CWnd::SetOwner(QWidget* owner) { owner_ = owner; }

void CWnd::PlaceBesideOwner() {
    QWidget* owner = owner_ ? owner_->window() : nullptr;
    if (owner == nullptr || owner == this || !owner->isVisible())
        return;
    if (QGuiApplication::platformName() == QLatin1String("wayland")) {
        winId();
        windowHandle()->setTransientParent(owner->windowHandle());
        new ReleaseParentWhenShown(windowHandle());
        return;
    }
    // Placed once; where the user moves it afterwards, it stays.
    if (placedBesideOwner_)
        return;
    placedBesideOwner_ = true;
    const QScreen* screen = owner->screen();
    const QRect available = screen ? screen->availableGeometry() : QRect();
    if (available.isEmpty())
        return;
    move(BesideOwner(owner->frameGeometry(), frameGeometry().size(), available));
}
