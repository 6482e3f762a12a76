// Power steps of a run: wake privilege at start-up, suspend between frames, hibernation.
#include "app/CaptureDlg.h"
#include "common/CaptureSettings.h"
#include "common/Ids.h"
#include "power/PowerDecision.h"

void CCaptureDlg::EnableShutdownPrivilege() {
    RaiseWakePrivilege(GetPlatform().power);
}

void CCaptureDlg::SuspendUntilNextFrame() {
    FrameSleepInputs inputs;
    inputs.nowUtcSeconds = CurrentUtcSeconds();
    inputs.intervalSeconds = intervalSeconds;
    inputs.standbySeconds = captureSettings.standbySeconds;
    inputs.runEndsInMs = TimerDueMs(TIMER_SPAN);
    inputs.useSleepChecked = [this] { return IsDlgButtonChecked(IDC_USE_SLEEP) == BST_CHECKED; };
    statusLine.SleepDone(SuspendUntilNextFrameAt(GetPlatform().power, inputs));
}

void CCaptureDlg::HibernateComputer() {
    HibernateNow(GetPlatform().power);
    statusLine.HibernateDone();
}
