// The about box, built from its template; it has no handlers of its own.
#include "app/AboutDlg.h"

#include "res/Resources.h"

CAboutDlg::CAboutDlg() : CDialog(AboutBoxTemplate(), nullptr) {}
