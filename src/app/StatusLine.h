// The status line of the main window: two lines in plain words below the preview that say
// what the recorder is doing, what it will do next and why something failed.
#pragma once

#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <cstdint>
#include <ctime>
#include <functional>

#include "app/StatusLineView.h"
#include "app/StatusWords.h"
#include "capture/CaptureFileNames.h"
#include "platform/WinTypes.h"
#include "platform/capwin/CaptureFailure.h"
#include "platform/power/PowerServices.h"
#include "power/PowerDecision.h"

class CCaptureDlg;

class StatusLine {
public:
    // Places the line in the strip below the preview, growing the window if two lines of
    // its font do not fit there.
    explicit StatusLine(CCaptureDlg* dialog);
    ~StatusLine();
    StatusLine(const StatusLine&) = delete;
    StatusLine& operator=(const StatusLine&) = delete;

    // The wall clock the end of the run is shown on; std::time by default.
    void SetClock(std::function<std::time_t()> clock) { clock_ = std::move(clock); }
    // Where the countdowns come from: milliseconds until a window timer is due, -1 when it
    // does not run; the main window's own timers by default.
    using TimerQuery = std::function<std::int64_t(UINT id)>;
    void SetTimerQuery(TimerQuery query) { timerDue_ = std::move(query); }

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
    // Whether the run left a file that can be named.
    bool RunHasFile() const;
    // Why the run failed, in words: no file name to be had, or the capture window's reason.
    QString FailureWords() const;
    void NotePower(PowerStep step);
    void ShowBeforeHibernating();

    CCaptureDlg* dialog_;
    QPointer<StatusLineView> view_;
    QTimer everySecond_;
    std::function<std::time_t()> clock_;
    TimerQuery timerDue_;

    Phase phase_ = Phase::Idle;
    QString driver_;           // the driver of the latest connect attempt
    CaptureProblem problem_;   // why the latest connect or the run failed
    NoFileName noName_ = NoFileName::None;  // why the run's latest file got no name
    std::int32_t runInterval_ = 0;
    int files_ = 0;
    int framesInFile_ = 0;
    bool haveSleep_ = false;
    SleepOutcome sleep_ = SleepOutcome::NoServices;
    bool hibernating_ = false;
    bool hibernated_ = false;
    QString powerNote_;  // a refused suspend or hibernation, kept until the next run starts
};
