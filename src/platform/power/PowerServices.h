// The power services the recorder uses: wake privilege, the named wake timer, suspend and
// hibernate. The real implementation is LinuxPowerServices; tests install a fake.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <utility>

#include "platform/WinTypes.h"

// An absolute time in 100-nanosecond units since 1 January 1601 (UTC or local, as named).
struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

// Completion routine of a wake timer: an argument pointer and the two halves of the time at
// which the timer fired.
using WakeTimerApcProc = void (*)(void* argument, DWORD timerLowValue, DWORD timerHighValue);

// One handle to a named wake timer. Handles opened on the same name share one timer object.
class WakeTimerObject;
using WakeTimerHandle = std::shared_ptr<WakeTimerObject>;

// The steps whose failures the main window reports, and how a step failed.
enum class PowerStep { WakePrivilege, WakeTimer, Suspend, Hibernate };
enum class PowerRefusal {
    None,
    NotPermitted,  // this process lacks the privilege (CAP_WAKE_ALARM)
    Unavailable,   // the service cannot be reached (no system bus, no alarm clock)
    Refused,       // the service said no; its message is the text
};
struct PowerProblem {
    PowerRefusal refusal = PowerRefusal::None;
    std::string text;  // the service's or the system's own message
};

class PowerServices {
public:
    virtual ~PowerServices() = default;

    // How the latest call of a step ended: None when it succeeded or was never made.
    const PowerProblem& LastProblem(PowerStep step) const {
        return problems_[static_cast<std::size_t>(step)];
    }

    // Raises the privilege that arming a wake-up alarm needs. False when it cannot be had.
    virtual bool EnableWakePrivilege() = 0;

    // Creates the timer of that name, or opens the existing one again; a new handle either
    // way, or nullptr on failure.
    virtual WakeTimerHandle CreateWaitableTimer(const char* name) = 0;

    // Arms the timer to fire once at an absolute UTC due time, waking a suspended computer,
    // and to run the completion routine on the UI thread when it fires. False when the timer
    // could not be armed (then it cannot wake the computer either).
    virtual bool SetWaitableTimer(const WakeTimerHandle& timer, const FILETIME& dueTimeUtc,
                                  WakeTimerApcProc completion, void* argument) = 0;

    virtual bool CancelWaitableTimer(const WakeTimerHandle& timer) = 0;

    // Suspends the computer. Returns once it has resumed, or once it is clear that it did not
    // sleep. False when the request was refused or could not be made.
    virtual bool Suspend() = 0;

    // Hibernates the computer; returns after the resume, or false when refused.
    virtual bool Hibernate() = 0;

protected:
    // Records how a step failed; true when that differs from how it failed last time, so
    // that a refusal repeated after every frame is logged once.
    bool ReportProblem(PowerStep step, PowerRefusal refusal, std::string text = {}) {
        PowerProblem& last = problems_[static_cast<std::size_t>(step)];
        const bool changed = last.refusal != refusal || last.text != text;
        last = PowerProblem{refusal, std::move(text)};
        return changed;
    }
    void ClearProblem(PowerStep step) { problems_[static_cast<std::size_t>(step)] = {}; }

private:
    std::array<PowerProblem, 4> problems_{};
};
