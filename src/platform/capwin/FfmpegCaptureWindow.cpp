// The capture window over FFmpeg: connect, preview, status, single-frame files, snapshots.
#include "platform/capwin/FfmpegCaptureWindow.h"

#include <algorithm>
#include <cstring>

#include <QFile>
#include <QPainter>

#include "av/CLocaleScope.h"
#include "av/CaptureLog.h"
#include "avi/AviFileWriter.h"
#include "avi/DibSnapshot.h"

extern "C" {
#include <libavutil/time.h>
}

using namespace capwin;

namespace {

constexpr DWORD VHDR_DONE = 0x1;
constexpr DWORD VHDR_KEYFRAME = 0x8;

CAPTUREPARMS DefaultSequenceSetup() {
    CAPTUREPARMS p{};
    p.dwRequestMicroSecPerFrame = 66667;  // 15 frames per second
    p.fMakeUserHitOKToCapture = FALSE;
    p.wPercentDropForError = 10;
    p.fYield = FALSE;
    p.dwIndexSize = 34952;
    p.wChunkGranularity = 0;
    p.wNumVideoRequested = 2;
    p.fCaptureAudio = FALSE;  // no audio is ever recorded
    p.wNumAudioRequested = 0;
    p.vKeyAbort = 0x1B;  // Escape
    p.fAbortLeftMouse = TRUE;
    p.fAbortRightMouse = TRUE;
    p.fLimitEnabled = FALSE;
    p.wTimeLimit = 0;
    p.wStepCaptureAverageFrames = 3;
    return p;
}

}  // namespace

FfmpegCaptureWindow::FfmpegCaptureWindow(std::vector<DriverEntry> drivers,
                                         std::shared_ptr<const CaptureWindowSettings> settings,
                                         std::shared_ptr<device::TestPatternFault> fault,
                                         QWidget* parent)
    : CaptureWindow(parent), drivers_(std::move(drivers)),
      settings_(settings ? std::move(settings) : std::make_shared<CaptureWindowSettings>()),
      fault_(std::move(fault)), session_(settings_), parms_(DefaultSequenceSetup()) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    previewTimer_.setTimerType(Qt::CoarseTimer);
    connect(&previewTimer_, &QTimer::timeout, this, &FfmpegCaptureWindow::previewTick);
    previewTimer_.setInterval(66);
}

FfmpegCaptureWindow::~FfmpegCaptureWindow() {
    // The file of a run is finished even when the window goes away with it still open.
    SingleFrameClose();
    DriverDisconnect();
}

bool FfmpegCaptureWindow::openDevice(const device::SourceRequest& request) {
    device::SourceFrame first;
    int openError = 0;
    if (!session_.open(request, &first, &openError)) {
        if (openError != 0)
            ReportFailure(OpenProblemFromAvError(openError));
        else
            ReportFailure(CaptureFailureKind::NoFrame);
        return false;
    }
    width_ = first.frame->width;
    height_ = first.frame->height;
    return true;
}

LRESULT FfmpegCaptureWindow::DriverConnect(WPARAM driverIndex) {
    // Every message that reaches FFmpeg on this thread runs it in the C locale, so that
    // option text with decimals parses under any user locale.
    const av::CLocaleScope cLocale;
    if (isConnected())
        DriverDisconnect();
    if (driverIndex >= drivers_.size()) {
        qCWarning(lcCapture) << "connect: no driver with index" << static_cast<LPARAM>(driverIndex);
        ReportFailure(CaptureFailureKind::NoSuchDevice);
        return 0;
    }
    const DriverEntry& entry = drivers_[driverIndex];
    device::SourceRequest request;
    request.kind = entry.kind;
    request.path = entry.path;
    if (entry.kind == device::DeviceKind::TestPattern) {
        request.width = settings_->testPatternWidth;
        request.height = settings_->testPatternHeight;
        request.framesPerSecond = std::max(1, settings_->testPatternRate);
        request.fault = fault_;
    } else {
        // The device's own size at its fastest rate; raw frames as YUYV where it has them
        // (a camera that defaults to MJPEG would otherwise need decoding before every
        // callback). The reader asks the device, off this thread.
        request.width = request.height = 0;
        request.rawWherePossible = true;
        request.fastestRate = true;
    }
    const picture::PixelLayout before = layout_;
    layout_ = picture::PixelLayout::Rgb24;
    followLayout(before);
    if (!openDevice(request)) {
        qCWarning(lcCapture).noquote()
            << "connect to" << QString::fromStdString(entry.name) << "failed";
        update();
        return 0;
    }
    connected_ = static_cast<int>(driverIndex);
    ClearFailure();
    connectedAtUs_ = av_gettime_relative();
    qCInfo(lcCapture).noquote() << "connected to" << QString::fromStdString(entry.name) << width_
                                << "x" << height_;
    update();
    return 1;
}

LRESULT FfmpegCaptureWindow::DriverDisconnect() {
    previewTimer_.stop();
    const bool was = isConnected();
    session_.close();
    connected_ = -1;
    preview_ = false;
    width_ = height_ = 0;
    current_ = {};
    shown_ = {};
    if (was)
        qCInfo(lcCapture) << "disconnected";
    update();
    return was ? TRUE : FALSE;
}

LRESULT FfmpegCaptureWindow::GetStatus(CAPSTATUS* status, UINT size) {
    if (status == nullptr || size < sizeof(CAPSTATUS))
        return FALSE;
    std::memset(status, 0, sizeof(CAPSTATUS));
    status->uiImageWidth = static_cast<UINT>(width_);
    status->uiImageHeight = static_cast<UINT>(height_);
    tellCallbackTheSize();
    status->fLiveWindow = preview_ && isConnected() ? TRUE : FALSE;
    status->fScale = scale_ ? TRUE : FALSE;
    status->fCapFileExists = writer_ || (!captureFile_.empty() && QFile::exists(
                                             QString::fromStdString(captureFile_)));
    status->dwCurrentVideoFrame = writer_ ? static_cast<DWORD>(writer_->frames()) : 0;
    if (isConnected())
        status->dwCurrentTimeElapsedMS =
            static_cast<DWORD>((av_gettime_relative() - connectedAtUs_) / 1000);
    return isConnected() ? TRUE : FALSE;
}

void FfmpegCaptureWindow::reportFileFault(const avi::WriteFault& fault) {
    ReportFailure(FileProblem(fault.error, QString::fromStdString(fault.what)));
}

void FfmpegCaptureWindow::tellCallbackTheSize() {
    callbackWidth_ = width_;
    callbackHeight_ = height_;
}

LRESULT FfmpegCaptureWindow::SetCallbackFrame(FrameCallbackProc callback) {
    callback_ = callback;
    return TRUE;
}

LRESULT FfmpegCaptureWindow::SetScale(BOOL scale) {
    scale_ = scale != FALSE;
    update();
    return TRUE;
}

LRESULT FfmpegCaptureWindow::SetPreviewRate(UINT periodMs) {
    if (periodMs == 0)
        return FALSE;
    previewTimer_.setInterval(static_cast<int>(std::min<UINT>(periodMs, 24 * 3600 * 1000)));
    return TRUE;
}

LRESULT FfmpegCaptureWindow::SetPreview(BOOL preview) {
    preview_ = preview != FALSE;
    if (preview_ && isConnected())
        previewTimer_.start();
    else
        previewTimer_.stop();
    return isConnected() || !preview_ ? TRUE : FALSE;
}

LRESULT FfmpegCaptureWindow::GetSequenceSetup(CAPTUREPARMS* parms, UINT size) {
    if (parms == nullptr || size < sizeof(CAPTUREPARMS))
        return FALSE;
    *parms = parms_;
    return TRUE;
}

LRESULT FfmpegCaptureWindow::SetSequenceSetup(const CAPTUREPARMS* parms, UINT size) {
    if (parms == nullptr || size < sizeof(CAPTUREPARMS))
        return FALSE;
    if (parms->dwRequestMicroSecPerFrame == 0 || parms->dwRequestMicroSecPerFrame > 0x7fffffff) {
        qCWarning(lcCapture) << "sequence setup refused: frame period"
                             << parms->dwRequestMicroSecPerFrame;
        return FALSE;
    }
    parms_ = *parms;
    parms_.fCaptureAudio = FALSE;
    return TRUE;
}

LRESULT FfmpegCaptureWindow::SetAudioFormat(const WAVEFORMATEX* format, UINT size) {
    if (format == nullptr || size < sizeof(WAVEFORMATEX))
        return FALSE;
    // Kept for the status of the window; frames are recorded without sound.
    audio_ = *format;
    return TRUE;
}

LRESULT FfmpegCaptureWindow::FileSetCaptureFile(const char* path) {
    captureFile_ = path != nullptr ? path : "";
    return captureFile_.empty() ? FALSE : TRUE;
}

LRESULT FfmpegCaptureWindow::SingleFrameOpen() {
    const av::CLocaleScope cLocale;
    if (writer_) {
        qCWarning(lcCapture) << "single-frame open: closing the file still open";
        SingleFrameClose();
    }
    if (captureFile_.empty()) {
        qCWarning(lcCapture) << "single-frame open: no capture file named";
        ReportFailure(CaptureFailureKind::NoFileName);
        return FALSE;
    }
    if (!isConnected()) {
        qCWarning(lcCapture) << "single-frame open: no device connected";
        ReportFailure(CaptureFailureKind::DeviceGone);
        return FALSE;
    }
    avi::AviSetup setup;
    setup.width = width_;
    setup.height = height_;
    setup.layout = picture::CallbackLayout(layout_);
    setup.compression = compression_;
    setup.crf = crf_;
    setup.microSecPerFrame = parms_.dwRequestMicroSecPerFrame;
    setup.riffBytes = settings_->riffBytes;
    setup.encoderLookup = encoderLookup();
    avi::WriteFault fault;
    writer_ = avi::AviFileWriter::Create(captureFile_, setup, &fault);
    if (!writer_) {
        reportFileFault(fault);
        return FALSE;
    }
    ClearFailure();
    return TRUE;
}

bool FfmpegCaptureWindow::passCallback(const device::SourceFrame& frame) {
    picture::CapturedImage image;
    const picture::PixelLayout layout = picture::CallbackLayout(layout_);
    if (!picture::FrameToImage(frame.frame.get(), layout, width_, height_, captureScaler_,
                               &image)) {
        qCWarning(lcCapture) << "cannot convert the frame to" << picture::LayoutName(layout);
        return false;
    }
    lastCaptureUs_ = frame.captureUs;
    // A frame of a size the caller has not been told yet is shown and stored without
    // passing the callback.
    if (callback_ != nullptr && width_ == callbackWidth_ && height_ == callbackHeight_) {
        VIDEOHDR header{};
        header.lpData = image.bytes.data();
        header.dwBufferLength = static_cast<DWORD>(image.bytes.size());
        header.dwBytesUsed = static_cast<DWORD>(image.used);
        header.dwTimeCaptured = static_cast<DWORD>((frame.captureUs - connectedAtUs_) / 1000);
        header.dwFlags = VHDR_DONE | VHDR_KEYFRAME;
        callback_(this, &header);
    }
    current_ = std::move(image);
    return true;
}

void FfmpegCaptureWindow::showCurrent() {
    shown_ = picture::ImageToQImage(current_, displayScaler_);
    update();
}

void FfmpegCaptureWindow::previewTick() {
    const av::CLocaleScope cLocale;
    device::SourceFrame frame;
    if (session_.poll(&frame) && passCallback(frame))
        showCurrent();
}

LRESULT FfmpegCaptureWindow::SingleFrame() {
    const av::CLocaleScope cLocale;
    if (!writer_) {
        qCWarning(lcCapture) << "grab refused: no file is open";
        // The failed open said why already.
        if (LastFailure().kind == CaptureFailureKind::None)
            ReportFailure(CaptureFailureKind::NoFileName);
        return 0;
    }
    if (writer_->broken()) {
        qCWarning(lcCapture) << "grab refused: the open file failed earlier";
        reportFileFault(writer_->fault());
        return 0;
    }
    if (!isConnected()) {
        qCWarning(lcCapture) << "grab refused: no device connected";
        ReportFailure(CaptureFailureKind::DeviceGone);
        return 0;
    }
    // Only a frame whose capture began after this moment will do; one that waited in a
    // buffer would carry an older picture than its time stamp says.
    const std::int64_t requestUs = av_gettime_relative();
    device::SourceFrame frame;
    if (!session_.fresh(requestUs, &frame) || !passCallback(frame)) {
        ReportFailure(CaptureFailureKind::DeviceGone);
        return 0;
    }
    showCurrent();
    if (!writer_->addFrame(current_)) {
        reportFileFault(writer_->fault());
        return 0;
    }
    return TRUE;
}

LRESULT FfmpegCaptureWindow::SingleFrameClose() {
    const av::CLocaleScope cLocale;
    if (!writer_)
        return FALSE;
    const bool ok = writer_->finish();
    writer_.reset();
    return ok ? TRUE : FALSE;
}

LRESULT FfmpegCaptureWindow::FileSaveDib(const char* path) {
    const av::CLocaleScope cLocale;
    if (path == nullptr || current_.empty()) {
        qCWarning(lcCapture) << "bitmap refused:" << (path ? "no frame yet" : "no file name");
        return FALSE;
    }
    return avi::SaveDibSnapshot(path, current_) ? TRUE : FALSE;
}

std::chrono::milliseconds FfmpegCaptureWindow::deviceWait() const {
    return std::chrono::milliseconds(std::max(0, settings_->deviceQueryWaitMs));
}

avi::EncoderLookup FfmpegCaptureWindow::encoderLookup() const {
    return settings_->encoderLookup ? settings_->encoderLookup : avi::DefaultEncoderLookup();
}

void FfmpegCaptureWindow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QColor background(0x20, 0x20, 0x24);
    if (!isConnected()) {
        painter.fillRect(rect(), background);
        painter.setPen(QColor(0xd0, 0xd0, 0xd0));
        painter.drawText(rect().adjusted(8, 8, -8, -8), Qt::AlignCenter | Qt::TextWordWrap,
                         NoDriverHint());
        return;
    }
    if (shown_.isNull()) {
        painter.fillRect(rect(), background);
        return;
    }
    if (scale_) {
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(rect(), shown_);
        return;
    }
    painter.fillRect(rect(), background);
    painter.drawImage(0, 0, shown_);
}

CaptureWindow::FileState FfmpegCaptureWindow::CaptureFile() const {
    FileState file;
    if (!writer_)
        return file;
    file.open = true;
    file.linked = writer_->linked();
    file.bytes = writer_->fileBytes();
    file.nextFrameGrowthBound = writer_->growthBound();
    return file;
}
