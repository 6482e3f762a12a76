// The view of the status line: two lines in the window's font, cut to fit.
#include "app/StatusLineView.h"

#include <QFontMetrics>
#include <QPainter>

#include <algorithm>

StatusLineView::StatusLineView(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("statusLine"));
    setFocusPolicy(Qt::NoFocus);
}

void StatusLineView::SetLines(const QString& first, const QString& second) {
    if (first == first_ && second == second_)
        return;
    first_ = first;
    second_ = second;
    setToolTip(first_ + QLatin1Char('\n') + second_);
    update();
}

void StatusLineView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QFontMetrics fm(font());
    painter.setPen(palette().color(QPalette::WindowText));
    const int width = this->width();
    painter.drawText(0, fm.ascent(), fm.elidedText(first_, Qt::ElideRight, width));
    // The second line wraps into whatever room the strip has below the first.
    const QRect rest(0, fm.lineSpacing(), width, height() - fm.lineSpacing());
    const int rows = std::max(1, rest.height() / fm.lineSpacing());
    QString text = second_;
    if (fm.boundingRect(rest, Qt::TextWordWrap, text).height() > rows * fm.lineSpacing())
        text = fm.elidedText(text, Qt::ElideRight, width * rows - fm.averageCharWidth() * 8);
    painter.drawText(rest, Qt::TextWordWrap | Qt::AlignLeft | Qt::AlignTop, text);
}
