// A recording stand-in for the power services: logs every call in order, returns configured
// results and never touches the machine.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/power/PowerServices.h"
#include "platform/power/PowerTypes.h"

class FakePowerServices : public PowerServices {
public:
    // What each call returns. CreateWaitableTimer returns nullptr when createWaitableTimer
    // is false.
    struct Results {
        bool enableWakePrivilege = true;
        bool createWaitableTimer = true;
        bool setWaitableTimer = true;
        bool cancelWaitableTimer = true;
        bool suspend = true;
        bool hibernate = true;
        // How a refused suspend or hibernation is reported.
        PowerRefusal refusal = PowerRefusal::Refused;
        std::string refusalText = "Access denied";
        // How a wake timer that cannot be armed is reported.
        PowerRefusal wakeTimerRefusal = PowerRefusal::NotPermitted;
        std::string wakeTimerText = "CAP_WAKE_ALARM is not in effect";
    };

    // One entry per call, in order:
    //   "EnableWakePrivilege"
    //   "CreateWaitableTimer <name>"
    //   "SetWaitableTimer <due>"        (due: the FILETIME as one decimal 64-bit number)
    //   "CancelWaitableTimer <name>"
    //   "Suspend"
    //   "Hibernate"
    std::vector<std::string> calls;
    Results results;
    // Called after each entry is recorded, before the call returns, so a test can look at the
    // rest of the program at that moment (for instance a window title when hibernating).
    std::function<void(const std::string& call)> onCall;

    // Every handle handed out, oldest first.
    std::vector<WakeTimerHandle> createdHandles;
    // The arguments of the last SetWaitableTimer call, successful or not.
    WakeTimerHandle lastSetHandle;
    FILETIME lastDueTime{};
    WakeTimerApcProc lastCompletion = nullptr;
    void* lastArgument = nullptr;

    bool EnableWakePrivilege() override;
    WakeTimerHandle CreateWaitableTimer(const char* name) override;
    bool SetWaitableTimer(const WakeTimerHandle& timer, const FILETIME& dueTimeUtc,
                          WakeTimerApcProc completion, void* argument) override;
    bool CancelWaitableTimer(const WakeTimerHandle& timer) override;
    bool Suspend() override;
    bool Hibernate() override;

    // Whether the timer of that name is armed: set successfully and neither fired nor
    // cancelled since.
    bool IsArmed(const std::string& name) const;
    // Fires the armed timer of that name as the platform would: disarms it and runs its
    // completion routine with the due time. False when it was not armed.
    bool FireTimer(const std::string& name);

    // The number of calls recorded that start with the given text.
    int CountCalls(const std::string& prefix) const;

    static std::string DueText(const FILETIME& due);

private:
    struct Timer {
        bool armed = false;
        FILETIME due{};
        WakeTimerApcProc completion = nullptr;
        void* argument = nullptr;
    };
    class Handle;

    void Record(std::string call);
    Timer* TimerOf(const WakeTimerHandle& handle);

    std::map<std::string, std::shared_ptr<Timer>> timers_;
};
