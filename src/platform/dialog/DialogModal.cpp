// CDialog: the modal and the modeless run, OK and Cancel, and the application's main window.
#include "platform/dialog/Dialog.h"

#include <QEventLoop>
#include <QPointer>

CDialog::CDialog(const DialogTemplate& tmpl, QWidget* parent) : CWnd(tmpl, parent) {}

void CDialog::InitDialog() {
    CreateControls();
    if (SendMessage(WM_INITDIALOG)) {
        for (QWidget* w : TabOrder()) {
            if (w->focusPolicy() != Qt::NoFocus && !w->isHidden() && w->isEnabled()) {
                w->setFocus(Qt::OtherFocusReason);
                break;
            }
        }
    }
}

namespace {
QPointer<CWnd>& MainWnd() {
    static QPointer<CWnd> window;
    return window;
}
}  // namespace

void AfxSetMainWnd(CWnd* window) { MainWnd() = window; }
CWnd* AfxGetMainWnd() { return MainWnd().data(); }

void CDialog::BeginModal() {
    modal_ = true;
    InitDialog();
    // A dialog without a parent is owned by the application's main window, as on the
    // desktop this comes from: the about box blocks the main window while it runs.
    QWidget* owner = parentWidget();
    CWnd* main = AfxGetMainWnd();
    if (!owner && main && main != this) {
        setParent(main, windowFlags());
        owner = main;
    }
    // The window is modal to its owner only: the other top-level windows of the program
    // (the setup panel) stay usable.
    setWindowModality(owner ? Qt::WindowModal : Qt::NonModal);
}

void CDialog::InitForTest() {
    BeginModal();
    show();
}

int CDialog::DoModal() {
    BeginModal();
    QEventLoop loop;
    connect(this, &QDialog::finished, &loop, &QEventLoop::quit);
    show();
    loop.exec(QEventLoop::DialogExec);
    modal_ = false;
    return result();
}

BOOL CDialog::Create() {
    modal_ = false;
    InitDialog();
    if (Template().style & DialogStyle::Visible)
        show();
    return TRUE;
}

void CDialog::EndDialog(int result) {
    if (modal_)
        QDialog::done(result);
    else
        hide();
}

BOOL CDialog::OnInitDialog() { return TRUE; }

LRESULT CDialog::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG)
        return OnInitDialog();
    return CWnd::WindowProc(message, wParam, lParam);
}
void CDialog::OnOK() { EndDialog(IDOK); }
void CDialog::OnCancel() { EndDialog(IDCANCEL); }

BOOL CDialog::OnCommand(WPARAM wParam, LPARAM) {
    if (HIWORD(wParam) != BN_CLICKED)
        return FALSE;
    if (LOWORD(wParam) == IDOK) {
        OnOK();
        return TRUE;
    }
    if (LOWORD(wParam) == IDCANCEL) {
        OnCancel();
        return TRUE;
    }
    return FALSE;
}

void CDialog::reject() { SendMessage(WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0); }
void CDialog::accept() { SendMessage(WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0); }
