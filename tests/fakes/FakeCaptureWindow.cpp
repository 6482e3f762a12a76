// The recording capture window and registry used by the main-window tests.
#include "fakes/FakeCaptureWindow.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

int FakeCaptureLog::CountOf(const std::string& call) const {
    int n = 0;
    for (const auto& c : calls)
        n += c == call;
    return n;
}

std::string FakeCaptureLog::Since(size_t index) const {
    std::string out;
    for (size_t i = index; i < calls.size(); ++i) {
        if (!out.empty())
            out += ", ";
        out += calls[i];
    }
    return out;
}

FakeCaptureWindow::FakeCaptureWindow(FakeCaptureLog* log, QWidget* parent)
    : CaptureWindow(parent), log_(log) {}

FakeCaptureWindow::~FakeCaptureWindow() { log_->calls.push_back("destroyed"); }

LRESULT FakeCaptureWindow::DriverConnect(WPARAM driverIndex) {
    log_->calls.push_back("connect " + std::to_string(static_cast<long long>(driverIndex)));
    if (connectReply != 1 && connectFailure.kind != CaptureFailureKind::None)
        ReportFailure(connectFailure);
    return connectReply;
}
LRESULT FakeCaptureWindow::DriverDisconnect() {
    log_->calls.push_back("disconnect");
    return TRUE;
}
LRESULT FakeCaptureWindow::GetStatus(CAPSTATUS* status, UINT size) {
    log_->calls.push_back("status");
    if (!status || size < sizeof(CAPSTATUS))
        return FALSE;
    std::memset(status, 0, sizeof *status);
    status->uiImageWidth = imageWidth;
    status->uiImageHeight = imageHeight;
    return TRUE;
}
LRESULT FakeCaptureWindow::SetCallbackFrame(FrameCallbackProc proc) {
    log_->calls.push_back("callback");
    callback = proc;
    return TRUE;
}
LRESULT FakeCaptureWindow::SetScale(BOOL scale) {
    log_->calls.push_back("scale " + std::to_string(scale));
    return TRUE;
}
LRESULT FakeCaptureWindow::SetPreviewRate(UINT periodMs) {
    log_->calls.push_back("previewrate " + std::to_string(periodMs));
    return TRUE;
}
LRESULT FakeCaptureWindow::SetPreview(BOOL preview) {
    log_->calls.push_back("preview " + std::to_string(preview));
    return TRUE;
}
LRESULT FakeCaptureWindow::GetSequenceSetup(CAPTUREPARMS* parms, UINT size) {
    log_->calls.push_back("getsequence");
    if (!parms || size < sizeof(CAPTUREPARMS))
        return FALSE;
    std::memset(parms, 0, sizeof *parms);
    // Values the recorder must leave alone.
    parms->dwRequestMicroSecPerFrame = 66667;
    parms->wPercentDropForError = 10;
    parms->dwIndexSize = 34952;
    parms->wChunkGranularity = 2048;
    return TRUE;
}
LRESULT FakeCaptureWindow::SetSequenceSetup(const CAPTUREPARMS* parms, UINT size) {
    if (!parms || size != sizeof(CAPTUREPARMS)) {
        log_->calls.push_back("setsequence bad");
        return FALSE;
    }
    log_->calls.push_back("setsequence " + std::to_string(parms->dwRequestMicroSecPerFrame) +
                          " " + std::to_string(parms->dwIndexSize) + " " +
                          std::to_string(parms->wPercentDropForError) + " " +
                          std::to_string(parms->wChunkGranularity));
    return TRUE;
}
LRESULT FakeCaptureWindow::SetAudioFormat(const WAVEFORMATEX* f, UINT size) {
    if (!f || size != sizeof(WAVEFORMATEX)) {
        log_->calls.push_back("audio bad");
        return FALSE;
    }
    log_->calls.push_back("audio " + std::to_string(f->wFormatTag) + " " +
                          std::to_string(f->nChannels) + " " + std::to_string(f->nSamplesPerSec) +
                          " " + std::to_string(f->nAvgBytesPerSec) + " " +
                          std::to_string(f->nBlockAlign) + " " +
                          std::to_string(f->wBitsPerSample) + " " + std::to_string(f->cbSize));
    return TRUE;
}
LRESULT FakeCaptureWindow::FileSetCaptureFile(const char* path) {
    captureFile = path ? path : "";
    log_->calls.push_back("file " + captureFile);
    return captureFile.empty() || failSetFile ? FALSE : TRUE;
}
LRESULT FakeCaptureWindow::SingleFrameOpen() {
    log_->calls.push_back("open");
    const auto refuse = [this] {
        if (openFailure.kind != CaptureFailureKind::None)
            ReportFailure(openFailure);
        return FALSE;
    };
    if (captureFile.empty() || failOpen)
        return refuse();
    if (bytesPerFrame > 0) {
        const int fd = ::open(captureFile.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0)
            return refuse();
        ::close(fd);
    }
    fileOpen = true;
    framesInFile = 0;
    return TRUE;
}
LRESULT FakeCaptureWindow::SingleFrame() {
    log_->calls.push_back("grab");
    LRESULT reply = onGrab ? onGrab() : grabReply;
    // Like the real window: with no file open a frame cannot be stored.
    if (!fileOpen)
        reply = 0;
    if (!reply && grabFailure.kind != CaptureFailureKind::None)
        ReportFailure(grabFailure);
    if (reply) {
        ++framesInFile;
        if (bytesPerFrame > 0) {
            const int fd = ::open(captureFile.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
            if (fd >= 0) {
                std::string bytes(bytesPerFrame, 'f');
                [[maybe_unused]] ssize_t n = ::write(fd, bytes.data(), bytes.size());
                ::close(fd);
            }
        }
    }
    return reply;
}
LRESULT FakeCaptureWindow::SingleFrameClose() {
    log_->calls.push_back("close");
    fileOpen = false;
    return TRUE;
}
LRESULT FakeCaptureWindow::DlgVideoSource() {
    log_->calls.push_back("dlg source");
    if (onDialog)
        onDialog("source");
    return TRUE;
}
LRESULT FakeCaptureWindow::DlgVideoFormat() {
    log_->calls.push_back("dlg format");
    if (onDialog)
        onDialog("format");
    imageWidth = 640;
    imageHeight = 480;
    return TRUE;
}
LRESULT FakeCaptureWindow::DlgVideoDisplay() {
    log_->calls.push_back("dlg display");
    if (onDialog)
        onDialog("display");
    return TRUE;
}
LRESULT FakeCaptureWindow::DlgVideoCompression() {
    log_->calls.push_back("dlg compression");
    if (onDialog)
        onDialog("compression");
    return TRUE;
}
LRESULT FakeCaptureWindow::FileSaveDib(const char* path) {
    log_->calls.push_back(std::string("savedib ") + (path ? path : ""));
    if (!path || !*path)
        return FALSE;
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return FALSE;
    [[maybe_unused]] ssize_t n = ::write(fd, "BM", 2);
    ::close(fd);
    return TRUE;
}

CaptureWindow::FileState FakeCaptureWindow::CaptureFile() const {
    FileState file;
    file.open = fileOpen;
    struct stat st {};
    if (fileOpen && ::stat(captureFile.c_str(), &st) == 0) {
        file.linked = true;
        file.bytes = static_cast<qint64>(st.st_size);
    }
    return file;
}

BOOL FakeDriverRegistry::capGetDriverDescriptionA(UINT driverIndex, char* name, int nameSize,
                                                  char* version, int versionSize) {
    ++descriptionCalls;
    if (driverIndex >= driverNames.size() || nameSize <= 0)
        return FALSE;
    std::strncpy(name, driverNames[driverIndex].c_str(), static_cast<size_t>(nameSize) - 1);
    name[nameSize - 1] = '\0';
    if (version && versionSize > 0) {
        std::strncpy(version, "fake 1.0", static_cast<size_t>(versionSize) - 1);
        version[versionSize - 1] = '\0';
    }
    return TRUE;
}

CaptureWindow* FakeDriverRegistry::capCreateCaptureWindowA(const char* windowName, DWORD style,
                                                           int x, int y, int width, int height,
                                                           QWidget* parent, int id) {
    log.calls.push_back(std::string("create ") + windowName + " " + std::to_string(x) + " " +
                        std::to_string(y) + " " + std::to_string(width) + " " +
                        std::to_string(height) + " id" + std::to_string(id) +
                        ((style & WS_CHILD) && (style & WS_VISIBLE) ? " child visible" : ""));
    if (failCreate)
        return nullptr;
    auto* window = new FakeCaptureWindow(&log, parent);
    window->setObjectName(QString::fromLatin1(windowName));
    window->setGeometry(x, y, width, height);
    window->connectReply = connectReply;
    window->connectFailure = connectFailure;
    window->bytesPerFrame = bytesPerFrame;
    if (style & WS_VISIBLE)
        window->show();
    windows.emplace_back(window);
    return window;
}

FakeCaptureWindow* FakeDriverRegistry::Last() const {
    return windows.empty() ? nullptr : windows.back().data();
}
