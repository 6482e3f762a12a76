// Tool tips of the main window and the setup panel. The labels are short and keep their
// old wording; the tips say what they mean.
#include "res/ToolTips.h"

#include <string>

#include "common/Ids.h"
#include "platform/dialog/Dialog.h"

namespace {

QString MainWindowTip(const DialogItem& item) {
    switch (item.id) {
    case IDC_CONNECT:
        return QStringLiteral("Connects to the capture driver selected on the setup panel "
                              "(right-click here or Alt+Space, then \"etc setup\") and shows its "
                              "live picture on the left.");
    case IDC_DISCONNECT:
        return QStringLiteral("Disconnects the driver and releases the device. Not during a "
                              "run: stop the run first.");
    case IDC_BMP:
        return QStringLiteral("Saves the current picture as a bitmap, brslt000.bmp to "
                              "brslt999.bmp (the first free number), in the current directory.");
    case IDC_START:
        return QStringLiteral("Starts a run: one frame at once, then one every interval, into "
                              "brslt000.avi to brslt999.avi (the first free number) in the "
                              "current directory, until the span has passed.");
    case IDC_STOP:
        return QStringLiteral("Stops the run and finishes its file; the driver stays connected. "
                              "The computer is not hibernated.");
    case IDC_FRAMES:
        return QStringLiteral("Frames grabbed in this run, a failed one included; the window "
                              "title shows the time of the last one.");
    case IDC_INTERVAL:
        return QStringLiteral("Seconds between frames, 1 to 2147482; a refused value keeps the "
                              "one in effect (shown again at the next repaint). Applies at the "
                              "next start.");
    case IDC_SPAN:
        return QStringLiteral("Length of a run in seconds, 1 to 2147482; a refused value keeps "
                              "the one in effect (shown again at the next repaint). Applies at "
                              "the next start.");
    case IDC_CFG:
        return QStringLiteral("Opens the driver's four dialogs one after another: source, "
                              "display, format and compression.");
    case IDC_USE_SLEEP:
        return QStringLiteral("Suspends the computer after each frame and wakes it the standby "
                              "time (setup panel) before the next one. Only when the interval "
                              "is at least 3 x standby and the wake privilege is granted (see "
                              "README).");
    case IDC_SUSPEND_END:
        return QStringLiteral("Hibernates the computer at the end of a run and after a capture "
                              "failure; not after stop.");
    case IDC_TST:
        return QStringLiteral("Does nothing.");
    case IDOK:
        return QStringLiteral("Not used.");
    case IDCANCEL:
        return QStringLiteral("Closes the program, as the close box and Escape do; the file of "
                              "a run is finished first.");
    default:
        break;
    }
    if (item.text == "itv s")
        return QStringLiteral("Interval: seconds between two frames of a run.");
    if (item.text == "spn s")
        return QStringLiteral("Span: the length of a run, in seconds.");
    return {};
}

QString SetupPanelTip(const DialogItem& item) {
    switch (item.id) {
    case IDOK:
        return QStringLiteral("Hides the panel.");
    case IDCANCEL:
        return QStringLiteral("Not used.");
    case IDC_DRIVER_LIST:
        return QStringLiteral("Capture drivers: the V4L2 cameras found, then a built-in test "
                              "pattern (at most 10). \"connect\" on the main window opens the "
                              "selected one.");
    case IDC_PREVIEW_RATE:
        return QStringLiteral("Preview period in milliseconds, 33 to 3000: the preview shows a "
                              "new picture this often. Locked during a run.");
    case IDC_PREVIEW_RATE_TEXT:
        return QStringLiteral("The preview period in milliseconds.");
    case IDC_STANDBY:
        return QStringLiteral("Standby time in seconds, 15 to 600: when the computer sleeps "
                              "between frames it is woken this long before each frame. A value "
                              "outside is refused and the one in effect stays.");
    case IDC_STANDBY_UNIT:
        return QStringLiteral("Seconds.");
    case IDC_FLIP:
        return QStringLiteral("Writes the time stamp's rows in reverse order. Checked for "
                              "pictures stored bottom row first (the usual case), so that the "
                              "text reads upright.");
    case IDC_PLACEMENT:
        return PlacementToolTip(BST_UNCHECKED);
    case IDC_SIZE_PER_FILE:
        return QStringLiteral("Size limit per AVI file in MB of 1000000 bytes, 1 to 2147; at "
                              "the limit a run goes on in the next numbered file. A value "
                              "outside is refused and the one in effect stays.");
    case IDC_MB_UNIT:
        return QStringLiteral("Megabytes of 1000000 bytes.");
    default:
        break;
    }
    if (item.text == "select driver")
        return QStringLiteral("The capture driver that \"connect\" opens.");
    if (item.text == "preview rate")
        return QStringLiteral("How often the preview shows a new picture.");
    if (item.text == "standby time")
        return QStringLiteral("How long before each frame a sleeping computer is woken.");
    if (item.text == "size/file")
        return QStringLiteral("The size limit of one AVI file.");
    return {};
}

}  // namespace

QString PreviewToolTip() {
    return AsToolTip(QStringLiteral(
        "The live picture of the driver, with the time stamp. Right-click for the window menu "
        "(etc setup, version info). Alt+Space opens it too, except on desktops that keep "
        "Alt+Space for their own window menu, as most Wayland desktops do."));
}

QString PlacementToolTip(UINT state) {
    const QString cycle = QStringLiteral(
        "Where the time stamp goes. Each click moves on: no text, then the lower band, then "
        "the upper band, then no text again; the label names what the next click brings. ");
    switch (state) {
    case BST_CHECKED:
        return cycle + QStringLiteral("Now: text in the lower band; next: the upper band.");
    case BST_INDETERMINATE:
        return cycle + QStringLiteral("Now: text in the upper band; next: no text.");
    default:
        return cycle + QStringLiteral("Now: no text; next: text in the lower band.");
    }
}

QString AsToolTip(const QString& plain) {
    return QStringLiteral("<p>") + plain.toHtmlEscaped() + QStringLiteral("</p>");
}

QString ControlToolTip(int templateId, const DialogItem& item) {
    if (templateId == IDD_CAPTURE_DIALOG)
        return MainWindowTip(item);
    if (templateId == IDD_SETUP)
        return SetupPanelTip(item);
    return {};
}

void ApplyToolTips(CWnd& window) {
    // The controls are named as the framework names them: "item<id>", and "static<n>" for
    // the n-th static without id in template order.
    int anonymous = 0;
    for (const DialogItem& item : window.Template().items) {
        const QString name = item.id >= 0 ? QStringLiteral("item%1").arg(item.id)
                                          : QStringLiteral("static%1").arg(++anonymous);
        const QString tip = ControlToolTip(window.Template().id, item);
        if (tip.isEmpty())
            continue;
        if (auto* widget = window.findChild<QWidget*>(name, Qt::FindDirectChildrenOnly))
            widget->setToolTip(AsToolTip(tip));
    }
}
