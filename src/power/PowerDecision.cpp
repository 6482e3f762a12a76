// The suspend decision, the wake due time and the other power steps of a run.
#include "power/PowerDecision.h"

#include <QLoggingCategory>

#include <algorithm>
#include <chrono>

#include "platform/power/PowerTypes.h"
#include "power/WakeTimer.h"

namespace {
Q_LOGGING_CATEGORY(lcPower, "brisolt.power", QtInfoMsg)
}

std::int64_t CurrentUtcSeconds() {
    using namespace std::chrono;
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

bool IntervalAllowsSleep(std::int32_t intervalSeconds, std::int32_t standbySeconds) {
    // Signed 32-bit products, wrapping like the platform's arithmetic would if the inputs
    // were ever out of their accepted ranges (which keep both well inside 32 bits).
    const auto intervalMs = static_cast<std::int32_t>(std::int64_t{intervalSeconds} * 1000);
    const auto threeStandbysMs = static_cast<std::int32_t>(std::int64_t{standbySeconds} * 3000);
    return intervalMs >= threeStandbysMs;
}

FILETIME WakeDueTime(std::int64_t nowUtcSeconds, std::int64_t secondsToNext,
                     std::int32_t standbySeconds) {
    // Computed on UTC seconds throughout: a detour through local calendar time would shift the
    // wake-up by an hour when a daylight-saving switch lies between now and the wake time.
    const std::int64_t wakeUtcSeconds =
        nowUtcSeconds + (secondsToNext - std::int64_t{standbySeconds});
    return UnixSecondsToFileTime(wakeUtcSeconds);
}

bool RunEndAllowsSleep(std::int64_t runEndsInMs, std::int32_t standbySeconds) {
    return runEndsInMs < 0 || runEndsInMs >= std::int64_t{standbySeconds} * 3000;
}

std::int64_t SecondsToNext(std::int32_t intervalSeconds, std::int64_t runEndsInMs) {
    return runEndsInMs < 0 ? intervalSeconds
                           : std::min<std::int64_t>(intervalSeconds, runEndsInMs / 1000);
}

SleepOutcome SuspendUntilNextFrameAt(PowerServices* power, const FrameSleepInputs& inputs) {
    if (!power) {
        return SleepOutcome::NoServices;
    }
    if (!IntervalAllowsSleep(inputs.intervalSeconds, inputs.standbySeconds)) {
        return SleepOutcome::IntervalTooShort;
    }
    if (!inputs.useSleepChecked || !inputs.useSleepChecked()) {
        return SleepOutcome::SleepUnchecked;
    }
    // The end of the run is something to wake for too: it closes the last file and may
    // hibernate. A computer that slept through it, armed only for a frame that will never be
    // taken, would end the run late, after one more suspend. So the wake-up comes standby
    // seconds before whichever is first, and the same bound as for the interval holds: no
    // suspend unless it is at least three standby times away, so that the sleep lasts at
    // least twice the standby time. After the last frame of a span that usually means
    // staying awake until the run ends, since the end is rarely that far away.
    if (!RunEndAllowsSleep(inputs.runEndsInMs, inputs.standbySeconds)) {
        return SleepOutcome::RunEndsTooSoon;
    }
    const FILETIME due =
        WakeDueTime(inputs.nowUtcSeconds, SecondsToNext(inputs.intervalSeconds, inputs.runEndsInMs),
                    inputs.standbySeconds);

    // The newest handle replaces the previous one; the timer object itself stays shared.
    // The services warn of each failure themselves, once; these lines are for debugging.
    wakeTimer = power->CreateWaitableTimer(kWakeTimerName);
    if (!wakeTimer) {
        qCDebug(lcPower) << "wake timer could not be created; staying awake";
        return SleepOutcome::NoTimer;
    }
    // Nothing would wake the computer for the next frame, so it must not sleep at all.
    if (!power->SetWaitableTimer(wakeTimer, due, WakeTimerApc, nullptr)) {
        qCDebug(lcPower) << "wake timer could not be armed; staying awake";
        return SleepOutcome::TimerNotArmed;
    }
    if (!power->Suspend()) {
        qCDebug(lcPower) << "suspend request refused";
        return SleepOutcome::SuspendRefused;
    }
    return SleepOutcome::Suspended;
}

void RaiseWakePrivilege(PowerServices* power) {
    if (power && !power->EnableWakePrivilege()) {
        qCDebug(lcPower) << "wake privilege not available";
    }
}

void HibernateNow(PowerServices* power) {
    if (power && !power->Hibernate()) {
        qCDebug(lcPower) << "hibernation request refused";
    }
}
