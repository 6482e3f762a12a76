// The wake timer of the Linux power services on a real alarm timerfd, and what happens
// without CAP_WAKE_ALARM.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <sys/capability.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/power/LinuxPowerServices.h"
#include "platform/power/PowerTypes.h"
#include "power/PowerDecision.h"
#include "power/WakeTimer.h"

namespace {

// Why alarm timers cannot be tested here, or empty when they can. Raises the wake privilege
// through the services first, as the program does at start-up.
std::string AlarmTimersUnavailable(LinuxPowerServices& services) {
    services.EnableWakePrivilege();
    const int fd = timerfd_create(CLOCK_REALTIME_ALARM, TFD_CLOEXEC);
    if (fd >= 0) {
        close(fd);
        return {};
    }
    const int error = errno;
    if (error == EINVAL || error == ENODEV) {
        return "the kernel has no CLOCK_REALTIME_ALARM support: " + std::string(strerror(error));
    }
    return "CLOCK_REALTIME_ALARM not usable: " + std::string(strerror(error));
}

// Now plus some milliseconds on the real-time clock, as a FILETIME.
FILETIME DueIn(int milliseconds) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const std::uint64_t ticks = kFileTimeUnixEpoch +
                                static_cast<std::uint64_t>(now.tv_sec) * 10000000ULL +
                                static_cast<std::uint64_t>(now.tv_nsec) / 100 +
                                static_cast<std::uint64_t>(milliseconds) * 10000ULL;
    return TicksToFileTime(ticks);
}

// What the completion routine saw.
struct Firings {
    int count = 0;
    bool onUiThread = false;
    qint64 atMs = -1;
    DWORD low = 0;
    DWORD high = 0;
    QElapsedTimer clock;
};
Firings firings;
// When set, the first firing arms the timer again before the program's routine runs, so that
// a test can see the routine's cancel take effect.
PowerServices* rearmOnFirstFiring = nullptr;

// Records the firing, then does what the program's routine does.
void RecordingApc(void* argument, DWORD low, DWORD high) {
    ++firings.count;
    firings.onUiThread = QThread::currentThread() == QCoreApplication::instance()->thread();
    firings.atMs = firings.clock.elapsed();
    firings.low = low;
    firings.high = high;
    if (rearmOnFirstFiring && firings.count == 1) {
        rearmOnFirstFiring->SetWaitableTimer(wakeTimer, DueIn(300), RecordingApc, nullptr);
    }
    WakeTimerApc(argument, low, high);
}

// Runs the event loop until the routine ran `count` times or the time is up.
void ProcessEventsUntil(int count, int limitMs) {
    QElapsedTimer waited;
    waited.start();
    while (firings.count < count && waited.elapsed() < limitMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
}

class WakeTimerTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string why = AlarmTimersUnavailable(services);
        if (!why.empty()) {
            GTEST_SKIP() << why;
        }
        firings = Firings{};
        firings.clock.start();
        wakeTimer.reset();
    }
    void TearDown() override {
        rearmOnFirstFiring = nullptr;
        wakeTimer.reset();
    }

    LinuxPowerServices services;
};

TEST_F(WakeTimerTest, FiresOnTheUiThreadAndItsRoutineCancelsIt) {
    wakeTimer = services.CreateWaitableTimer(kWakeTimerName);
    ASSERT_NE(wakeTimer, nullptr);
    const FILETIME due = DueIn(1000);
    rearmOnFirstFiring = &services;
    ASSERT_TRUE(services.SetWaitableTimer(wakeTimer, due, RecordingApc, nullptr));

    ProcessEventsUntil(1, 5000);
    ASSERT_EQ(firings.count, 1) << "the wake timer did not fire";
    EXPECT_TRUE(firings.onUiThread);
    EXPECT_GE(firings.atMs, 950);
    EXPECT_EQ(firings.low, due.dwLowDateTime);
    EXPECT_EQ(firings.high, due.dwHighDateTime);

    // The routine cancelled the arming made just before it, so nothing fires again.
    ProcessEventsUntil(2, 800);
    EXPECT_EQ(firings.count, 1);
    EXPECT_EQ(services.Expirations(wakeTimer), 1U) << "the routine did not cancel the timer";
}

TEST_F(WakeTimerTest, HandlesOfOneNameShareOneTimer) {
    wakeTimer = services.CreateWaitableTimer(kWakeTimerName);
    const WakeTimerHandle newer = services.CreateWaitableTimer(kWakeTimerName);
    ASSERT_NE(wakeTimer, nullptr);
    ASSERT_NE(newer, nullptr);
    EXPECT_NE(wakeTimer, newer);

    // Arming through the second handle replaces the first arming.
    ASSERT_TRUE(services.SetWaitableTimer(wakeTimer, DueIn(200), RecordingApc, nullptr));
    ASSERT_TRUE(services.SetWaitableTimer(newer, DueIn(700), RecordingApc, nullptr));
    ProcessEventsUntil(1, 3000);
    ASSERT_EQ(firings.count, 1);
    EXPECT_GE(firings.atMs, 650);

    // Cancelling through the old handle, as the routine does, disarms the shared timer.
    ASSERT_TRUE(services.SetWaitableTimer(newer, DueIn(500), RecordingApc, nullptr));
    WakeTimerApc(nullptr, 0, 0);
    ProcessEventsUntil(2, 1200);
    EXPECT_EQ(firings.count, 1);
    EXPECT_EQ(services.Expirations(newer), 1U) << "a cancelled timer expired";
}

// Forwards to the real services and counts the suspend requests.
class SuspendCounter : public PowerServices {
public:
    explicit SuspendCounter(PowerServices& real) : real_(real) {}
    bool EnableWakePrivilege() override { return real_.EnableWakePrivilege(); }
    WakeTimerHandle CreateWaitableTimer(const char* name) override {
        return real_.CreateWaitableTimer(name);
    }
    bool SetWaitableTimer(const WakeTimerHandle& timer, const FILETIME& due,
                          WakeTimerApcProc completion, void* argument) override {
        return real_.SetWaitableTimer(timer, due, completion, argument);
    }
    bool CancelWaitableTimer(const WakeTimerHandle& timer) override {
        return real_.CancelWaitableTimer(timer);
    }
    bool Suspend() override {
        ++suspends;
        return real_.Suspend();
    }
    bool Hibernate() override { return real_.Hibernate(); }
    int suspends = 0;

private:
    PowerServices& real_;
};

bool DropWakeAlarmCapability() {
    // The bounding set needs CAP_SETPCAP; without it the capability cannot come back anyway.
    if (CAP_IS_SUPPORTED(CAP_WAKE_ALARM)) {
        cap_drop_bound(CAP_WAKE_ALARM);
    }
    cap_t caps = cap_get_proc();
    if (!caps) {
        return false;
    }
    const cap_value_t wakeAlarm[] = {CAP_WAKE_ALARM};
    bool dropped = cap_set_flag(caps, CAP_EFFECTIVE, 1, wakeAlarm, CAP_CLEAR) == 0 &&
                   cap_set_flag(caps, CAP_PERMITTED, 1, wakeAlarm, CAP_CLEAR) == 0 &&
                   cap_set_flag(caps, CAP_INHERITABLE, 1, wakeAlarm, CAP_CLEAR) == 0 &&
                   cap_set_proc(caps) == 0;
    cap_free(caps);
    return dropped;
}

// Exit codes of the child below.
enum ChildResult {
    ChildOk = 0,
    ChildCannotDrop = 10,
    ChildStillHasAlarm = 11,
    ChildPrivilegeRaised = 12,
    ChildTimerArmed = 13,
    ChildWrongOutcome = 14,
    ChildSuspended = 15,
};

int RunWithoutWakeAlarm() {
    if (!DropWakeAlarmCapability()) {
        return ChildCannotDrop;
    }
    const int fd = timerfd_create(CLOCK_REALTIME_ALARM, TFD_CLOEXEC);
    if (fd >= 0 || errno != EPERM) {
        return ChildStillHasAlarm;
    }
    LinuxPowerServices real;
    SuspendCounter services(real);
    if (services.EnableWakePrivilege()) {
        return ChildPrivilegeRaised;
    }
    const WakeTimerHandle timer = services.CreateWaitableTimer(kWakeTimerName);
    if (!timer || services.SetWaitableTimer(timer, DueIn(60000), WakeTimerApc, nullptr)) {
        return ChildTimerArmed;
    }
    FrameSleepInputs inputs{CurrentUtcSeconds(), 60, 15, [] { return true; }};
    if (SuspendUntilNextFrameAt(&services, inputs) != SleepOutcome::TimerNotArmed) {
        return ChildWrongOutcome;
    }
    return services.suspends == 0 ? ChildOk : ChildSuspended;
}

TEST(WakeTimerWithoutPrivilegeTest, ArmingFailsAndNothingIsSuspended) {
    {
        LinuxPowerServices probe;
        const std::string why = AlarmTimersUnavailable(probe);
        if (why.rfind("the kernel", 0) == 0) {
            GTEST_SKIP() << why;
        }
    }
    const pid_t child = fork();
    ASSERT_GE(child, 0) << strerror(errno);
    if (child == 0) {
        _exit(RunWithoutWakeAlarm());
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the child did not exit normally";
    EXPECT_EQ(WEXITSTATUS(status), ChildOk)
        << "child result " << WEXITSTATUS(status) << " (see ChildResult)";
}

}  // namespace
