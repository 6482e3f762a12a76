// The power services on Linux: CAP_WAKE_ALARM through libcap, the wake timer as an alarm
// timerfd, suspend and hibernation through systemd-logind on the system bus.
#pragma once

#include <QString>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "platform/power/PowerServices.h"

class LinuxPowerServices : public PowerServices {
public:
    struct Options {
        // How long one call to logind may take before it counts as refused.
        int dbusTimeoutMs = 3000;
        // After logind accepted a suspend or hibernation: how long to wait for the machine to
        // go to sleep and come back before deciding that it did not sleep.
        int sleepWaitMs = 10000;
        // Step of that wait.
        int sleepPollMs = 100;
        // Where the wait reads the time spent suspended since boot; SuspendedNanoseconds when
        // empty. Tests put a clock here that jumps as a resume would make the real one jump.
        std::function<std::int64_t()> suspendedClock;
    };

    // Reads DBUS_SYSTEM_BUS_ADDRESS now; later changes of the environment do not apply.
    LinuxPowerServices();
    explicit LinuxPowerServices(const Options& options);
    ~LinuxPowerServices() override;
    LinuxPowerServices(const LinuxPowerServices&) = delete;
    LinuxPowerServices& operator=(const LinuxPowerServices&) = delete;

    // Raises CAP_WAKE_ALARM from the permitted into the effective set of the calling thread
    // (capabilities are per thread, so call it on the UI thread that arms the timer).
    bool EnableWakePrivilege() override;
    WakeTimerHandle CreateWaitableTimer(const char* name) override;
    // Fails when no alarm timer can be had (no CAP_WAKE_ALARM in effect, no alarm clock in the
    // kernel). The timer's notifier belongs to the thread that first arms it: the UI thread.
    bool SetWaitableTimer(const WakeTimerHandle& timer, const FILETIME& dueTimeUtc,
                          WakeTimerApcProc completion, void* argument) override;
    bool CancelWaitableTimer(const WakeTimerHandle& timer) override;
    // Both wait without running an event loop: until the machine has resumed, or at most
    // sleepWaitMs after logind accepted the request.
    bool Suspend() override;
    bool Hibernate() override;

    const QString& SystemBusAddress() const { return busAddress_; }

    // How often the timer has expired since it was created, as seen on the UI thread; an
    // arming that was cancelled in time never counts.
    std::uint64_t Expirations(const WakeTimerHandle& timer) const;

    // Time the machine has spent suspended since boot, in nanoseconds.
    static std::int64_t SuspendedNanoseconds();

private:
    struct TimerState;
    class Handle;

    TimerState* StateOf(const WakeTimerHandle& timer) const;
    bool RequestSleep(const char* method);
    bool CallLogind(const char* method);
    bool WaitUntilResumed(std::int64_t suspendedBeforeNs) const;
    std::int64_t SuspendedNow() const;

    Options options_;
    QString busAddress_;
    int connectionSerial_ = 0;
    // One timer object per name, alive while any handle to it is.
    std::map<std::string, std::weak_ptr<TimerState>> timers_;
};
