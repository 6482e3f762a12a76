// The capture window's driver dialogs: source, format, display and compression, and the
// format changes they make.
#include "platform/capwin/FfmpegCaptureWindow.h"

#include <algorithm>
#include <chrono>

#include "av/CLocaleScope.h"
#include "av/CaptureLog.h"
#include "device/DeviceWorker.h"
#include "device/V4l2Queries.h"
#include "platform/capwin/DriverDialogs.h"

using namespace capwin;

bool FfmpegCaptureWindow::applyFormat(const device::SourceRequest& request,
                                      picture::PixelLayout layout) {
    // Not held across the dialog itself, whose event loop runs the rest of the program.
    const av::CLocaleScope cLocale;
    const device::SourceRequest previous = session_.request();
    const picture::PixelLayout previousLayout = layout_;
    layout_ = layout;
    if (openDevice(request))
        return true;
    qCWarning(lcCapture) << "the device refused the new format; going back to the old one";
    layout_ = previousLayout;
    if (!openDevice(previous)) {
        qCWarning(lcCapture) << "the device does not come back; disconnecting";
        DriverDisconnect();
    }
    return false;
}

LRESULT FfmpegCaptureWindow::DlgVideoSource() {
    if (!isConnected())
        return FALSE;
    const device::SourceRequest& current = session_.request();
    device::TestPattern pattern = current.pattern;
    if (!RunVideoSourceDialog(this, current.kind, current.path, &pattern, deviceWait()))
        return FALSE;
    if (current.kind == device::DeviceKind::TestPattern && pattern != current.pattern) {
        device::SourceRequest request = current;
        request.pattern = pattern;
        return applyFormat(request, layout_) ? TRUE : FALSE;
    }
    return TRUE;
}

LRESULT FfmpegCaptureWindow::DlgVideoFormat() {
    if (!isConnected())
        return FALSE;
    std::vector<std::pair<int, int>> sizes;
    device::V4l2Modes modes;
    if (session_.request().kind == device::DeviceKind::V4l2) {
        // Asked off this thread: a driver that hangs costs the dialog the wait, no more, and
        // the dialog then offers the size in effect.
        device::DeviceWorker worker(session_.request().path, std::chrono::milliseconds(0));
        auto asked = worker.ask([](int fd) { return device::QueryV4l2Modes(fd); });
        if (device::AnsweredWithin(asked, deviceWait()))
            modes = asked.get();
        else
            qCWarning(lcCapture) << "the device did not tell its formats within"
                                 << deviceWait().count() << "ms";
        sizes = modes.sizes;
    } else {
        sizes = {{160, 120}, {320, 240}, {640, 480}, {800, 600}, {1280, 720}};
    }
    if (std::find(sizes.begin(), sizes.end(), std::pair{width_, height_}) == sizes.end())
        sizes.insert(sizes.begin(), {width_, height_});
    FormatChoice choice{width_, height_, layout_};
    if (!RunVideoFormatDialog(this, sizes, modes.mjpeg, &choice))
        return FALSE;
    if (choice.width == width_ && choice.height == height_ && choice.layout == layout_)
        return TRUE;
    if (writer_) {
        // A file holds one format; it would be unreadable past the change.
        qCWarning(lcCapture) << "format change refused while a file is open";
        return FALSE;
    }
    device::SourceRequest request = session_.request();
    request.width = choice.width;
    request.height = choice.height;
    // Every layout is served from YUYV where the device has the size in it, else from its
    // MJPEG pictures, decoded: webcams commonly offer their large sizes only as MJPEG, and a
    // smaller YUYV picture scaled up would lose what the size was chosen for.
    if (request.kind == device::DeviceKind::V4l2) {
        request.inputFormat = device::V4l2InputFormat(
            modes, choice.layout == picture::PixelLayout::Mjpeg, choice.width, choice.height);
        request.frameRate.clear();
        request.fastestRate = true;
    }
    const picture::PixelLayout before = layout_;
    const bool applied = applyFormat(request, choice.layout);
    followLayout(before);
    if (!applied)
        return FALSE;
    qCInfo(lcCapture).noquote() << "format now" << width_ << "x" << height_
                                << picture::LayoutName(layout_) << "from the device's"
                                << QString::fromStdString(session_.request().inputFormat.empty()
                                                              ? std::string("own format")
                                                              : session_.request().inputFormat);
    return TRUE;
}

void FfmpegCaptureWindow::followLayout(picture::PixelLayout before) {
    const bool was = before == picture::PixelLayout::Mjpeg;
    const bool now = layout_ == picture::PixelLayout::Mjpeg;
    if (now && !was && compression_ == avi::Compression::None &&
        avi::CompressionAvailable(avi::Compression::MotionJpeg, encoderLookup())) {
        compression_ = avi::Compression::MotionJpeg;
        compressionDefaulted_ = true;
    } else if (was && !now && compressionDefaulted_) {
        if (compression_ == avi::Compression::MotionJpeg)
            compression_ = avi::Compression::None;
        compressionDefaulted_ = false;
    }
}

LRESULT FfmpegCaptureWindow::DlgVideoDisplay() {
    bool scale = scale_;
    if (!RunVideoDisplayDialog(this, &scale))
        return FALSE;
    SetScale(scale ? TRUE : FALSE);
    return TRUE;
}

LRESULT FfmpegCaptureWindow::DlgVideoCompression() {
    CompressionChoice choice{compression_, crf_};
    if (!RunVideoCompressionDialog(this, layout_, &choice, encoderLookup()))
        return FALSE;
    // Takes effect with the next file that is opened.
    if (choice.compression != compression_)
        compressionDefaulted_ = false;
    compression_ = choice.compression;
    crf_ = choice.crf;
    return TRUE;
}

QString FfmpegCaptureWindow::FormatName() const {
    QString name = QString::fromLatin1(picture::LayoutName(layout_));
    if (compression_ != avi::Compression::None)
        name +=
            QStringLiteral(", saved as ") + QString::fromLatin1(avi::CompressionName(compression_));
    return name;
}
