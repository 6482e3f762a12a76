// The view of the status line: two lines in the window's font, cut to fit.
#pragma once

#include <QString>
#include <QWidget>

// The two lines, painted in the window's font and cut with "..." where they do not fit; the
// tool tip holds them uncut.
class StatusLineView : public QWidget {
    Q_OBJECT
public:
    explicit StatusLineView(QWidget* parent);
    void SetLines(const QString& first, const QString& second);
    QString Text() const { return first_ + QLatin1Char('\n') + second_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString first_;
    QString second_;
};
