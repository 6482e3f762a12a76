// The about box: program name, version and a notice line.
#pragma once

#include "platform/dialog/Dialog.h"

class CAboutDlg : public CDialog {
    Q_OBJECT
public:
    CAboutDlg();
};
