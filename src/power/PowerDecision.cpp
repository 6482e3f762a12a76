// The suspend decision, the wake due time and the other power steps of a run.
#include "power/PowerDecision.h"

#include <QLoggingCategory>

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

FILETIME WakeDueTime(std::int64_t nowUtcSeconds, std::int32_t intervalSeconds,
                     std::int32_t standbySeconds) {
    // Computed on UTC seconds throughout: a detour through local calendar time would shift the
    // wake-up by an hour when a daylight-saving switch lies between now and the wake time.
    const std::int64_t wakeUtcSeconds =
        nowUtcSeconds + (std::int64_t{intervalSeconds} - std::int64_t{standbySeconds});
    return UnixSecondsToFileTime(wakeUtcSeconds);
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
    const FILETIME due =
        WakeDueTime(inputs.nowUtcSeconds, inputs.intervalSeconds, inputs.standbySeconds);

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
