// The capture window over FFmpeg: V4L2 devices and the built-in test pattern.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <QImage>
#include <QTimer>

#include "avi/AviFileWriter.h"
#include "avi/VideoEncoder.h"
#include "device/DeviceSession.h"
#include "device/PatternFault.h"
#include "picture/CaptureFormat.h"
#include "platform/capwin/CaptureWindow.h"

namespace capwin {

// One entry of the driver list.
struct DriverEntry {
    std::string name;
    std::string version;
    device::DeviceKind kind = device::DeviceKind::TestPattern;
    std::string path;  // stable device path for V4L2
};

// Time limits and set-up of the capture windows of one registry. The windows read them when
// they use them, so a change applies to windows that exist already.
struct CaptureWindowSettings : device::SessionLimits {
    int testPatternWidth = 320;  // the test pattern's size at connect
    int testPatternHeight = 240;
    int testPatternRate = 25;  // frames a second the test pattern draws
    // How long the driver dialogs wait for a device to tell its controls or formats.
    int deviceQueryWaitMs = 1000;
    // How the compression dialog and the files find their encoders; empty: in the FFmpeg
    // we run on.
    avi::EncoderLookup encoderLookup;
    // Bytes of frames per RIFF of the files (see AviSetup::riffBytes); a test knob.
    std::int64_t riffBytes = avi::kMuxerRiffBytes;
};

}  // namespace capwin

class FfmpegCaptureWindow : public CaptureWindow {
    Q_OBJECT
public:
    FfmpegCaptureWindow(std::vector<capwin::DriverEntry> drivers,
                        std::shared_ptr<const capwin::CaptureWindowSettings> settings,
                        std::shared_ptr<device::TestPatternFault> fault, QWidget* parent);
    ~FfmpegCaptureWindow() override;

    LRESULT DriverConnect(WPARAM driverIndex) override;
    LRESULT DriverDisconnect() override;
    LRESULT GetStatus(CAPSTATUS* status, UINT size) override;
    LRESULT SetCallbackFrame(FrameCallbackProc callback) override;
    LRESULT SetScale(BOOL scale) override;
    LRESULT SetPreviewRate(UINT periodMs) override;
    LRESULT SetPreview(BOOL preview) override;
    LRESULT GetSequenceSetup(CAPTUREPARMS* parms, UINT size) override;
    LRESULT SetSequenceSetup(const CAPTUREPARMS* parms, UINT size) override;
    LRESULT SetAudioFormat(const WAVEFORMATEX* format, UINT size) override;
    LRESULT FileSetCaptureFile(const char* path) override;
    LRESULT SingleFrameOpen() override;
    LRESULT SingleFrame() override;
    LRESULT SingleFrameClose() override;
    LRESULT DlgVideoSource() override;
    LRESULT DlgVideoFormat() override;
    LRESULT DlgVideoDisplay() override;
    LRESULT DlgVideoCompression() override;
    LRESULT FileSaveDib(const char* path) override;
    FileState CaptureFile() const override;
    QString FormatName() const override;

    bool isConnected() const { return connected_ >= 0; }
    // The picture the preview shows now (after the frame callback), unscaled.
    QImage shownImage() const { return shown_; }
    const WAVEFORMATEX& audioFormat() const { return audio_; }
    // The format dialog's choice (MJPEG: the device sends MJPEG, the callback sees 24-bit RGB).
    picture::PixelLayout layout() const { return layout_; }
    avi::Compression compression() const { return compression_; }
    int crf() const { return crf_; }
    // When the picture of the last frame shown or grabbed was taken, on the monotonic
    // clock (av_gettime_relative).
    std::int64_t lastCaptureUs() const { return lastCaptureUs_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void previewTick();
    // GetStatus's effect beyond the record: frames of the size it reports reach the frame
    // callback from now on.
    void tellCallbackTheSize();
    void reportFileFault(const avi::WriteFault& fault);
    // Opens the device of request through the session, saying why when it fails.
    bool openDevice(const device::SourceRequest& request);
    bool passCallback(const device::SourceFrame& frame);
    void showCurrent();
    bool applyFormat(const device::SourceRequest& request, picture::PixelLayout layout);
    // Choosing MJPEG makes Motion JPEG the files' compression (when none was chosen), so
    // that they stay about as compact as what the camera sends; leaving MJPEG takes that
    // default back unless the compression dialog changed it meanwhile.
    void followLayout(picture::PixelLayout before);
    avi::EncoderLookup encoderLookup() const;
    // How long the driver dialogs wait for the device to answer a query.
    std::chrono::milliseconds deviceWait() const;

    std::vector<capwin::DriverEntry> drivers_;
    std::shared_ptr<const capwin::CaptureWindowSettings> settings_;
    std::shared_ptr<device::TestPatternFault> fault_;
    int connected_ = -1;
    device::DeviceSession session_;
    std::int64_t lastCaptureUs_ = 0;
    std::int64_t connectedAtUs_ = 0;
    int width_ = 0;
    int height_ = 0;
    // The frame size the frame callback was last told by GetStatus. The callback takes a
    // frame's size from that report, so a frame of another size (after the format dialog,
    // before the caller asks again) must not reach it: it would stamp the wrong rows.
    int callbackWidth_ = 0;
    int callbackHeight_ = 0;
    // The format dialog's choice; frames reach the callback in CallbackLayout(layout_).
    picture::PixelLayout layout_ = picture::PixelLayout::Rgb24;
    avi::Compression compression_ = avi::Compression::None;
    bool compressionDefaulted_ = false;  // compression_ was set by choosing MJPEG
    int crf_ = 23;  // H.264 quality

    FrameCallbackProc callback_ = nullptr;
    bool scale_ = false;
    bool preview_ = false;
    QTimer previewTimer_;

    CAPTUREPARMS parms_{};
    WAVEFORMATEX audio_{};
    std::string captureFile_;
    std::unique_ptr<avi::AviFileWriter> writer_;

    picture::CapturedImage current_;  // the last frame shown or grabbed, as the callback left it
    QImage shown_;
    picture::Scaler captureScaler_;
    picture::Scaler displayScaler_;
};
