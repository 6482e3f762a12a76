// The recording power services used by the unit, widget and end-to-end tests.
#include "fakes/FakePowerServices.h"

class FakePowerServices::Handle : public WakeTimerObject {
public:
    Handle(FakePowerServices* owner, std::string name, std::shared_ptr<Timer> timer)
        : WakeTimerObject(owner, std::move(name)), timer_(std::move(timer)) {}
    Timer* Get() const { return timer_.get(); }

private:
    std::shared_ptr<Timer> timer_;
};

void FakePowerServices::Record(std::string call) {
    calls.push_back(std::move(call));
    if (onCall) {
        onCall(calls.back());
    }
}

FakePowerServices::Timer* FakePowerServices::TimerOf(const WakeTimerHandle& handle) {
    if (!handle || handle->Owner() != this) {
        return nullptr;
    }
    return static_cast<const Handle&>(*handle).Get();
}

std::string FakePowerServices::DueText(const FILETIME& due) {
    return std::to_string(FileTimeToTicks(due));
}

bool FakePowerServices::EnableWakePrivilege() {
    Record("EnableWakePrivilege");
    if (!results.enableWakePrivilege) {
        ReportProblem(PowerStep::WakePrivilege, PowerRefusal::NotPermitted,
                      "CAP_WAKE_ALARM is not permitted");
        return false;
    }
    ClearProblem(PowerStep::WakePrivilege);
    return true;
}

WakeTimerHandle FakePowerServices::CreateWaitableTimer(const char* name) {
    const std::string timerName = name ? name : "";
    Record("CreateWaitableTimer " + timerName);
    if (!results.createWaitableTimer) {
        return nullptr;
    }
    std::shared_ptr<Timer>& timer = timers_[timerName];
    if (!timer) {
        timer = std::make_shared<Timer>();
    }
    WakeTimerHandle handle = std::make_shared<Handle>(this, timerName, timer);
    createdHandles.push_back(handle);
    return handle;
}

bool FakePowerServices::SetWaitableTimer(const WakeTimerHandle& timer, const FILETIME& dueTimeUtc,
                                         WakeTimerApcProc completion, void* argument) {
    Record("SetWaitableTimer " + DueText(dueTimeUtc));
    lastSetHandle = timer;
    lastDueTime = dueTimeUtc;
    lastCompletion = completion;
    lastArgument = argument;
    Timer* state = TimerOf(timer);
    if (!results.setWaitableTimer || !state) {
        ReportProblem(PowerStep::WakeTimer, results.wakeTimerRefusal, results.wakeTimerText);
        return false;
    }
    ClearProblem(PowerStep::WakeTimer);
    state->armed = true;
    state->due = dueTimeUtc;
    state->completion = completion;
    state->argument = argument;
    return true;
}

bool FakePowerServices::CancelWaitableTimer(const WakeTimerHandle& timer) {
    Record("CancelWaitableTimer " + (timer ? timer->Name() : std::string()));
    Timer* state = TimerOf(timer);
    if (!results.cancelWaitableTimer || !state) {
        return false;
    }
    state->armed = false;
    return true;
}

bool FakePowerServices::Suspend() {
    Record("Suspend");
    if (!results.suspend) {
        ReportProblem(PowerStep::Suspend, results.refusal, results.refusalText);
        return false;
    }
    ClearProblem(PowerStep::Suspend);
    return true;
}

bool FakePowerServices::Hibernate() {
    Record("Hibernate");
    if (!results.hibernate) {
        ReportProblem(PowerStep::Hibernate, results.refusal, results.refusalText);
        return false;
    }
    ClearProblem(PowerStep::Hibernate);
    return true;
}

bool FakePowerServices::IsArmed(const std::string& name) const {
    const auto found = timers_.find(name);
    return found != timers_.end() && found->second->armed;
}

bool FakePowerServices::FireTimer(const std::string& name) {
    const auto found = timers_.find(name);
    if (found == timers_.end() || !found->second->armed) {
        return false;
    }
    Timer& timer = *found->second;
    timer.armed = false;
    if (timer.completion) {
        timer.completion(timer.argument, timer.due.dwLowDateTime, timer.due.dwHighDateTime);
    }
    return true;
}

int FakePowerServices::CountCalls(const std::string& prefix) const {
    int count = 0;
    for (const std::string& call : calls) {
        if (call.compare(0, prefix.size(), prefix) == 0) {
            ++count;
        }
    }
    return count;
}
