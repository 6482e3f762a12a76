// Timer ids and control ids of the main window and the setup panel.
#pragma once

#include "platform/dialog/Messages.h"

enum CaptureState : int {
    Disconnected = 0,
    Connected = 1,
    Capturing = 2,
};

// Window timers of the main window. TIMER_PREVIEW_RATE is never set as a timer: the setup
// panel sends it as a timer message when its slider moves.
constexpr UINT TIMER_FRAME = 2;
constexpr UINT TIMER_SPAN = 22;
constexpr UINT TIMER_PREVIEW_RATE = 123;

// Main window, template 102.
enum MainControlId : int {
    IDC_TST = 1000,
    IDC_CONNECT = 1001,
    IDC_START = 1002,
    IDC_INTERVAL = 1003,
    IDC_SPAN = 1004,
    IDC_STOP = 1005,
    IDC_BMP = 1006,
    IDC_CFG = 1007,
    IDC_FRAMES = 1008,
    IDC_USE_SLEEP = 1009,
    IDC_SUSPEND_END = 1010,
    IDC_DISCONNECT = 1013,
};

// Setup panel, template 129.
enum SetupControlId : int {
    IDC_DRIVER_LIST = 1012,
    IDC_PREVIEW_RATE = 1015,
    IDC_PREVIEW_RATE_TEXT = 1016,
    IDC_STANDBY = 1003,
    IDC_SIZE_PER_FILE = 1004,
    IDC_FLIP = 1009,
    IDC_PLACEMENT = 1010,
    IDC_STANDBY_UNIT = 1018,
    IDC_MB_UNIT = 1019,
};

// Child id of the capture window inside the main window.
constexpr int IDC_CAPTURE_WINDOW = 22;

// Resource ids.
constexpr int IDD_ABOUTBOX = 100;
constexpr int IDD_CAPTURE_DIALOG = 102;
constexpr int IDD_SETUP = 129;
constexpr int IDR_MAINFRAME = 128;
constexpr int IDS_ABOUTBOX = 101;
constexpr int IDS_SETUP = 102;

// System-menu commands.
constexpr UINT IDM_ABOUTBOX = 0x0010;
constexpr UINT IDM_SETUP = 0x0020;
