// The dialog templates 100, 102 and 129, the string table, icon 128 and the version record.
#include "res/Resources.h"

#include <map>

#include "common/Ids.h"

namespace {

using namespace ItemStyle;
constexpr const char* kDialogFont = "\xEF\xBC\xAD\xEF\xBC\xB3 \xEF\xBC\xB0\xE3\x82\xB4\xE3\x82\xB7\xE3\x83\x83\xE3\x82\xAF";  // ＭＳ Ｐゴシック
constexpr int kNoId = -1;

}  // namespace

const DialogTemplate& AboutBoxTemplate() {
    static const DialogTemplate t{
        IDD_ABOUTBOX,
        "Brisolt version info",
        DialogStyle::None,
        235,
        55,
        kDialogFont,
        9,
        {
            {IDR_MAINFRAME, ItemKind::Icon, "", None, 11, 17, 21, 20},
            {kNoId, ItemKind::Static, "Brisolt Version 1.2", NoPrefix, 40, 10, 119, 8},
            {kNoId, ItemKind::Static, "\xC2\xA9 2026 the Brisolt developers. Licence: GPL-3.0-or-later.",
             NoPrefix, 40, 25, 188, 8},
            {IDOK, ItemKind::PushButton, "OK", Default | TabStop, 178, 7, 50, 14},
        },
    };
    return t;
}

const DialogTemplate& CaptureDialogTemplate() {
    static const DialogTemplate t{
        IDD_CAPTURE_DIALOG,
        "Brisolt",
        DialogStyle::Visible | DialogStyle::MinimizeBox | DialogStyle::AppWindow,
        255,
        171,
        kDialogFont,
        9,
        {
            {IDC_CONNECT, ItemKind::PushButton, "connect", Default | TabStop, 198, 7, 30, 12},
            {IDC_BMP, ItemKind::PushButton, "bmp", Disabled | TabStop, 207, 24, 32, 12},
            {IDC_START, ItemKind::PushButton, "Brisolt", Disabled | TabStop, 198, 39, 33, 14},
            {IDC_INTERVAL, ItemKind::Edit, "", Border | AutoHScroll | TabStop, 218, 66, 30, 12},
            {IDC_SPAN, ItemKind::Edit, "", Border | AutoHScroll | TabStop, 218, 84, 30, 12},
            {IDC_USE_SLEEP, ItemKind::CheckBox, "use sleep", TabStop, 197, 117, 47, 10},
            {IDC_SUSPEND_END, ItemKind::CheckBox, "suspend end", TabStop, 197, 130, 47, 8},
            {IDC_CFG, ItemKind::PushButton, "cfg", Disabled | TabStop, 211, 100, 24, 13},
            {IDOK, ItemKind::PushButton, "OK", Hidden | Disabled | TabStop, 225, 156, 11, 8},
            {IDCANCEL, ItemKind::PushButton, "cl", Hidden | TabStop, 239, 155, 9, 9},
            {IDC_TST, ItemKind::PushButton, "tst", Hidden | TabStop, 201, 145, 14, 8},
            {IDC_FRAMES, ItemKind::Static, "frm:", None, 198, 54, 50, 8},
            {kNoId, ItemKind::Static, "itv s", None, 200, 68, 14, 9},
            {kNoId, ItemKind::Static, "spn s", None, 199, 86, 17, 9},
            {IDC_STOP, ItemKind::PushButton, "stop", Disabled | TabStop, 232, 39, 16, 14},
            {IDC_DISCONNECT, ItemKind::PushButton, "discn", Disabled | TabStop, 229, 7, 19, 12},
        },
        320,
        240,
    };
    return t;
}

const DialogTemplate& SetupPanelTemplate() {
    static const DialogTemplate t{
        IDD_SETUP,
        "Brisolt setup",
        DialogStyle::ToolWindow,
        199,
        95,
        kDialogFont,
        9,
        {
            {IDOK, ItemKind::PushButton, "close", Default | Hidden | TabStop, 164, 76, 28, 12},
            {IDCANCEL, ItemKind::PushButton, "\xEF\xBD\xB7\xEF\xBD\xAC\xEF\xBE\x9D\xEF\xBD\xBE\xEF\xBE\x99",  // ｷｬﾝｾﾙ
             Hidden | Disabled | TabStop, 168, 63, 24, 9},
            {kNoId, ItemKind::Static, "select driver", None, 7, 7, 38, 8},
            {IDC_DRIVER_LIST, ItemKind::ListBox, "", Border | VScroll | Notify | TabStop, 7, 19,
             185, 11},
            {kNoId, ItemKind::Static, "preview rate", None, 7, 33, 37, 8},
            {IDC_PREVIEW_RATE, ItemKind::TrackBar, "", TicksTop | SelRange | TabStop, 7, 44, 107,
             14},
            {IDC_PREVIEW_RATE_TEXT, ItemKind::Static, "ms", RightAlign, 113, 51, 35, 8},
            {IDC_STANDBY, ItemKind::Edit, "", Border | RightAlign | TabStop, 7, 76, 40, 12},
            {kNoId, ItemKind::Static, "standby time", None, 7, 65, 39, 8},
            {IDC_STANDBY_UNIT, ItemKind::Static, "s", None, 50, 78, 8, 8},
            {IDC_FLIP, ItemKind::CheckBox, "flip text", TabStop, 68, 80, 42, 8},
            {IDC_PLACEMENT, ItemKind::TriStateButton, "text on", TabStop, 68, 67, 31, 10},
            {IDC_SIZE_PER_FILE, ItemKind::Edit, "", Border | RightAlign | AutoHScroll | TabStop,
             108, 79, 38, 9},
            {kNoId, ItemKind::Static, "size/file", None, 109, 67, 41, 8},
            {IDC_MB_UNIT, ItemKind::Static, "MB", RightAlign, 146, 80, 11, 8},
        },
    };
    return t;
}

namespace {
std::map<UINT, std::optional<QString>>& Overrides() {
    static std::map<UINT, std::optional<QString>> overrides;
    return overrides;
}
}  // namespace

QString LookupString(UINT id) {
    auto& overrides = Overrides();
    if (auto it = overrides.find(id); it != overrides.end() && it->second)
        return *it->second;
    switch (id) {
    case IDS_ABOUTBOX:
        return QStringLiteral("Brisolt version info(&A)...");
    case IDS_SETUP:
        return QStringLiteral("etc setup(&e)");
    default:
        return QString();
    }
}

void OverrideString(UINT id, std::optional<QString> text) {
    if (text)
        Overrides()[id] = std::move(text);
    else
        Overrides().erase(id);
}

QIcon ApplicationIcon() {
    // The resources live in the static library; make sure they are registered even when
    // nothing else of this file was pulled in by the linker yet.
    static const bool registered = [] {
        Q_INIT_RESOURCE(brisolt);
        return true;
    }();
    (void)registered;
    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/brisolt32.png"), QSize(32, 32));
    icon.addFile(QStringLiteral(":/icons/brisolt16.png"), QSize(16, 16));
    return icon;
}

const VersionRecord& ProgramVersion() {
    static const VersionRecord v{BRISOLT_VERSION_MAJOR, BRISOLT_VERSION_MINOR,
                                 BRISOLT_VERSION_PATCH, BRISOLT_VERSION_TWEAK, "Brisolt", 0x0411,
                                 0x04b0};
    return v;
}

QString VersionText() {
    const auto& v = ProgramVersion();
    return QStringLiteral("%1, %2, %3, %4").arg(v.major).arg(v.minor).arg(v.patch).arg(v.tweak);
}
