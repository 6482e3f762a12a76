// The capture window: one operation per capture-window message, and the driver registry.
#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>

#include <utility>

#include "platform/capwin/CapRecords.h"
#include "platform/capwin/CaptureFailure.h"

// Window style bits passed to capCreateCaptureWindowA.
constexpr DWORD WS_CHILD = 0x40000000;
constexpr DWORD WS_VISIBLE = 0x10000000;

// A child widget that previews a capture device and writes single-frame AVI files.
// Every method stands for one capture-window message; the wParam/lParam of the message are
// the arguments, the reply is the result. Replies that the recorder relies on:
//   DriverConnect   exactly 1 when the device is open and delivers frames, else 0
//   SingleFrame     nonzero when the frame is stored durably in the open file, else 0
// GetStatus does more than fill the record: the size it reports is the size the frame
// callback is then handed frames of. A frame of another size (after the format dialog)
// passes the callback by until the status is read again.
// All other replies are TRUE/FALSE for the log and are not examined by the recorder.
class CaptureWindow : public QWidget {
    Q_OBJECT
public:
    using QWidget::QWidget;
    ~CaptureWindow() override = default;

    virtual LRESULT DriverConnect(WPARAM driverIndex) = 0;            // WM_CAP_DRIVER_CONNECT
    virtual LRESULT DriverDisconnect() = 0;                           // WM_CAP_DRIVER_DISCONNECT
    virtual LRESULT GetStatus(CAPSTATUS* status, UINT size) = 0;      // WM_CAP_GET_STATUS
    virtual LRESULT SetCallbackFrame(FrameCallbackProc callback) = 0; // WM_CAP_SET_CALLBACK_FRAME
    virtual LRESULT SetScale(BOOL scale) = 0;                         // WM_CAP_SET_SCALE
    virtual LRESULT SetPreviewRate(UINT periodMs) = 0;                // WM_CAP_SET_PREVIEWRATE
    virtual LRESULT SetPreview(BOOL preview) = 0;                     // WM_CAP_SET_PREVIEW
    virtual LRESULT GetSequenceSetup(CAPTUREPARMS* parms, UINT size) = 0;        // WM_CAP_GET_SEQUENCE_SETUP
    virtual LRESULT SetSequenceSetup(const CAPTUREPARMS* parms, UINT size) = 0;  // WM_CAP_SET_SEQUENCE_SETUP
    virtual LRESULT SetAudioFormat(const WAVEFORMATEX* format, UINT size) = 0;   // WM_CAP_SET_AUDIOFORMAT
    virtual LRESULT FileSetCaptureFile(const char* path) = 0;         // WM_CAP_FILE_SET_CAPTURE_FILE
    virtual LRESULT SingleFrameOpen() = 0;                            // WM_CAP_SINGLE_FRAME_OPEN
    virtual LRESULT SingleFrame() = 0;                                // WM_CAP_SINGLE_FRAME
    virtual LRESULT SingleFrameClose() = 0;                           // WM_CAP_SINGLE_FRAME_CLOSE
    virtual LRESULT DlgVideoSource() = 0;                             // WM_CAP_DLG_VIDEOSOURCE
    virtual LRESULT DlgVideoFormat() = 0;                             // WM_CAP_DLG_VIDEOFORMAT
    virtual LRESULT DlgVideoDisplay() = 0;                            // WM_CAP_DLG_VIDEODISPLAY
    virtual LRESULT DlgVideoCompression() = 0;                        // WM_CAP_DLG_VIDEOCOMPRESSION
    virtual LRESULT FileSaveDib(const char* path) = 0;                // WM_CAP_FILE_SAVEDIB

    // Beyond the messages: why the latest connect, file open or grab failed (None while
    // nothing failed since the last connect or file open), and the picture format in a word.
    const CaptureProblem& LastFailure() const { return lastFailure_; }
    virtual QString FormatName() const { return {}; }

    // Beyond the messages: the open capture file as its writer knows it, for the size check
    // of the frame clock and for the status line.
    struct FileState {
        bool open = false;    // a file is open for single frames
        bool linked = false;  // its name is still in a directory (it was not removed)
        qint64 bytes = 0;     // its length now
        // How many bytes the file grows by at most when one more frame like the largest so
        // far is added and the file is finished; 0 while no frame is stored. The frame
        // callback's byte count is that of the picture before compression, far more than a
        // compressed frame takes: the rollover test counts the frame at this size.
        qint64 nextFrameGrowthBound = 0;
    };
    virtual FileState CaptureFile() const { return {}; }

signals:
    // Emitted with every failure that LastFailure then holds.
    void failureReported(CaptureFailureKind kind, const QString& text);

protected:
    void ReportFailure(CaptureProblem problem) {
        lastFailure_ = std::move(problem);
        emit failureReported(lastFailure_.kind, lastFailure_.text);
    }
    void ReportFailure(CaptureFailureKind kind, const QString& text = {}) {
        ReportFailure(CaptureProblem{kind, text});
    }
    void ClearFailure() { lastFailure_ = {}; }

private:
    CaptureProblem lastFailure_;
};

// What stands for the capture-driver services of the platform: the driver enumeration and
// the creation of capture windows. The real one lists V4L2 devices and a test pattern.
class CaptureDriverRegistry {
public:
    virtual ~CaptureDriverRegistry() = default;

    // TRUE while a driver with this index exists; then its zero-terminated name (cut to
    // fit) is in name and a version text in version.
    virtual BOOL capGetDriverDescriptionA(UINT driverIndex, char* name, int nameSize,
                                          char* version, int versionSize) = 0;

    // A new child window of parent at (x, y) of the given size, or nullptr when it cannot
    // be made. The window's object name is windowName and its child id is id.
    virtual CaptureWindow* capCreateCaptureWindowA(const char* windowName, DWORD style, int x, int y,
                                                   int width, int height, QWidget* parent,
                                                   int id) = 0;
};

// What the preview area says while no driver is connected, so that a new user finds the
// driver list: the main window paints it until a capture window covers the area, and an
// unconnected capture window paints it in its place.
inline QString NoDriverHint() {
    return QString::fromUtf8(
        "Right-click here or press Alt+Space,\nthen choose \u201cetc setup\u201d to pick a "
        "capture driver.");
}

// Capture-window messages as the recorder sends them: each is skipped, and counts as a reply
// of 0, when the window no longer exists.
namespace capsend {
template <class Fn>
LRESULT Send(const QPointer<CaptureWindow>& window, Fn&& fn) {
    if (window.isNull())
        return 0;
    return fn(*window);
}
}  // namespace capsend
