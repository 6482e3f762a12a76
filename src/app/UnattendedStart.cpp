// A run started from the command line: fields and boxes first, then the driver, which a
// camera still enumerating after a boot may take a while to become, then connect and start.
#include "app/UnattendedStart.h"

#include <QLoggingCategory>

#include <algorithm>

#include "app/CaptureDlg.h"

Q_LOGGING_CATEGORY(lcUnattended, "brisolt.unattended", QtInfoMsg)

UnattendedStart::UnattendedStart(CCaptureDlg& dialog, RunOptions options, Clock clock)
    : dialog_(dialog), options_(std::move(options)), clock_(std::move(clock)) {
    retry_.setInterval(std::chrono::milliseconds(1000));
    connect(&retry_, &QTimer::timeout, this, [this] { Tick(); });
}

void UnattendedStart::SetFields() {
    // The members are what the run uses; the fields show them, as after typing.
    if (options_.intervalSeconds) {
        dialog_.intervalSeconds = *options_.intervalSeconds;
        dialog_.SetDlgItemInt(IDC_INTERVAL, static_cast<UINT>(dialog_.intervalSeconds), TRUE);
    }
    if (options_.spanSeconds) {
        dialog_.spanSeconds = *options_.spanSeconds;
        dialog_.SetDlgItemInt(IDC_SPAN, static_cast<UINT>(dialog_.spanSeconds), TRUE);
    }
    // A command line that starts a run says all about it: a box whose option is missing is
    // cleared. Without --start the options only check boxes, which are checked already.
    if (options_.start || options_.useSleep)
        dialog_.CheckDlgButton(IDC_USE_SLEEP, options_.useSleep ? BST_CHECKED : BST_UNCHECKED);
    if (options_.start || options_.suspendEnd)
        dialog_.CheckDlgButton(IDC_SUSPEND_END, options_.suspendEnd ? BST_CHECKED : BST_UNCHECKED);
}

void UnattendedStart::Begin() {
    SetFields();
    if (!options_.HasDriver() && !options_.start)
        return;
    deadline_ = std::chrono::steady_clock::now() + waitLimit_;
    if (TryDriver())
        return;
    ShowWaiting();
    retry_.start();
}

std::string UnattendedStart::DriverWords() const {
    return options_.HasDriver() ? options_.DriverWords() : std::string("driver 0");
}

void UnattendedStart::ShowWaiting() {
    const auto left =
        std::chrono::ceil<std::chrono::seconds>(deadline_ - std::chrono::steady_clock::now());
    if (dialog_.captureState == Disconnected && FindDriver() < 0)
        dialog_.statusLine.WaitingForDriver(QString::fromStdString(DriverWords()),
                                            static_cast<int>(std::max<long long>(0, left.count())));
}

int UnattendedStart::FindDriver() const {
    CaptureDriverRegistry* drivers = dialog_.GetPlatform().drivers;
    if (!options_.driverPath.empty())
        return drivers ? drivers->DriverIndexOfDevice(options_.driverPath) : -1;
    const int index = options_.driverIndex.value_or(0);
    return dialog_.driverList && index < dialog_.driverList->GetCount() ? index : -1;
}

bool UnattendedStart::TryDriver() {
    CaptureDriverRegistry* drivers = dialog_.GetPlatform().drivers;
    if (options_.HasDriver()) {
        int index = FindDriver();
        if (index < 0 && drivers) {
            // Look again: the camera may have appeared since the list was made.
            drivers->Rescan();
            dialog_.setupPanel.FillDriverList(drivers);
            index = FindDriver();
        }
        if (index < 0)
            return false;
        dialog_.driverList->SetCurSel(index);
    }
    if (!options_.start)
        return true;
    dialog_.OnConnect();
    if (dialog_.captureState != Connected)
        return false;
    // The span of a run that ends at a time is what is left of it now.
    if (options_.until) {
        const std::time_t left = *options_.until - clock_();
        if (left < 1) {
            GiveUp(0, "the end time " + FormatUntil(*options_.until) +
                          " passed while the driver was waited for; nothing recorded");
            return true;
        }
        dialog_.spanSeconds =
            static_cast<std::int32_t>(std::min<std::time_t>(left, kMaxRunSeconds));
        dialog_.SetDlgItemInt(IDC_SPAN, static_cast<UINT>(dialog_.spanSeconds), TRUE);
    }
    qCInfo(lcUnattended).noquote()
        << "starting the run on" << QString::fromStdString(options_.DriverWords());
    dialog_.OnStart();
    return true;
}

void UnattendedStart::Tick() {
    if (TryDriver()) {
        retry_.stop();
        return;
    }
    if (std::chrono::steady_clock::now() >= deadline_) {
        retry_.stop();
        // A driver that is listed but would not connect has its reason on the status line.
        const bool listed = FindDriver() >= 0;
        const auto waited = std::chrono::ceil<std::chrono::seconds>(waitLimit_).count();
        GiveUp(1, DriverWords() + (listed ? " did not connect" : " is not there") + " after " +
                      std::to_string(waited) + " s; no run was started");
        return;
    }
    ShowWaiting();
}

void UnattendedStart::GiveUp(int status, const std::string& message) {
    exitStatus_ = status;
    message_ = "brisolt: " + message + "\n";
    qCInfo(lcUnattended).noquote() << QString::fromStdString(message);
    dialog_.EndDialog(IDCANCEL);
}
