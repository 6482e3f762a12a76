// A recording capture window and driver registry: every message is logged in order with its
// arguments, replies are configurable, and the frame callback runs on a buffer of ours.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/capwin/CaptureWindow.h"

class FakeCaptureLog {
public:
    // "create PrevWnd 0 0 320 240 id22", "connect 0", "disconnect", "status", "callback",
    // "scale 1", "previewrate 1000", "preview 1", "getsequence", "setsequence 33333 324000",
    // "audio 1 1 8000 8000 1 8 0", "file <path>", "open", "grab", "close", "dlg source",
    // "dlg display", "dlg format", "dlg compression", "savedib <path>", "destroyed".
    std::vector<std::string> calls;
    int CountOf(const std::string& call) const;
    // The calls since the given index, joined with ", ".
    std::string Since(size_t index) const;
};

class FakeCaptureWindow : public CaptureWindow {
    Q_OBJECT
public:
    FakeCaptureWindow(FakeCaptureLog* log, QWidget* parent);
    ~FakeCaptureWindow() override;

    LRESULT connectReply = 1;
    // Reported when a connect or a grab fails (None: nothing reported).
    CaptureProblem connectFailure;
    CaptureProblem grabFailure;
    // FileSetCaptureFile and SingleFrameOpen fail when told to (an empty name always fails
    // the first, as on the real window); a failed open reports openFailure.
    bool failSetFile = false;
    bool failOpen = false;
    CaptureProblem openFailure;
    // SingleFrame replies: nonzero stores a frame; a hook may decide per call.
    LRESULT grabReply = 1;
    std::function<LRESULT()> onGrab;
    // Bytes that each stored frame adds to the file named by FileSetCaptureFile (the fake
    // writes real bytes there, so the size check sees them); 0 writes nothing.
    std::uint32_t bytesPerFrame = 0;
    UINT imageWidth = 320;
    UINT imageHeight = 240;

    // Runs inside each driver dialog call, e.g. a modal box of the test's own.
    std::function<void(const std::string& dialog)> onDialog;

    FrameCallbackProc callback = nullptr;
    std::string captureFile;
    int framesInFile = 0;
    bool fileOpen = false;

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

    // The open file as the fake wrote it, found by its name.
    FileState CaptureFile() const override;
    QString FormatName() const override { return QStringLiteral("RGB24"); }
    // Makes the window report a failure, as the real one does when a connect, file open or
    // grab fails; a test sets it before the call that is to fail.
    void Fail(CaptureFailureKind kind, const QString& text = {}) { ReportFailure(kind, text); }

private:
    FakeCaptureLog* log_;
};

class FakeDriverRegistry : public CaptureDriverRegistry {
public:
    std::vector<std::string> driverNames{"Fake camera 0", "Fake camera 1"};
    FakeCaptureLog log;
    // Settings given to every window created from now on.
    LRESULT connectReply = 1;
    CaptureProblem connectFailure;
    std::uint32_t bytesPerFrame = 0;
    bool failCreate = false;
    std::vector<QPointer<FakeCaptureWindow>> windows;
    int descriptionCalls = 0;

    BOOL capGetDriverDescriptionA(UINT driverIndex, char* name, int nameSize, char* version,
                                  int versionSize) override;
    CaptureWindow* capCreateCaptureWindowA(const char* windowName, DWORD style, int x, int y,
                                           int width, int height, QWidget* parent,
                                           int id) override;
    FakeCaptureWindow* Last() const;
};
