// The process-wide wake timer "wuptm1" and its completion routine.
#pragma once

#include "platform/power/PowerServices.h"

// The name under which every suspend creates or reopens the one wake timer.
inline constexpr const char* kWakeTimerName = "wuptm1";

// The handle that the latest suspend created; it replaces the one before. UI thread only.
extern WakeTimerHandle wakeTimer;

// Runs on the UI thread when the wake timer fires: cancels the timer held in wakeTimer so
// that it cannot fire again. The argument and the firing time are not used.
void WakeTimerApc(void* argument, DWORD timerLowValue, DWORD timerHighValue);
