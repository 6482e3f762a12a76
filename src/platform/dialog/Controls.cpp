// Three-state push button and tick-marked slider.
#include "platform/dialog/Controls.h"

#include <QPainter>
#include <QStyleOptionButton>
#include <QStyleOptionSlider>
#include <QStylePainter>

TriStatePushButton::TriStatePushButton(QWidget* parent) : QPushButton(parent) {
    setCheckable(true);
    setAutoDefault(false);
}

void TriStatePushButton::SetState(int state) {
    state_ = ((state % 3) + 3) % 3;
    QPushButton::setChecked(state_ != 0);
    update();
}

void TriStatePushButton::nextCheckState() { SetState(state_ + 1); }

void TriStatePushButton::paintEvent(QPaintEvent*) {
    QStylePainter p(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    if (state_ != 0) {
        option.state |= QStyle::State_Sunken | QStyle::State_On;
        option.state &= ~QStyle::State_Raised;
    }
    if (state_ == 2) {
        // Indeterminate: pressed, with the label greyed as the platform draws a mixed state.
        option.palette.setColor(QPalette::ButtonText,
                                option.palette.color(QPalette::Disabled, QPalette::ButtonText));
    }
    p.drawControl(QStyle::CE_PushButton, option);
}

TrackBar::TrackBar(QWidget* parent) : QSlider(Qt::Horizontal, parent) {
    setTickPosition(QSlider::NoTicks);
}

void TrackBar::AddTic(int position) {
    tics_.push_back(position);
    update();
}

void TrackBar::paintEvent(QPaintEvent* event) {
    QSlider::paintEvent(event);
    if (tics_.empty())
        return;
    QStyleOptionSlider option;
    initStyleOption(&option);
    const QRect handle = style()->subControlRect(QStyle::CC_Slider, &option,
                                                 QStyle::SC_SliderHandle, this);
    const int span = width() - handle.width();
    QPainter p(this);
    p.setPen(palette().color(QPalette::WindowText));
    auto tickAt = [&](int value, int length) {
        const int x = QStyle::sliderPositionFromValue(minimum(), maximum(), value, span) +
                      handle.width() / 2;
        p.drawLine(x, 0, x, length);
    };
    tickAt(minimum(), 3);
    tickAt(maximum(), 3);
    for (int t : tics_)
        if (t > minimum() && t < maximum())
            tickAt(t, 2);
}
