// The application object and the bridge from log-off, shutdown and termination signals to
// the main window's end-of-session messages.
#include "app/CaptureApp.h"

#include <QApplication>
#include <QDialog>
#include <QLoggingCategory>
#include <QPointer>
#include <QSessionManager>
#include <QSocketNotifier>

#include <sys/socket.h>
#include <unistd.h>

#include <csignal>

#include "app/CaptureDlg.h"

Q_LOGGING_CATEGORY(lcApp, "brisolt.app")

namespace {

int signalPipe[2] = {-1, -1};
QSocketNotifier* signalNotifier = nullptr;
QPointer<CCaptureDlg> sessionTarget;

extern "C" void OnTerminationSignal(int signal) {
    const unsigned char byte = static_cast<unsigned char>(signal);
    // Only async-signal-safe work here: the UI thread picks the byte up.
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}

// The end of the session: the run's file is finished by the window's end-session handling,
// then the window ends as if closed. A modal box open above it (the about box, a driver
// dialog) runs its own loop, which would hold the program until somebody closed it: those
// are cancelled first.
void EndSession(CCaptureDlg& dialog) {
    dialog.SendMessage(WM_ENDSESSION, TRUE, 0);
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QDialog*>(widget);
        if (box && box != &dialog && box != &dialog.setupPanel && box->isVisible() &&
            box->isModal())
            box->reject();
    }
    dialog.EndDialog(IDCANCEL);
}

}  // namespace

void InstallSessionSignalHandlers() {
    if (signalPipe[0] >= 0)
        return;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0) {
        qCWarning(lcApp, "no signal pipe; SIGTERM ends the program without finishing files");
        return;
    }
    signalNotifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, qApp);
    QObject::connect(signalNotifier, &QSocketNotifier::activated, qApp, [] {
        unsigned char byte = 0;
        if (::read(signalPipe[0], &byte, 1) != 1)
            return;
        qCInfo(lcApp, "signal %d: ending the session", byte);
        if (CCaptureDlg* dialog = sessionTarget.data())
            EndSession(*dialog);
        else
            QCoreApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
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
    QObject::connect(app, &QCoreApplication::aboutToQuit, &dialog, [target] {
        if (target)
            EndSession(*target);
    });
}

BOOL CCaptureApp::InitInstance() {
    // The three-dimensional control look of the original platform is Qt's default style.
    CCaptureDlg dialog(platform_, nullptr);
    mainWindow_ = &dialog;
    AfxSetMainWnd(&dialog);
    HookSessionEnd(dialog);
    dialog.DoModal();
    AfxSetMainWnd(nullptr);
    mainWindow_ = nullptr;
    sessionTarget = nullptr;
    return FALSE;
}
