// The main window: the capture commands, the frame clock and the power steps of a run.
#pragma once

#include <QIcon>
#include <QPointer>
#include <QString>

#include <cstdint>
#include <ctime>
#include <string>

#include "app/Platform.h"
#include "app/StatusLine.h"
#include "capture/CaptureFileNames.h"
#include "common/Ids.h"
#include "platform/capwin/CaptureWindow.h"
#include "platform/dialog/Dialog.h"
#include "setup/SetupDlg.h"

class CCaptureDlg : public CDialog {
    Q_OBJECT
public:
    explicit CCaptureDlg(const Platform& platform, QWidget* parent = nullptr);
    ~CCaptureDlg() override;

    // Members shared by the capture commands, the frame clock and the power scheduling.
    CListBox* driverList = nullptr;
    CSetupDlg setupPanel;
    QPointer<CaptureWindow> captureWindow;
    std::int32_t intervalSeconds = 0;
    std::int32_t spanSeconds = 0;
    CaptureState captureState = Disconnected;
    std::int32_t frameCount = 0;
    std::string captureFileName;  // bytes as the file system has them
    QIcon icon;
    // Below the preview: what the recorder is doing, in words.
    StatusLine statusLine;

    LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
    BOOL OnInitDialog() override;
    void OnOK() override;
    void OnCancel() override;

    // Window and system-menu handling.
    void OnSysCommand(UINT id, LPARAM lParam);
    void OnPaint();
    const QIcon* OnQueryDragIcon();
    void OnTst();

    // Capture commands.
    void OnConnect();
    void OnStart();
    void OnStop();
    void OnDisconnect();
    void OnDriverDialogs();
    void OnChangeInterval();
    void OnChangeSpan();
    void OnSnapshot();

    // The frame clock.
    void OnTimer(UINT id);
    LRESULT CaptureOneFrame();

    // Power steps of a run.
    void EnableShutdownPrivilege();
    void SuspendUntilNextFrame();
    void HibernateComputer();

    const Platform& GetPlatform() const { return platform_; }
    // Why the latest capture file name was empty; None while it was not.
    NoFileName LastNoFileName() const { return noFileName_; }

protected:
    const MessageMap& GetMessageMap() const override;

private:
    // Ends the run of a failed grab or file; the run's own end may hibernate, a start that
    // failed in front of the user never does.
    void CaptureFailure(bool mayHibernate);
    void EndOfRun();
    // The size check of a frame tick: true when the next frame would pass the size limit,
    // or the file lost its name.
    bool FileIsFull();
    // Names, sets and opens the next numbered file of the run (after its file is closed).
    void OpenNextCaptureFile();
    // captureFileName becomes the next numbered name, noting why when there is none.
    void NameCaptureFile();
    // One row of the control table: a main-window control, the setup panel's preview-rate
    // slider (logged here as "setup 1015 on/off", so one log shows the whole order), a focus.
    void Enable(int id, bool on);
    void EnableSlider(bool on);
    void Focus(int id);
    Platform platform_;
    // The run's file was finished for a log-off that may still be cancelled.
    bool runFileClosed_ = false;
    NoFileName noFileName_ = NoFileName::None;
};

// Local time formatted with strftime in the C locale, so that month names stay English
// whatever the user's locale says.
QString FormatLocalTime(std::time_t when, const char* format);

// The window title of a frame: local time as "%H:%M:%S %B%d,%Y" in the C locale.
QString FormatFrameTitle(std::time_t now);
