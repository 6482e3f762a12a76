// The frame clock of a run: the frame tick with its size check and file rollover, the end
// of the run, the capture failure, and the preview rate sent by the setup panel.
#include <QLoggingCategory>

#include <clocale>
#include <cstdio>
#include <ctime>
#include <locale.h>

#include "app/CaptureDlg.h"
#include "common/CaptureSettings.h"

Q_LOGGING_CATEGORY(lcFrameClock, "brisolt.frameclock", QtInfoMsg)

namespace {

using capsend::Send;

}  // namespace

QString FormatLocalTime(std::time_t now, const char* format) {
    static const locale_t cLocale = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    std::tm local {};
    ::localtime_r(&now, &local);
    char text[128] = {};
    if (cLocale)
        ::strftime_l(text, sizeof text, format, &local, cLocale);
    else
        std::strftime(text, sizeof text, format, &local);
    return QString::fromLatin1(text);
}

QString FormatFrameTitle(std::time_t now) {
    return FormatLocalTime(now, "%H:%M:%S %B%d,%Y");
}

bool CCaptureDlg::FileIsFull() {
    // The writer knows the file: its length, whether it still has its name, and what the
    // next frame adds at most.
    const CaptureWindow::FileState file =
        captureWindow ? captureWindow->CaptureFile() : CaptureWindow::FileState{};
    // The next frame is counted at the callback's byte count, or at the smaller size the
    // capture window stores it in when it compresses frames: the callback counts the
    // picture before compression, which with H.264 may be a hundred times larger.
    std::uint32_t frameBytes = captureSettings.lastFrameBytes;
    if (file.nextFrameGrowthBound > 0 &&
        static_cast<std::uint64_t>(file.nextFrameGrowthBound) < frameBytes)
        frameBytes = static_cast<std::uint32_t>(file.nextFrameGrowthBound);
    if (file.open && !file.linked) {
        // The run's file is gone from the directory (deleted or moved away by hand):
        // frames written on would land in a file nobody can find, so go on in a new one.
        qCWarning(lcFrameClock, "%s is gone; going on in a new file", captureFileName.c_str());
        return true;
    }
    if (!file.open)
        return frameBytes > captureSettings.maxFileBytes;
    // The unsigned 32-bit sum of the file's length and the next frame, as a 32-bit file
    // length reads it.
    const std::uint32_t sum =
        frameBytes + static_cast<std::uint32_t>(static_cast<std::uint64_t>(file.bytes));
    return sum > captureSettings.maxFileBytes;
}

void CCaptureDlg::OpenNextCaptureFile() {
    NameCaptureFile();
    Send(captureWindow,
         [this](CaptureWindow& w) { return w.FileSetCaptureFile(captureFileName.c_str()); });
    Send(captureWindow, [](CaptureWindow& w) { return w.SingleFrameOpen(); });
    statusLine.FileRolledOver();
}

void CCaptureDlg::OnTimer(UINT id) {
    switch (id) {
    case TIMER_FRAME: {
        if (captureState != Capturing)
            break;
        if (runFileClosed_) {
            // The file was finished for a log-off that did not happen: go on in a new one.
            runFileClosed_ = false;
            OpenNextCaptureFile();
        } else if (FileIsFull()) {
            Send(captureWindow, [](CaptureWindow& w) { return w.SingleFrameClose(); });
            OpenNextCaptureFile();
        }
        if (CaptureOneFrame() == 0)
            CaptureFailure(true);
        break;
    }
    case TIMER_SPAN:
        EndOfRun();
        break;
    case TIMER_PREVIEW_RATE:
        if (captureState != Disconnected) {
            CSliderCtrl* slider = setupPanel.GetSlider(IDC_PREVIEW_RATE);
            const auto rate = slider ? static_cast<UINT>(slider->SendMessage(TBM_GETPOS, 0, 0))
                                     : static_cast<UINT>(captureSettings.previewRateMs);
            Send(captureWindow, [rate](CaptureWindow& w) { return w.SetPreviewRate(rate); });
            statusLine.Update();
        }
        break;
    default:
        break;
    }
    Default();
}

LRESULT CCaptureDlg::CaptureOneFrame() {
    ::tzset();
    SetWindowText(FormatFrameTitle(std::time(nullptr)));
    const LRESULT result = Send(captureWindow, [](CaptureWindow& w) { return w.SingleFrame(); });
    ++frameCount;
    char counter[32];
    std::snprintf(counter, sizeof counter, "frm:%08d", frameCount);
    SetDlgItemText(IDC_FRAMES, QString::fromLatin1(counter));
    statusLine.FrameTaken(result != 0);
    // A failed grab ends the run: the computer is not put to sleep before that is handled.
    if (result != 0)
        SuspendUntilNextFrame();
    return result;
}

void CCaptureDlg::CaptureFailure(bool mayHibernate) {
    const bool hibernate = mayHibernate && IsDlgButtonChecked(IDC_SUSPEND_END) == BST_CHECKED;
    // Read while the capture window still exists: it knows why the grab failed.
    statusLine.CaptureFailing(hibernate);
    KillTimer(TIMER_FRAME);
    KillTimer(TIMER_SPAN);
    Send(captureWindow, [](CaptureWindow& w) { return w.SingleFrameClose(); });
    SetWindowText(QStringLiteral("Capture Failed."));
    Enable(IDC_CONNECT, true);
    Enable(IDC_START, false);
    Enable(IDC_STOP, false);
    Enable(IDC_BMP, false);
    Enable(IDC_INTERVAL, true);
    Enable(IDC_SPAN, true);
    EnableSlider(true);
    Send(captureWindow, [](CaptureWindow& w) { return w.DriverDisconnect(); });
    DestroyWindow(captureWindow.data());
    captureState = Disconnected;
    if (hibernate)
        HibernateComputer();
}

void CCaptureDlg::EndOfRun() {
    KillTimer(TIMER_FRAME);
    KillTimer(TIMER_SPAN);
    Send(captureWindow, [](CaptureWindow& w) { return w.SingleFrameClose(); });
    SetWindowText(QStringLiteral("End Capture..."));
    statusLine.RunEnding();
    if (IsDlgButtonChecked(IDC_SUSPEND_END) == BST_CHECKED)
        HibernateComputer();
    captureState = Connected;
    Enable(IDC_START, true);
    Enable(IDC_STOP, false);
    Enable(IDC_BMP, true);
    Enable(IDC_CFG, true);
    Enable(IDC_DISCONNECT, true);
    Enable(IDC_INTERVAL, true);
    Enable(IDC_SPAN, true);
    EnableSlider(true);
}
