// Qt events turned into window messages: paint, show and hide, close, context menu, keys.
#include "platform/dialog/Dialog.h"

#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QPainter>

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
