// The status line of the main window: what it shows in each state of the recorder, fed by
// the capture commands, the frame clock and the power steps.
#include "app/StatusLine.h"

#include <QDir>
#include <QFile>
#include <QFontMetrics>
#include <QListWidget>
#include <QLoggingCategory>

#include <algorithm>

#include "app/CaptureDlg.h"
#include "common/CaptureSettings.h"

Q_LOGGING_CATEGORY(lcStatus, "brisolt.status", QtInfoMsg)

namespace {

constexpr int kPreviewHeight = 240;
constexpr int kGap = 2;

}  // namespace

StatusLine::StatusLine(CCaptureDlg* dialog)
    : dialog_(dialog),
      view_(new StatusLineView(dialog)),
      clock_([] { return std::time(nullptr); }),
      timerDue_([dialog](UINT id) { return dialog->TimerDueMs(id); }) {
    const QFontMetrics fm(dialog->font());
    const int top = kPreviewHeight + kGap;
    const int least = 2 * fm.lineSpacing();
    if (top + least + kGap > dialog->height())
        dialog->setFixedSize(dialog->width(), top + least + kGap);
    view_->setGeometry(4, top, dialog->width() - 8, dialog->height() - top - kGap);
    everySecond_.setInterval(1000);
    QObject::connect(&everySecond_, &QTimer::timeout, view_, [this] { Update(); });
}

StatusLine::~StatusLine() {
    // The view's connections call back into this object: it goes first.
    delete view_.data();
}

QString StatusLine::Text() const { return view_ ? view_->Text() : QString(); }

QString StatusLine::DriverName() const {
    CListBox* list = dialog_->driverList;
    if (!list || list->GetCurSel() < 0)
        return {};
    return list->GetText(list->GetCurSel());
}

QString StatusLine::FileLeaf() const {
    const QString path = QFile::decodeName(QByteArray::fromStdString(dialog_->captureFileName));
    const int slash = static_cast<int>(path.lastIndexOf(QLatin1Char('/')));
    return slash >= 0 ? path.mid(slash + 1) : path;
}

void StatusLine::Started() {
    // The driver list is filled only now; a new selection shows at once.
    int drivers = 0;
    if (dialog_->driverList) {
        drivers = dialog_->driverList->GetCount();
        if (auto* list = qobject_cast<QListWidget*>(dialog_->driverList->Widget()))
            QObject::connect(list, &QListWidget::currentRowChanged, view_, [this] { Update(); });
    }
    qCInfo(lcStatus).noquote() << "ready:" << Count(drivers, "capture driver")
                               << "listed; recordings go to"
                               << QDir::toNativeSeparators(QDir::currentPath());
    Update();
}

void StatusLine::ConnectDone(bool connected) {
    driver_ = DriverName();
    problem_ = {};
    if (connected) {
        phase_ = Phase::Connected;
    } else {
        phase_ = Phase::ConnectFailed;
        if (dialog_->captureWindow)
            problem_ = dialog_->captureWindow->LastFailure();
        else
            problem_.text = QStringLiteral("no capture window could be made");
        if (problem_.kind == CaptureFailureKind::None && problem_.text.isEmpty())
            problem_.text = QStringLiteral("the driver did not connect");
        qCWarning(lcStatus).noquote()
            << "connect to" << (driver_.isEmpty() ? QStringLiteral("(no driver)") : driver_)
            << "failed:" << CaptureFailureWords(problem_);
    }
    Update();
}

void StatusLine::DisconnectDone() {
    phase_ = Phase::Idle;
    Update();
}

void StatusLine::RunStarted() {
    phase_ = Phase::Running;
    problem_ = {};
    powerNote_.clear();
    haveSleep_ = false;
    hibernating_ = hibernated_ = false;
    runInterval_ = dialog_->intervalSeconds;
    files_ = 1;
    framesInFile_ = 0;
    noName_ = dialog_->LastNoFileName();
    tally_ = {};
    runNeedsBytes_ = 0;
    qCInfo(lcStatus).noquote() << "run started: one frame every" << runInterval_ << "s for"
                               << dialog_->spanSeconds << "s into" << FileLeaf();
    everySecond_.start();
    Update();
}

void StatusLine::FileRolledOver() {
    framesInFile_ = 0;
    tally_.NewFile();
    noName_ = dialog_->LastNoFileName();
    if (noName_ == NoFileName::None)
        ++files_;
    Update();
}

void StatusLine::FrameTaken(bool stored) {
    if (stored)
        ++framesInFile_;
    TallyFrames(stored);
    Update();
}

void StatusLine::WaitingForDriver(const QString& driver, int secondsLeft) {
    phase_ = Phase::Waiting;
    driver_ = driver;
    waitLeft_ = secondsLeft;
    Update();
}

void StatusLine::SleepDone(SleepOutcome outcome) {
    haveSleep_ = true;
    sleep_ = outcome;
    if (outcome == SleepOutcome::SuspendRefused)
        NotePower(PowerStep::Suspend);
    Update();
}

void StatusLine::RunStopped() {
    everySecond_.stop();
    phase_ = Phase::Stopped;
    qCInfo(lcStatus).noquote() << "run stopped:" << FramesAndFiles();
    Update();
}

void StatusLine::RunEnding() {
    everySecond_.stop();
    phase_ = Phase::Ended;
    hibernating_ = dialog_->IsDlgButtonChecked(IDC_SUSPEND_END) == BST_CHECKED;
    qCInfo(lcStatus).noquote() << "run ended:" << FramesAndFiles();
    Update();
    ShowBeforeHibernating();
}

void StatusLine::CaptureFailing(bool hibernating) {
    everySecond_.stop();
    phase_ = Phase::Failed;
    problem_ = dialog_->captureWindow ? dialog_->captureWindow->LastFailure()
                                      : CaptureProblem{CaptureFailureKind::DeviceGone, {}};
    qCWarning(lcStatus).noquote() << "capture failed:" << FailureWords() << "-"
                                  << FramesAndFiles();
    hibernating_ = hibernating;
    Update();
    ShowBeforeHibernating();
}

void StatusLine::ShowBeforeHibernating() {
    // The hibernation request blocks the event loop: paint now, or the line would never say
    // so before the screen goes dark.
    if (hibernating_ && view_ && view_->isVisible())
        view_->repaint();
}

void StatusLine::HibernateDone() {
    hibernating_ = false;
    PowerServices* power = dialog_->GetPlatform().power;
    hibernated_ = power && power->LastProblem(PowerStep::Hibernate).refusal == PowerRefusal::None;
    NotePower(PowerStep::Hibernate);
    Update();
}

void StatusLine::NotePower(PowerStep step) {
    PowerServices* power = dialog_->GetPlatform().power;
    if (!power)
        return;
    const QString words = PowerProblemWords(step, power->LastProblem(step));
    if (!words.isEmpty())
        powerNote_ = words;
}

bool StatusLine::RunHasFile() const {
    // A run's only file that never got a frame is removed again, and one whose name could
    // not be had was never made: neither is named as if it held frames.
    return !FileLeaf().isEmpty() &&
           (files_ > 1 || framesInFile_ > 0 || NumberedFileExists(dialog_->captureFileName));
}

QString StatusLine::FailureWords() const {
    switch (noName_) {
    case NoFileName::AllTaken:
        return QStringLiteral("all 1000 names brslt000.avi to brslt999.avi are taken");
    case NoFileName::NoDirectory:
        return QStringLiteral("the directory recordings go to is gone");
    case NoFileName::None:
        break;
    }
    return CaptureFailureWords(problem_);
}

QString StatusLine::FramesAndFiles() const {
    if (!RunHasFile())
        return Count(dialog_->frameCount, "frame") + QStringLiteral(", no file written");
    return Count(dialog_->frameCount, "frame") + QStringLiteral(" in ") + Count(files_, "file") +
           QStringLiteral(", last ") + FileLeaf();
}

QString StatusLine::RunLine() const {
    if (noName_ != NoFileName::None)
        return QStringLiteral("Recording stopped: ") + FailureWords();
    qint64 bytes = -1;
    if (dialog_->captureWindow && dialog_->captureWindow->CaptureFile().open)
        bytes = dialog_->captureWindow->CaptureFile().bytes;
    // One multi-argument arg(): a %N inside one of the values is not taken for a place.
    return QStringLiteral("Recording %1: %2 (%3 in the run), %4 of %5")
        .arg(FileLeaf(), Count(framesInFile_, "frame"), QString::number(dialog_->frameCount),
             ByteCountWords(bytes), ByteCountWords(captureSettings.maxFileBytes));
}

QString StatusLine::SleepPhrase() const {
    PowerServices* power = dialog_->GetPlatform().power;
    const bool useSleep = dialog_->IsDlgButtonChecked(IDC_USE_SLEEP) == BST_CHECKED;
    QString phrase;
    if (!power) {
        phrase = QStringLiteral("stays awake: no power services");
    } else if (!IntervalAllowsSleep(runInterval_, captureSettings.standbySeconds)) {
        phrase = QStringLiteral("stays awake: the interval is shorter than 3 x standby");
    } else if (!useSleep) {
        phrase = QStringLiteral("stays awake: use sleep is off");
    } else if (!RunEndAllowsSleep(timerDue_(TIMER_SPAN), captureSettings.standbySeconds)) {
        // The end of the run is woken for as a frame is: too close, and no sleep is begun.
        phrase = QStringLiteral("stays awake: the run ends within 3 x standby");
    } else if (const PowerProblem& timer = power->LastProblem(PowerStep::WakeTimer);
               haveSleep_ &&
               (sleep_ == SleepOutcome::NoTimer || sleep_ == SleepOutcome::TimerNotArmed) &&
               (timer.refusal == PowerRefusal::Unavailable ||
                timer.refusal == PowerRefusal::Refused)) {
        // The privilege may be there; the machine has no alarm clock, or it refused the time.
        phrase = QStringLiteral("stays awake: the wake-up alarm cannot be set: ") +
                 QString::fromStdString(timer.text);
    } else if (power->LastProblem(PowerStep::WakePrivilege).refusal != PowerRefusal::None ||
               (haveSleep_ && (sleep_ == SleepOutcome::NoTimer ||
                               sleep_ == SleepOutcome::TimerNotArmed))) {
        phrase = QStringLiteral("stays awake: no wake privilege (see README)");
    } else if (haveSleep_ && sleep_ == SleepOutcome::SuspendRefused && !powerNote_.isEmpty()) {
        phrase = QStringLiteral("stays awake: ") + powerNote_;
    } else {
        phrase = QStringLiteral("sleeps between frames, woken %1 s before each")
                     .arg(captureSettings.standbySeconds);
    }
    if (dialog_->IsDlgButtonChecked(IDC_SUSPEND_END) == BST_CHECKED)
        phrase += QStringLiteral(", then hibernates");
    return phrase;
}

QString StatusLine::TimingLine() const {
    // The countdowns are those of the frame and span timers themselves: they run on the boot
    // clock, which keeps pace across a suspend and which a step of the wall clock (the user
    // setting the time) does not move.
    const std::int64_t frameDueMs = timerDue_(TIMER_FRAME);
    const std::int64_t endDueMs = timerDue_(TIMER_SPAN);
    const std::time_t now = clock_();
    const std::time_t end =
        now + static_cast<std::time_t>((std::max<std::int64_t>(0, endDueMs) + 999) / 1000);
    const QString endText = end - now < 20 * 3600 ? FormatLocalTime(end, "%H:%M")
                                                  : FormatLocalTime(end, "%b %d, %H:%M");
    QString line;
    if (frameDueMs >= 0 && (endDueMs < 0 || frameDueMs < endDueMs))
        line = QStringLiteral("Next frame in %1, ").arg(DurationWords((frameDueMs + 999) / 1000));
    else
        line = QStringLiteral("No more frames, ");
    line += QStringLiteral("run ends at %1; %2").arg(endText, SleepPhrase());
    const QString room = DiskPhrase();
    return room.isEmpty() ? line : line + QStringLiteral("; ") + room;
}

void StatusLine::Update() {
    if (!view_)
        return;
    QString first;
    QString second;
    const QString leaf = FileLeaf();
    switch (phase_) {
    case Phase::Idle: {
        const QString driver = DriverName();
        first = driver.isEmpty() ? QStringLiteral("Not connected: no capture driver selected.")
                                 : QStringLiteral("Not connected. Driver: %1.").arg(driver);
        second = QStringLiteral("Click connect to open it; pick another driver on the setup "
                                "panel (right-click, etc setup).");
        break;
    }
    case Phase::Waiting:
        first = QStringLiteral("Waiting for %1: not there yet.").arg(driver_);
        second = QStringLiteral(
                     "The run starts when it appears; after %1 more the program "
                     "gives up and ends.")
                     .arg(DurationWords(waitLeft_));
        break;
    case Phase::ConnectFailed:
        first = QStringLiteral("Connect failed: %1: %2.")
                    .arg(driver_.isEmpty() ? QStringLiteral("no driver selected") : driver_,
                         CaptureFailureWords(problem_));
        second = QStringLiteral("Check the device or pick another driver on the setup panel, "
                                "then click connect.");
        break;
    case Phase::Connected: {
        const CAPSTATUS& status = captureSettings.capStatus;
        QString format = dialog_->captureWindow ? dialog_->captureWindow->FormatName() : QString();
        // One multi-argument arg(): a device name may hold "%2".
        first = QStringLiteral("Connected: %1, %2 x %3%4, preview every %5 ms.")
                    .arg(driver_, QString::number(status.uiImageWidth),
                         QString::number(status.uiImageHeight),
                         format.isEmpty() ? QString() : QStringLiteral(" ") + format,
                         QString::number(captureSettings.previewRateMs));
        second = QStringLiteral("Recordings go to %1").arg(QDir::toNativeSeparators(QDir::currentPath()));
        break;
    }
    case Phase::Running:
        first = RunLine();
        second = TimingLine();
        break;
    case Phase::Stopped:
    case Phase::Ended:
        first = QStringLiteral("Run %1: %2.")
                    .arg(phase_ == Phase::Stopped ? QStringLiteral("stopped")
                                                  : QStringLiteral("ended"),
                         FramesAndFiles());
        if (hibernating_)
            second = QStringLiteral("Hibernating now.");
        else if (!powerNote_.isEmpty())
            second = powerNote_;
        else if (hibernated_)
            second = QStringLiteral("The computer hibernated at the end of the run.");
        else
            second = QStringLiteral("Still connected to %1; the Brisolt button starts a new run.")
                         .arg(driver_);
        break;
    case Phase::Failed:
        first = QStringLiteral("Capture failed: %1.").arg(FailureWords());
        if (!RunHasFile())
            second = QStringLiteral("No file was written (%1 in the run)")
                         .arg(Count(dialog_->frameCount, "frame"));
        else
            second = QStringLiteral("Last file %1 (%2 in the run)")
                         .arg(leaf, Count(dialog_->frameCount, "frame"));
        if (hibernating_)
            second += QStringLiteral("; hibernating now.");
        else if (!powerNote_.isEmpty())
            second += QStringLiteral("; ") + powerNote_ + QLatin1Char('.');
        else
            second += QStringLiteral("; connect again to go on.");
        break;
    }
    // A refused suspend or hibernation stays in view until the next run starts.
    if (!powerNote_.isEmpty() && !hibernating_ && !second.contains(powerNote_))
        second += QStringLiteral("; ") + powerNote_;
    view_->SetLines(first, second);
}
