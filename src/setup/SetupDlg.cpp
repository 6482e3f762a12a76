// The setup panel: driver list, preview rate, standby time, text placement and flip, and the
// size limit per file. Every change takes effect at once in the settings record.
#include "setup/SetupDlg.h"

#include <QKeyEvent>

#include <algorithm>
#include <cstdio>

#include "common/CaptureSettings.h"
#include "platform/capwin/CaptureWindow.h"
#include "res/Resources.h"
#include "res/ToolTips.h"

namespace {
constexpr int kMaxListedDrivers = 10;
constexpr int kDriverTextSize = 128;
constexpr std::int32_t kMinStandbySeconds = 15;
constexpr std::int32_t kMaxStandbySeconds = 600;
constexpr std::uint64_t kMinFileBytes = 4096;
constexpr std::uint64_t kMaxFileBytes = 2147483647;
}  // namespace

QString FormatPreviewRate(int ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%5d ms", ms);
    return QString::fromLatin1(text);
}

CSetupDlg::CSetupDlg(QWidget* parent) : CDialog(SetupPanelTemplate(), parent) {}

const MessageMap& CSetupDlg::GetMessageMap() const {
    static const MessageMap map = {
        ON_WM_HSCROLL(&CSetupDlg::OnHScroll),
        ON_WM_PAINT(&CSetupDlg::OnPaint),
        ON_WM_SHOWWINDOW(&CSetupDlg::OnShowWindow),
        ON_EN_CHANGE(IDC_STANDBY, &CSetupDlg::OnChangeStandby),
        ON_BN_CLICKED(IDC_FLIP, &CSetupDlg::OnFlip),
        ON_BN_CLICKED(IDC_PLACEMENT, &CSetupDlg::OnPlacement),
        ON_WM_CLOSE(&CSetupDlg::OnClose),
        ON_EN_CHANGE(IDC_SIZE_PER_FILE, &CSetupDlg::OnChangeSizePerFile),
    };
    return map;
}

BOOL CSetupDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    CheckDlgButton(IDC_FLIP, captureSettings.flipText ? BST_CHECKED : BST_UNCHECKED);
    UINT placement = BST_UNCHECKED;
    if (captureSettings.textPlacement == 1)
        placement = BST_CHECKED;
    else if (captureSettings.textPlacement == 2)
        placement = BST_INDETERMINATE;
    CheckDlgButton(IDC_PLACEMENT, placement);
    ApplyToolTips(*this);
    if (CItem* box = GetDlgItem(IDC_SIZE_PER_FILE))
        box->Widget()->installEventFilter(this);
    if (CItem* button = GetDlgItem(IDC_PLACEMENT))
        button->Widget()->setToolTip(AsToolTip(PlacementToolTip(placement)));
    return TRUE;
}

void CSetupDlg::FillDriverList(CaptureDriverRegistry* drivers) {
    CListBox* list = GetListBox(IDC_DRIVER_LIST);
    const int selected = std::max(0, list->GetCurSel());
    list->SendMessage(LB_RESETCONTENT);
    for (int index = 0; drivers && index < kMaxListedDrivers; ++index) {
        char name[kDriverTextSize] = {};
        char version[kDriverTextSize] = {};
        if (!drivers->capGetDriverDescriptionA(static_cast<UINT>(index), name, kDriverTextSize,
                                              version, kDriverTextSize))
            break;
        name[kDriverTextSize - 1] = '\0';
        list->SendMessage(LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
    }
    list->SendMessage(LB_SETCURSEL, std::min(selected, std::max(0, list->GetCount() - 1)), 0);
}

void CSetupDlg::SetUpPanel(CaptureDriverRegistry* drivers) {
    FillDriverList(drivers);

    CSliderCtrl* slider = GetSlider(IDC_PREVIEW_RATE);
    slider->SetRange(33, 3000, FALSE);
    for (int tic : {500, 1000, 1500, 2000, 2500})
        slider->SendMessage(TBM_SETTIC, 0, tic);
    slider->SendMessage(TBM_SETPAGESIZE, 0, 500);
    slider->SendMessage(TBM_SETLINESIZE, 0, 20);
    slider->SendMessage(TBM_SETPOS, TRUE, captureSettings.previewRateMs);
}

void CSetupDlg::OnHScroll(UINT /*code*/, UINT /*position*/, CItem* scrollBar) {
    // The slider's own position counts, not the one the notification carries.
    CItem* source = scrollBar ? scrollBar : GetDlgItem(IDC_PREVIEW_RATE);
    const auto position = static_cast<std::int32_t>(source->SendMessage(TBM_GETPOS, 0, 0));
    captureSettings.previewRateMs = position;
    SetDlgItemText(IDC_PREVIEW_RATE_TEXT, FormatPreviewRate(position));
    if (CWnd* main = captureSettings.mainWindow.data())
        main->SendMessage(WM_TIMER, TIMER_PREVIEW_RATE, 0);
    Default();
}

void CSetupDlg::OnPaint() {
    CPaintDC dc(this);
}

void CSetupDlg::OnShowWindow(BOOL /*show*/, UINT /*status*/) {
    Default();
    SetDlgItemText(IDC_PREVIEW_RATE_TEXT, FormatPreviewRate(captureSettings.previewRateMs));
    SetDlgItemInt(IDC_STANDBY, static_cast<UINT>(captureSettings.standbySeconds), FALSE);
    SetDlgItemInt(IDC_SIZE_PER_FILE, captureSettings.maxFileBytes / 1000000u, FALSE);
}

void CSetupDlg::OnChangeStandby() {
    const auto value = static_cast<std::int32_t>(GetDlgItemInt(IDC_STANDBY, nullptr, FALSE));
    if (value >= kMinStandbySeconds && value <= kMaxStandbySeconds)
        captureSettings.standbySeconds = value;
}

void CSetupDlg::OnFlip() {
    captureSettings.flipText = IsDlgButtonChecked(IDC_FLIP) == BST_CHECKED ? 1 : 0;
}

void CSetupDlg::OnPlacement() {
    switch (IsDlgButtonChecked(IDC_PLACEMENT)) {
    case BST_UNCHECKED:
        SetDlgItemText(IDC_PLACEMENT, QStringLiteral("text on"));
        captureSettings.textPlacement = 0;
        break;
    case BST_CHECKED:
        SetDlgItemText(IDC_PLACEMENT, QStringLiteral("text up"));
        captureSettings.textPlacement = 1;
        break;
    case BST_INDETERMINATE:
        SetDlgItemText(IDC_PLACEMENT, QStringLiteral("text off"));
        captureSettings.textPlacement = 2;
        break;
    default:
        break;
    }
    if (CItem* button = GetDlgItem(IDC_PLACEMENT))
        button->Widget()->setToolTip(
            AsToolTip(PlacementToolTip(IsDlgButtonChecked(IDC_PLACEMENT))));
}

void CSetupDlg::OnClose() {
    ShowWindow(SW_HIDE);
}

void CSetupDlg::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        SendMessage(WM_CLOSE);
        event->accept();
        return;
    }
    CDialog::keyPressEvent(event);
}

QString CSetupDlg::SizeToolTip() const {
    return AsToolTip(SizePerFileToolTip(fileCapacity_ ? fileCapacity_() : QString()));
}

bool CSetupDlg::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        CItem* box = GetDlgItem(IDC_SIZE_PER_FILE);
        if (box && watched == box->Widget())
            box->Widget()->setToolTip(SizeToolTip());
    }
    return CDialog::eventFilter(watched, event);
}

void CSetupDlg::OnChangeSizePerFile() {
    // 64-bit product: the limit is compared without wrap-around.
    const std::uint64_t megabytes = GetDlgItemInt(IDC_SIZE_PER_FILE, nullptr, FALSE);
    const std::uint64_t bytes = megabytes * 1000000u;
    if (bytes >= kMinFileBytes && bytes <= kMaxFileBytes)
        captureSettings.maxFileBytes = static_cast<std::uint32_t>(bytes);
}
