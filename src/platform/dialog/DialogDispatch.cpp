// Message dispatch: SendMessage through the message map, and the framework's default handling.
#include "platform/dialog/Dialog.h"

MessageMapEntry ON_DEFAULT(UINT message) {
    return {message, 0, -1, [](CWnd& w, WPARAM, LPARAM) { return w.Default(); }};
}

const MessageMap& CWnd::GetMessageMap() const {
    static const MessageMap empty;
    return empty;
}

LRESULT CWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    messageStack_.push_back({message, wParam, lParam});
    const LRESULT result = WindowProc(message, wParam, lParam);
    messageStack_.pop_back();
    return result;
}

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    for (const MessageMapEntry& entry : GetMessageMap()) {
        if (entry.message != message)
            continue;
        if (message == WM_COMMAND &&
            (entry.code != HIWORD(wParam) ||
             (entry.id >= 0 && static_cast<UINT>(entry.id) != LOWORD(wParam))))
            continue;
        return entry.handler(*this, wParam, lParam);
    }
    if (message == WM_COMMAND && OnCommand(wParam, lParam))
        return 0;
    return DefWindowProc(message, wParam, lParam);
}

BOOL CWnd::OnCommand(WPARAM, LPARAM) { return FALSE; }

LRESULT CWnd::Default() {
    if (messageStack_.empty())
        return 0;
    const CurrentMessage m = messageStack_.back();
    return DefWindowProc(m.message, m.wParam, m.lParam);
}

LRESULT CWnd::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_SETICON: {
        const auto* icon = reinterpret_cast<const QIcon*>(lParam);
        if (icon)
            setWindowIcon(*icon);
        (void)wParam;
        return 0;
    }
    case WM_CLOSE:
        // A dialog's close box is its cancel command.
        SendMessage(WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        return 0;
    case WM_SYSCOMMAND:
        switch (static_cast<UINT>(wParam) & 0xFFF0u) {
        case SC_CLOSE:
            SendMessage(WM_CLOSE);
            break;
        case SC_MINIMIZE:
            showMinimized();
            break;
        case SC_RESTORE:
            showNormal();
            break;
        default:
            break;
        }
        return 0;
    case WM_PAINT:
        PaintDefault();
        return 0;
    case WM_QUERYENDSESSION:
        return TRUE;
    default:
        return 0;
    }
}
