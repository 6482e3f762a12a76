// The capture window over FFmpeg: V4L2 devices and the built-in test pattern.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <QImage>
#include <QTimer>

#include "platform/capwin/CaptureFormat.h"
#include "platform/capwin/CaptureWindow.h"
#include "platform/capwin/FrameSource.h"

namespace capwin {
class AviFileWriter;

// One entry of the driver list.
struct DriverEntry {
    std::string name;
    std::string version;
    DeviceKind kind = DeviceKind::TestPattern;
    std::string path;  // stable device path for V4L2
};

// Time limits of a capture window, and the fault the test pattern can be told to show.
struct CaptureWindowSettings {
    int connectTimeoutMs = 4000;  // for the first frame after opening a device
    int frameWaitMs = 2000;       // a grab waits this long for a frame before reopening
    int reopenBoundMs = 8000;     // and reopens the device for at most this long
    int testPatternWidth = 320;   // the test pattern's size at connect
    int testPatternHeight = 240;
    // The test pattern stalls after this many frames (negative: never; 0: sends nothing).
    long long testPatternFramesBeforeStall = -1;
    // Whether a stalled test pattern comes back when it is opened again.
    bool testPatternRecoversOnReopen = false;
};

}  // namespace capwin

class FfmpegCaptureWindow : public CaptureWindow {
    Q_OBJECT
public:
    FfmpegCaptureWindow(std::vector<capwin::DriverEntry> drivers,
                        capwin::CaptureWindowSettings settings, QWidget* parent);
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

    bool isConnected() const { return connected_ >= 0; }
    // The picture the preview shows now (after the frame callback), unscaled.
    QImage shownImage() const { return shown_; }
    const WAVEFORMATEX& audioFormat() const { return audio_; }
    capwin::PixelLayout layout() const { return layout_; }
    capwin::Compression compression() const { return compression_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void previewTick();
    bool startSource(const capwin::SourceRequest& request);
    bool freshFrame(std::int64_t requestUs, capwin::SourceFrame* out);
    bool passCallback(const capwin::SourceFrame& frame);
    void showCurrent();
    bool applyFormat(const capwin::SourceRequest& request, capwin::PixelLayout layout);

    std::vector<capwin::DriverEntry> drivers_;
    capwin::CaptureWindowSettings settings_;
    int connected_ = -1;
    capwin::SourceRequest request_;
    std::unique_ptr<capwin::FrameSource> source_;
    std::shared_ptr<capwin::FrameBudget> budget_;
    std::uint64_t lastSequence_ = 0;
    std::int64_t connectedAtUs_ = 0;
    int width_ = 0;
    int height_ = 0;
    capwin::PixelLayout layout_ = capwin::PixelLayout::Rgb24;
    capwin::Compression compression_ = capwin::Compression::None;

    FrameCallbackProc callback_ = nullptr;
    bool scale_ = false;
    bool preview_ = false;
    QTimer previewTimer_;

    CAPTUREPARMS parms_{};
    WAVEFORMATEX audio_{};
    std::string captureFile_;
    std::unique_ptr<capwin::AviFileWriter> writer_;

    capwin::CapturedImage current_;  // the last frame that passed the callback
    QImage shown_;
    capwin::Scaler captureScaler_;
    capwin::Scaler displayScaler_;
};
