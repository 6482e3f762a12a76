// The power steps of a run as plain functions over the power services: wake privilege at
// start-up, the suspend between frames, hibernation.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/power/PowerServices.h"

// The current time in whole seconds since 1970, UTC.
std::int64_t CurrentUtcSeconds();

// True when the interval leaves room to sleep: the interval in ms is at least three times
// the standby time in ms, both as signed 32-bit products.
bool IntervalAllowsSleep(std::int32_t intervalSeconds, std::int32_t standbySeconds);

// The absolute UTC due time of the wake-up after a frame taken at nowUtcSeconds: standby
// seconds before what comes next (the next frame, or the end of the run), secondsToNext after
// the frame, on a whole second.
FILETIME WakeDueTime(std::int64_t nowUtcSeconds, std::int64_t secondsToNext,
                     std::int32_t standbySeconds);

// True when the end of the run, runEndsInMs away (negative: no end set), leaves room to
// sleep: it is at least three times the standby time away, as the interval must be.
bool RunEndAllowsSleep(std::int64_t runEndsInMs, std::int32_t standbySeconds);

// The seconds from a frame to whichever comes first, the next frame or the end of the run
// (runEndsInMs away, rounded down to whole seconds; negative: no end set).
std::int64_t SecondsToNext(std::int32_t intervalSeconds, std::int64_t runEndsInMs);

// What the suspend step reads. useSleepChecked reads the "use sleep" box; it is called only
// once the interval test has passed.
struct FrameSleepInputs {
    std::int64_t nowUtcSeconds = 0;
    std::int32_t intervalSeconds = 0;
    std::int32_t standbySeconds = 0;
    std::function<bool()> useSleepChecked;
    // How long until the run's span ends, by the span timer; negative when no end is set.
    std::int64_t runEndsInMs = -1;
};

enum class SleepOutcome {
    NoServices,        // no power services: nothing done
    IntervalTooShort,  // interval below three times the standby time
    SleepUnchecked,    // "use sleep" is off
    RunEndsTooSoon,    // the run ends less than three times the standby time from now
    NoTimer,           // the wake timer could not be created: no suspend
    TimerNotArmed,     // the wake timer could not be armed: no suspend
    SuspendRefused,    // armed, but the suspend request was refused
    Suspended,         // armed and the suspend request accepted
};

// After a frame: arms the wake timer "wuptm1" (kept in wakeTimer) for standby seconds before
// the next frame, or before the end of the run where that comes first, and suspends the
// computer. The computer is never suspended without an armed
// wake-up. Returns once the suspend call has returned.
SleepOutcome SuspendUntilNextFrameAt(PowerServices* power, const FrameSleepInputs& inputs);

// Raises the wake privilege; a failure is only logged.
void RaiseWakePrivilege(PowerServices* power);

// Hibernates the computer; a failure is only logged.
void HibernateNow(PowerServices* power);
