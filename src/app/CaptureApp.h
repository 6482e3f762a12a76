// The application object: runs the main window as a modal dialog and ends with it.
#pragma once

#include <chrono>

#include "app/Platform.h"
#include "platform/WinTypes.h"

class CCaptureDlg;

class CCaptureApp {
public:
    explicit CCaptureApp(const Platform& platform);

    // Runs the main window to its end. Returns FALSE: the process ends when the window does.
    BOOL InitInstance();

    // The main window while it runs; nullptr otherwise.
    CCaptureDlg* MainWindow() const { return mainWindow_; }

private:
    // The session manager and the signals of a log-off or shutdown, as the two
    // end-of-session messages of the main window.
    void HookSessionEnd(CCaptureDlg& dialog);

    Platform platform_;
    CCaptureDlg* mainWindow_ = nullptr;
};

// Makes SIGTERM, SIGHUP and SIGINT end the main window the way a log-off does while
// InitInstance runs it. Call once, before InitInstance, on the UI thread.
void InstallSessionSignalHandlers();

// The last step of the program, once its main window has ended: a device thread left to a
// driver that hangs still closes its device, FFmpeg's contexts and logs when the driver
// returns, so it is waited for, at most exitWait. Returns when every such thread has ended;
// otherwise the process ends here with status, without tearing down what such a thread may
// still use (the destructors of statics do not run).
void AwaitDeviceThreads(int status, std::chrono::milliseconds exitWait);
