// A run set up and started from the command line: the options are put into the main window
// as a user would set them, the driver is waited for, then connect and start are clicked.
#pragma once

#include <QObject>
#include <QTimer>

#include <chrono>
#include <ctime>
#include <functional>
#include <string>

#include "app/RunOptions.h"

class CCaptureDlg;

class UnattendedStart : public QObject {
public:
    using Clock = std::function<std::time_t()>;
    UnattendedStart(
        CCaptureDlg& dialog, RunOptions options, Clock clock = [] { return std::time(nullptr); });

    // Call once the main window has initialised: sets its fields and boxes, and selects the
    // driver (waiting for it as long as it is not there yet), connects and starts.
    void Begin();
    // How the program is to end: 0, or 1 once the driver did not come or did not connect
    // (the main window is then ended); why, for standard error.
    int ExitStatus() const { return exitStatus_; }
    const std::string& Message() const { return message_; }
    // Seconds between two looks for the driver; tests make it shorter.
    void SetRetryPeriod(std::chrono::milliseconds period) { retry_.setInterval(period); }
    // How long the driver is waited for: kDriverWaitSeconds; tests make it shorter.
    void SetWaitLimit(std::chrono::milliseconds limit) { waitLimit_ = limit; }

private:
    void SetFields();
    // One look for the driver; true once it is selected (and, to start, connected).
    bool TryDriver();
    int FindDriver() const;
    void Tick();
    void ShowWaiting();
    std::string DriverWords() const;
    void GiveUp(int status, const std::string& message);

    CCaptureDlg& dialog_;
    RunOptions options_;
    Clock clock_;
    QTimer retry_;
    std::chrono::milliseconds waitLimit_ = std::chrono::seconds(kDriverWaitSeconds);
    std::chrono::steady_clock::time_point deadline_;
    int exitStatus_ = 0;
    std::string message_;
};
