// Painting: the paint in progress, the hint in the reserved area, CPaintDC and the metrics it
// uses, and window destruction.
#include "platform/dialog/Dialog.h"

#include <QPainter>
#include <QPaintEvent>

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
