// The main window: construction, start-up, the window menu, painting, closing and the
// log-off handling. The capture commands and the frame clock live in src/capture.
#include "app/CaptureDlg.h"

#include "app/AboutDlg.h"
#include "common/CaptureSettings.h"
#include "res/Resources.h"
#include "res/ToolTips.h"

CCaptureDlg::CCaptureDlg(const Platform& platform, QWidget* parent)
    : CDialog(CaptureDialogTemplate(), parent), setupPanel(nullptr), statusLine(this),
      platform_(platform) {
    icon = ApplicationIcon();
    // Until a capture window covers it, the preview area tells a new user where the
    // driver list is.
    SetReservedAreaHint(NoDriverHint());
}

CCaptureDlg::~CCaptureDlg() {
    // The capture window is a child widget; it goes with this window. Drop the settings'
    // reference to this window first so that nothing sends to it while it is torn down.
    if (captureSettings.mainWindow == this)
        captureSettings.mainWindow = nullptr;
}

const MessageMap& CCaptureDlg::GetMessageMap() const {
    static const MessageMap map = {
        ON_WM_SYSCOMMAND(&CCaptureDlg::OnSysCommand),
        ON_WM_PAINT(&CCaptureDlg::OnPaint),
        ON_WM_QUERYDRAGICON(&CCaptureDlg::OnQueryDragIcon),
        ON_WM_TIMER(&CCaptureDlg::OnTimer),
        ON_BN_CLICKED(IDC_TST, &CCaptureDlg::OnTst),
        ON_BN_CLICKED(IDC_CONNECT, &CCaptureDlg::OnConnect),
        ON_BN_CLICKED(IDC_START, &CCaptureDlg::OnStart),
        ON_EN_CHANGE(IDC_INTERVAL, &CCaptureDlg::OnChangeInterval),
        ON_EN_CHANGE(IDC_SPAN, &CCaptureDlg::OnChangeSpan),
        ON_BN_CLICKED(IDC_STOP, &CCaptureDlg::OnStop),
        ON_BN_CLICKED(IDC_DISCONNECT, &CCaptureDlg::OnDisconnect),
        ON_DEFAULT(WM_HSCROLL),
        ON_BN_CLICKED(IDC_BMP, &CCaptureDlg::OnSnapshot),
        ON_BN_CLICKED(IDC_CFG, &CCaptureDlg::OnDriverDialogs),
    };
    return map;
}

BOOL CCaptureDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    ApplyToolTips(*this);

    if (CMenu* menu = GetSystemMenu(FALSE)) {
        const QString about = LoadString(IDS_ABOUTBOX);
        if (!about.isEmpty()) {
            menu->AppendMenu(MF_SEPARATOR);
            menu->AppendMenu(MF_STRING, IDM_ABOUTBOX, about);
        }
        menu->AppendMenu(MF_STRING, IDM_SETUP, LoadString(IDS_SETUP));
    }

    SendMessage(WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(&icon));
    SendMessage(WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(&icon));

    captureSettings.previewRateMs = 1000;
    intervalSeconds = 60;
    spanSeconds = 3400;
    captureState = Disconnected;
    frameCount = 0;
    captureSettings.mainWindow = this;
    captureWindow = nullptr;
    captureSettings.flipText = 1;
    captureSettings.textPlacement = 2;
    captureFileName.clear();
    captureSettings.maxFileBytes = 2000000000u;
    captureSettings.lastFrameBytes = 0;
    captureSettings.capStatus = CAPSTATUS{};
    captureSettings.standbySeconds = 15;

    EnableShutdownPrivilege();

    CheckDlgButton(IDC_USE_SLEEP, BST_CHECKED);
    CheckDlgButton(IDC_SUSPEND_END, BST_CHECKED);

    setupPanel.Create();
    setupPanel.SetOwner(this);
    driverList = setupPanel.GetListBox(IDC_DRIVER_LIST);
    setupPanel.SetUpPanel(platform_.drivers);
    statusLine.Started();

    return TRUE;
}

void CCaptureDlg::OnSysCommand(UINT id, LPARAM lParam) {
    CAboutDlg about;
    switch (id & 0xFFF0u) {
    case IDM_ABOUTBOX:
        about.DoModal();
        break;
    case IDM_SETUP:
        setupPanel.ShowWindow(SW_SHOW);
        break;
    default:
        Default();
        break;
    }
    (void)lParam;
}

void CCaptureDlg::OnPaint() {
    if (IsIconic()) {
        CPaintDC dc(this);
        SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.Painter()), 0);
        const int cxIcon = GetSystemMetrics(SM_CXICON);
        const int cyIcon = GetSystemMetrics(SM_CYICON);
        const QRect client = rect();
        const int x = (client.width() - cxIcon + 1) / 2;
        const int y = (client.height() - cyIcon + 1) / 2;
        dc.DrawIcon(x, y, icon, cxIcon);
        return;
    }
    SetDlgItemInt(IDC_SPAN, static_cast<UINT>(spanSeconds), TRUE);
    SetDlgItemInt(IDC_INTERVAL, static_cast<UINT>(intervalSeconds), TRUE);
    Default();
}

const QIcon* CCaptureDlg::OnQueryDragIcon() {
    return &icon;
}

void CCaptureDlg::OnTst() {}

void CCaptureDlg::OnOK() {
    if (captureState == Capturing)
        capsend::Send(captureWindow, [](CaptureWindow& w) { return w.SingleFrameClose(); });
    CDialog::OnOK();
}

void CCaptureDlg::OnCancel() {
    if (captureState == Capturing)
        capsend::Send(captureWindow, [](CaptureWindow& w) { return w.SingleFrameClose(); });
    CDialog::OnCancel();
}

LRESULT CCaptureDlg::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_QUERYENDSESSION || (message == WM_ENDSESSION && captureState == Capturing))
        capsend::Send(captureWindow, [](CaptureWindow& w) { return w.SingleFrameClose(); });
    // Should the session not end after all, the run's next frame goes on in a new file.
    if ((message == WM_QUERYENDSESSION || message == WM_ENDSESSION) && captureState == Capturing)
        runFileClosed_ = true;
    return CDialog::DefWindowProc(message, wParam, lParam);
}
