// The status line of the main window: two lines in plain words below the preview that say
// what the recorder is doing, what it will do next and why something failed.
#pragma once

#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <ctime>
#include <functional>

#include "platform/capwin/CaptureFailure.h"
#include "platform/power/PowerServices.h"
#include "power/PowerDecision.h"

class CCaptureDlg;

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

class StatusLine {
public:
    // Places the line in the strip below the preview, growing the window if two lines of
    // its font do not fit there.
    explicit StatusLine(CCaptureDlg* dialog);
    ~StatusLine();
    StatusLine(const StatusLine&) = delete;
    StatusLine& operator=(const StatusLine&) = delete;

    // The clock that the countdown and the end of the run are read on; std::time by default.
    void SetClock(std::function<std::time_t()> clock) { clock_ = std::move(clock); }

    // Events, reported by the handlers when they happen.
    void Started();                      // the main window has initialised
    void ConnectDone(bool connected);    // after a connect attempt
    void DisconnectDone();
    void RunStarted();                   // the first file is named, before the first frame
    void FileRolledOver();               // a new file is named
    void FrameTaken(bool stored);        // after each grab, before the suspend step
    void SleepDone(SleepOutcome outcome);
    void RunStopped();
    void RunEnding();                    // end of run, before a hibernation
    void CaptureFailing(bool hibernating);  // capture failure, while the capture window exists
    void HibernateDone();                // after a hibernation request

    // Writes the lines anew from the window's state; once a second during a run.
    void Update();
    QString Text() const;
    StatusLineView* View() const { return view_; }

private:
    enum class Phase { Idle, ConnectFailed, Connected, Running, Stopped, Ended, Failed };

    QString DriverName() const;
    QString FileLeaf() const;
    QString RunLine() const;
    QString TimingLine() const;
    QString SleepPhrase() const;
    QString FramesAndFiles() const;
    void NotePower(PowerStep step);
    void ShowBeforeHibernating();

    CCaptureDlg* dialog_;
    QPointer<StatusLineView> view_;
    QTimer everySecond_;
    std::function<std::time_t()> clock_;

    Phase phase_ = Phase::Idle;
    QString driver_;           // the driver of the latest connect attempt
    CaptureProblem problem_;   // why the latest connect or the run failed
    bool namesTaken_ = false;  // no free numbered name was left for the run's file
    std::time_t runStart_ = 0;
    std::int32_t runInterval_ = 0;
    std::int32_t runSpan_ = 0;
    int files_ = 0;
    int framesInFile_ = 0;
    bool haveSleep_ = false;
    SleepOutcome sleep_ = SleepOutcome::NoServices;
    bool hibernating_ = false;
    bool hibernated_ = false;
    QString powerNote_;  // a refused suspend or hibernation, kept until the next run starts
};

// Reasons and sizes in words, as the status line writes them.
QString CaptureFailureWords(const CaptureProblem& problem);
QString PowerProblemWords(PowerStep step, const PowerProblem& problem);
QString ByteCountWords(qint64 bytes);
