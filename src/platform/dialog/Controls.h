// The Qt widgets that stand for the template's control kinds that Qt lacks.
#pragma once

#include <QCheckBox>
#include <QPushButton>
#include <QSlider>

#include <vector>

// An automatic check box that, like the platform's, toggles on a click anywhere in its
// rectangle, not only on the box and the text.
class CheckBox : public QCheckBox {
    Q_OBJECT
public:
    using QCheckBox::QCheckBox;

protected:
    bool hitButton(const QPoint& pos) const override { return rect().contains(pos); }
};

// An automatic three-state check box drawn as a push button: each click advances
// unchecked -> checked -> indeterminate -> unchecked. Checked looks pressed, indeterminate
// looks pressed and dimmed.
class TriStatePushButton : public QPushButton {
    Q_OBJECT
public:
    explicit TriStatePushButton(QWidget* parent = nullptr);
    int State() const { return state_; }
    void SetState(int state);

protected:
    void nextCheckState() override;
    void paintEvent(QPaintEvent* event) override;

private:
    int state_ = 0;
};

// A horizontal slider with tick marks at chosen positions, drawn above the groove.
class TrackBar : public QSlider {
    Q_OBJECT
public:
    explicit TrackBar(QWidget* parent = nullptr);
    void AddTic(int position);
    const std::vector<int>& Tics() const { return tics_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::vector<int> tics_;
};
