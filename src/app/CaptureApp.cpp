// The application object and the bridge from log-off, shutdown and termination signals to
// the main window's end-of-session messages.
#include "app/CaptureApp.h"

#include <QApplication>
#include <QDialog>
#include <QEvent>
#include <QLoggingCategory>
#include <QPointer>
#include <QSessionManager>
#include <QSocketNotifier>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "app/CaptureDlg.h"
#include "device/DeviceThreads.h"

Q_LOGGING_CATEGORY(lcApp, "brisolt.app")

namespace {

constexpr int kSessionSignals[] = {SIGTERM, SIGHUP, SIGINT};

int signalPipe[2] = {-1, -1};
QPointer<CCaptureDlg> sessionTarget;

extern "C" void OnTerminationSignal(int signal) {
    // Only async-signal-safe work here, on whatever thread the signal lands: the UI thread
    // picks the byte up. A full pipe drops the byte; one pending byte is enough.
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
    errno = savedErrno;
}

// Once the session has ended, every modal box is cancelled as it opens: a command that
// shows several in a row (the driver's dialogs) must not hold the program up.
class CancelModalBoxes : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show) {
            auto* box = qobject_cast<QDialog*>(watched);
            if (box && box->isWindow() && box->isModal() && box != sessionTarget.data())
                QMetaObject::invokeMethod(box, &QDialog::reject, Qt::QueuedConnection);
        }
        return false;
    }
};
QPointer<CancelModalBoxes> cancelModalBoxes;

// The end of the session: the run's file is finished by the window's end-session handling,
// then the window ends as if closed. A modal box open above it (the about box, a driver
// dialog) runs its own loop, which would hold the program until somebody closed it: those
// are cancelled, now and when they open later.
void EndSession(CCaptureDlg& dialog) {
    dialog.SendMessage(WM_ENDSESSION, TRUE, 0);
    if (!cancelModalBoxes) {
        cancelModalBoxes = new CancelModalBoxes(qApp);
        qApp->installEventFilter(cancelModalBoxes);
    }
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QDialog*>(widget);
        if (box && box != &dialog && box != &dialog.setupPanel && box->isVisible() &&
            box->isModal())
            box->reject();
    }
    dialog.EndDialog(IDCANCEL);
}

// The signal handlers are in place only while the main window runs; before and after it a
// signal ends the program the ordinary way.
class SessionSignals {
public:
    SessionSignals() {
        if (signalPipe[0] < 0)
            return;
        struct sigaction action {};
        action.sa_handler = OnTerminationSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (size_t i = 0; i < std::size(kSessionSignals); ++i)
            installed_[i] = sigaction(kSessionSignals[i], &action, &previous_[i]) == 0;
    }
    ~SessionSignals() {
        for (size_t i = 0; i < std::size(kSessionSignals); ++i)
            if (installed_[i])
                sigaction(kSessionSignals[i], &previous_[i], nullptr);
    }
    SessionSignals(const SessionSignals&) = delete;
    SessionSignals& operator=(const SessionSignals&) = delete;

private:
    struct sigaction previous_[std::size(kSessionSignals)] {};
    bool installed_[std::size(kSessionSignals)] = {};
};

}  // namespace

void InstallSessionSignalHandlers() {
    if (signalPipe[0] >= 0)
        return;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0) {
        qCWarning(lcApp, "no signal pipe; SIGTERM ends the program without finishing files");
        return;
    }
    // The handler must never block: the only reader is the thread it may interrupt.
    ::fcntl(signalPipe[1], F_SETFL, ::fcntl(signalPipe[1], F_GETFL) | O_NONBLOCK);
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated, qApp, [] {
        unsigned char byte = 0;
        if (::read(signalPipe[0], &byte, 1) != 1)
            return;
        qCInfo(lcApp, "signal %d: ending the session", byte);
        if (CCaptureDlg* dialog = sessionTarget.data())
            EndSession(*dialog);
    });
}

void AwaitDeviceThreads(int status, std::chrono::milliseconds exitWait) {
    if (device::WaitForDeviceThreads(exitWait))
        return;
    qCWarning(lcApp, "ending with %d device threads still in their drivers; the system closes "
                     "their devices", device::DeviceThreadsRunning());
    std::fflush(nullptr);
    std::_Exit(status);
}

CCaptureApp::CCaptureApp(const Platform& platform) : platform_(platform) {}

void CCaptureApp::HookSessionEnd(CCaptureDlg& dialog) {
    sessionTarget = &dialog;
    auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (!app)
        return;
    QPointer<CCaptureDlg> target(&dialog);
    // The session manager asks before it logs off: that is the query-end-session message.
    QObject::connect(app, &QGuiApplication::commitDataRequest, &dialog,
                     [target](QSessionManager&) {
                         if (target)
                             target->SendMessage(WM_QUERYENDSESSION, 0, 0);
                     });
}

BOOL CCaptureApp::InitInstance() {
    // The three-dimensional control look of the original platform is Qt's default style.
    CCaptureDlg dialog(platform_, nullptr);
    mainWindow_ = &dialog;
    AfxSetMainWnd(&dialog);
    HookSessionEnd(dialog);
    {
        SessionSignals handlers;
        dialog.DoModal();
    }
    if (cancelModalBoxes) {
        qApp->removeEventFilter(cancelModalBoxes);
        delete cancelModalBoxes.data();
    }
    AfxSetMainWnd(nullptr);
    mainWindow_ = nullptr;
    sessionTarget = nullptr;
    return FALSE;
}
