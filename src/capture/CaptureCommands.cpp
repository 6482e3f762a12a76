// The capture commands of the main window: connect, start, stop, disconnect, the driver's
// dialogs and the interval and span fields.
#include <QLoggingCategory>

#include <string>

#include "app/CaptureDlg.h"
#include "common/CaptureSettings.h"
#include "overlay/FrameCallback.h"
#include "res/ToolTips.h"

Q_LOGGING_CATEGORY(lcCommands, "brisolt.commands", QtInfoMsg)

namespace {
constexpr std::int32_t kMaxSeconds = 2147482;  // x 1000 stays within a signed 32-bit period
constexpr DWORD kMicroSecPerFrame = 33333;
constexpr DWORD kIndexSize = 324000;

using capsend::Send;
}  // namespace

void CCaptureDlg::Enable(int id, bool on) {
    if (CItem* item = GetDlgItem(id))
        item->EnableWindow(on ? TRUE : FALSE);
}

void CCaptureDlg::EnableSlider(bool on) {
    if (CItem* slider = setupPanel.GetDlgItem(IDC_PREVIEW_RATE)) {
        slider->EnableWindow(on ? TRUE : FALSE);
        ControlLog().push_back(std::string("setup 1015 ") + (on ? "on" : "off"));
    }
}

void CCaptureDlg::Focus(int id) {
    if (CItem* item = GetDlgItem(id))
        item->SetFocus();
}

void CCaptureDlg::OnConnect() {
    if (captureState != Disconnected)
        return;
    const LRESULT driverIndex = driverList ? driverList->SendMessage(LB_GETCURSEL, 0, 0) : LB_ERR;

    // While disconnected, a window still named here was left by a failed attempt: it goes
    // before the new one replaces it, so that failed attempts leave nothing behind.
    if (!captureWindow.isNull())
        DestroyWindow(captureWindow.data());
    CaptureWindow* window = nullptr;
    if (platform_.drivers)
        window = platform_.drivers->capCreateCaptureWindowA(
            "PrevWnd", WS_CHILD | WS_VISIBLE, 0, 0, 320, 240, this, IDC_CAPTURE_WINDOW);
    captureWindow = window;
    if (window)
        window->setToolTip(PreviewToolTip());

    const LRESULT connected = Send(captureWindow, [driverIndex](CaptureWindow& w) {
        return w.DriverConnect(static_cast<WPARAM>(driverIndex));
    });
    if (connected != 1) {
        qCDebug(lcCommands, "driver %lld did not connect", static_cast<long long>(driverIndex));
        statusLine.ConnectDone(false);
        return;
    }

    SetWindowText(QStringLiteral("Connect."));
    captureState = Connected;
    Enable(IDC_CONNECT, false);
    Enable(IDC_START, true);
    Enable(IDC_BMP, true);
    Enable(IDC_CFG, true);
    Enable(IDC_DISCONNECT, true);
    Focus(IDC_START);

    // Reading the status also opens the frame callback to frames of the size it reports.
    Send(captureWindow, [](CaptureWindow& w) {
        return w.GetStatus(&captureSettings.capStatus, sizeof(CAPSTATUS));
    });
    Send(captureWindow, [](CaptureWindow& w) { return w.SetCallbackFrame(&FrameCallback); });
    Send(captureWindow, [](CaptureWindow& w) { return w.SetScale(TRUE); });
    Send(captureWindow, [](CaptureWindow& w) {
        return w.SetPreviewRate(static_cast<UINT>(captureSettings.previewRateMs));
    });
    Send(captureWindow, [](CaptureWindow& w) { return w.SetPreview(TRUE); });
    CAPTUREPARMS parms{};
    Send(captureWindow,
         [&parms](CaptureWindow& w) { return w.GetSequenceSetup(&parms, sizeof parms); });
    parms.dwRequestMicroSecPerFrame = kMicroSecPerFrame;
    parms.dwIndexSize = kIndexSize;
    Send(captureWindow,
         [&parms](CaptureWindow& w) { return w.SetSequenceSetup(&parms, sizeof parms); });
    WAVEFORMATEX audio{};
    audio.wFormatTag = WAVE_FORMAT_PCM;
    audio.nChannels = 1;
    audio.nSamplesPerSec = 8000;
    audio.nAvgBytesPerSec = 8000;
    audio.nBlockAlign = 1;
    audio.wBitsPerSample = 8;
    audio.cbSize = 0;
    Send(captureWindow,
         [&audio](CaptureWindow& w) { return w.SetAudioFormat(&audio, sizeof audio); });
    statusLine.ConnectDone(true);
}

void CCaptureDlg::OnStart() {
    if (captureState != Connected)
        return;
    NameCaptureFile();
    const bool named = Send(captureWindow, [this](CaptureWindow& w) {
                           return w.FileSetCaptureFile(captureFileName.c_str());
                       }) != 0;
    SetTimer(TIMER_FRAME, static_cast<UINT>(intervalSeconds * 1000));
    SetTimer(TIMER_SPAN, static_cast<UINT>(spanSeconds * 1000));
    const bool opened =
        named && Send(captureWindow, [](CaptureWindow& w) { return w.SingleFrameOpen(); }) != 0;
    captureState = Capturing;
    frameCount = 0;
    runFileClosed_ = false;
    Enable(IDC_START, false);
    Enable(IDC_STOP, true);
    Enable(IDC_BMP, false);
    Enable(IDC_CFG, false);
    Enable(IDC_DISCONNECT, false);
    Enable(IDC_INTERVAL, false);
    Enable(IDC_SPAN, false);
    Focus(IDC_STOP);
    EnableSlider(false);
    statusLine.RunStarted();
    // A run that cannot write its first frame ends now, not an interval later, and since
    // the user has just clicked start the computer does not hibernate.
    if (!opened || CaptureOneFrame() == 0)
        CaptureFailure(false);
}

void CCaptureDlg::OnStop() {
    if (captureState != Capturing)
        return;
    KillTimer(TIMER_FRAME);
    KillTimer(TIMER_SPAN);
    Send(captureWindow, [](CaptureWindow& w) { return w.SingleFrameClose(); });
    SetWindowText(QStringLiteral("End Capture..."));
    Enable(IDC_START, true);
    Enable(IDC_STOP, false);
    Enable(IDC_BMP, true);
    Enable(IDC_CFG, true);
    Enable(IDC_DISCONNECT, true);
    Enable(IDC_INTERVAL, true);
    Enable(IDC_SPAN, true);
    EnableSlider(true);
    Focus(IDC_START);
    captureState = Connected;
    statusLine.RunStopped();
}

void CCaptureDlg::OnDisconnect() {
    if (captureState != Connected)
        return;
    Send(captureWindow, [](CaptureWindow& w) { return w.SingleFrameClose(); });
    SetWindowText(QStringLiteral("Disconnect."));
    Enable(IDC_CONNECT, true);
    Enable(IDC_START, false);
    Enable(IDC_STOP, false);
    Enable(IDC_BMP, false);
    Enable(IDC_CFG, false);
    Enable(IDC_DISCONNECT, false);
    Send(captureWindow, [](CaptureWindow& w) { return w.DriverDisconnect(); });
    DestroyWindow(captureWindow.data());
    captureState = Disconnected;
    statusLine.DisconnectDone();
}

void CCaptureDlg::OnDriverDialogs() {
    Send(captureWindow, [](CaptureWindow& w) { return w.DlgVideoSource(); });
    Send(captureWindow, [](CaptureWindow& w) { return w.DlgVideoDisplay(); });
    Send(captureWindow, [](CaptureWindow& w) { return w.DlgVideoFormat(); });
    Send(captureWindow, [](CaptureWindow& w) { return w.DlgVideoCompression(); });
    // Reading the status also opens the frame callback to frames of the size it reports.
    Send(captureWindow, [](CaptureWindow& w) {
        return w.GetStatus(&captureSettings.capStatus, sizeof(CAPSTATUS));
    });
}

void CCaptureDlg::OnChangeInterval() {
    const auto value = static_cast<std::int32_t>(GetDlgItemInt(IDC_INTERVAL, nullptr, TRUE));
    if (value >= 1 && value <= kMaxSeconds)
        intervalSeconds = value;
}

void CCaptureDlg::OnChangeSpan() {
    const auto value = static_cast<std::int32_t>(GetDlgItemInt(IDC_SPAN, nullptr, TRUE));
    if (value >= 1 && value <= kMaxSeconds)
        spanSeconds = value;
}
