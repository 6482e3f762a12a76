// The process-wide wake-timer handle and the routine that runs when the timer fires.
#include "power/WakeTimer.h"

#include "platform/power/PowerTypes.h"

WakeTimerHandle wakeTimer;

void WakeTimerApc(void* /*argument*/, DWORD /*timerLowValue*/, DWORD /*timerHighValue*/) {
    // Hold our own reference: cancelling must not lose the handle if wakeTimer is replaced
    // while the services work on it.
    const WakeTimerHandle timer = wakeTimer;
    if (timer && timer->Owner()) {
        timer->Owner()->CancelWaitableTimer(timer);
    }
}
