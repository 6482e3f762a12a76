// CAP_WAKE_ALARM, the alarm-timerfd wake timer and logind's Suspend and Hibernate.
#include "platform/power/LinuxPowerServices.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QLoggingCategory>
#include <QSocketNotifier>

#include <sys/capability.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <type_traits>

#include "platform/power/PowerTypes.h"

namespace {
Q_LOGGING_CATEGORY(lcPowerServices, "brisolt.power.linux", QtInfoMsg)

constexpr const char* kLogindService = "org.freedesktop.login1";
constexpr const char* kLogindPath = "/org/freedesktop/login1";
constexpr const char* kLogindManager = "org.freedesktop.login1.Manager";
constexpr const char* kDefaultSystemBus = "unix:path=/var/run/dbus/system_bus_socket";

// Growth of the suspended time that counts as a real sleep; far above the jitter of reading
// two clocks one after the other, far below the shortest wake-up delay of a run.
constexpr std::int64_t kSleptThresholdNs = 500'000'000;

struct CapFree {
    void operator()(cap_t caps) const { cap_free(caps); }
};
using CapsPtr = std::unique_ptr<std::remove_pointer_t<cap_t>, CapFree>;

std::int64_t ClockNs(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}
}  // namespace

// The timer object shared by all handles of one name.
struct LinuxPowerServices::TimerState {
    ~TimerState() { Release(); }

    // Disarms the alarm and lets go of the descriptor and its notifier.
    void Release() {
        if (notifier) {
            notifier->setEnabled(false);
            notifier->disconnect();
            if (QCoreApplication::instance()) {
                // The last handle may go away inside the completion routine, that is inside
                // the notifier's own signal, so the notifier is deleted later.
                notifier.release()->deleteLater();
            }
            // Without an application nothing can be emitting, and nothing would run a later
            // deletion.
            notifier.reset();
        }
        if (fd >= 0) {
            close(fd);  // closing an alarm timerfd disarms it
            fd = -1;
        }
        completion = nullptr;
        argument = nullptr;
    }

    void OnExpired() {
        std::uint64_t count = 0;
        if (read(fd, &count, sizeof count) != sizeof count) {
            return;  // cancelled or re-armed in the meantime
        }
        expirations += count;
        const WakeTimerApcProc routine = completion;
        void* const routineArgument = argument;
        if (routine) {
            routine(routineArgument, due.dwLowDateTime, due.dwHighDateTime);
        }
    }

    int fd = -1;
    std::unique_ptr<QSocketNotifier> notifier;
    WakeTimerApcProc completion = nullptr;
    void* argument = nullptr;
    FILETIME due{};
    std::uint64_t expirations = 0;
};

class LinuxPowerServices::Handle : public WakeTimerObject {
public:
    Handle(LinuxPowerServices* owner, std::string name, std::shared_ptr<TimerState> state)
        : WakeTimerObject(owner, std::move(name)), state_(std::move(state)) {}
    TimerState* State() const { return state_.get(); }

private:
    std::shared_ptr<TimerState> state_;
};

LinuxPowerServices::LinuxPowerServices() : LinuxPowerServices(Options{}) {}

LinuxPowerServices::LinuxPowerServices(const Options& options) : options_(options) {
    // libdbus reads the system bus address once per process and keeps it; reading it here and
    // connecting by address makes each services object follow the environment it was made in.
    const QByteArray address = qgetenv("DBUS_SYSTEM_BUS_ADDRESS");
    busAddress_ = address.isEmpty() ? QString::fromLatin1(kDefaultSystemBus)
                                    : QString::fromLocal8Bit(address);
}

LinuxPowerServices::~LinuxPowerServices() {
    // Handles may outlive the services (wakeTimer is process-wide), but their notifiers must
    // not outlive the application, and no completion may run once the services are gone.
    for (auto& [name, slot] : timers_) {
        if (const std::shared_ptr<TimerState> state = slot.lock()) {
            state->Release();
        }
    }
}

bool LinuxPowerServices::EnableWakePrivilege() {
    const CapsPtr caps(cap_get_proc());
    if (!caps) {
        const int error = errno;
        qCWarning(lcPowerServices) << "cannot read the process capabilities:" << strerror(error);
        ReportProblem(PowerStep::WakePrivilege, PowerRefusal::Unavailable, strerror(error));
        return false;
    }
    cap_flag_value_t permitted = CAP_CLEAR;
    if (cap_get_flag(caps.get(), CAP_WAKE_ALARM, CAP_PERMITTED, &permitted) != 0 ||
        permitted != CAP_SET) {
        qCWarning(lcPowerServices) << "CAP_WAKE_ALARM is not permitted; suspending between frames"
                                      " is not possible";
        ReportProblem(PowerStep::WakePrivilege, PowerRefusal::NotPermitted,
                      "CAP_WAKE_ALARM is not permitted");
        return false;
    }
    const cap_value_t wakeAlarm[] = {CAP_WAKE_ALARM};
    if (cap_set_flag(caps.get(), CAP_EFFECTIVE, 1, wakeAlarm, CAP_SET) != 0 ||
        cap_set_proc(caps.get()) != 0) {
        const int error = errno;
        qCWarning(lcPowerServices) << "cannot raise CAP_WAKE_ALARM:" << strerror(error);
        ReportProblem(PowerStep::WakePrivilege, PowerRefusal::NotPermitted, strerror(error));
        return false;
    }
    ClearProblem(PowerStep::WakePrivilege);
    qCInfo(lcPowerServices) << "CAP_WAKE_ALARM raised";
    return true;
}

WakeTimerHandle LinuxPowerServices::CreateWaitableTimer(const char* name) {
    if (!name || !*name) {
        return nullptr;
    }
    std::weak_ptr<TimerState>& slot = timers_[name];
    std::shared_ptr<TimerState> state = slot.lock();
    if (!state) {
        state = std::make_shared<TimerState>();
        slot = state;
    }
    return std::make_shared<Handle>(this, name, std::move(state));
}

LinuxPowerServices::TimerState* LinuxPowerServices::StateOf(const WakeTimerHandle& timer) const {
    if (!timer || timer->Owner() != this) {
        return nullptr;
    }
    return static_cast<const Handle&>(*timer).State();
}

bool LinuxPowerServices::SetWaitableTimer(const WakeTimerHandle& timer, const FILETIME& dueTimeUtc,
                                          WakeTimerApcProc completion, void* argument) {
    TimerState* state = StateOf(timer);
    if (!state) {
        qCWarning(lcPowerServices) << "SetWaitableTimer: not a timer of these services";
        return false;
    }
    if (state->fd < 0) {
        // An alarm clock: it keeps running in suspend and wakes the machine when it expires.
        const int fd = timerfd_create(CLOCK_REALTIME_ALARM, TFD_NONBLOCK | TFD_CLOEXEC);
        if (fd < 0) {
            const int error = errno;
            if (error == EPERM) {
                if (ReportProblem(PowerStep::WakeTimer, PowerRefusal::NotPermitted,
                                  "CAP_WAKE_ALARM is not in effect"))
                    qCWarning(lcPowerServices) << "wake timer needs CAP_WAKE_ALARM";
            } else if (ReportProblem(PowerStep::WakeTimer, PowerRefusal::Unavailable,
                                     strerror(error))) {
                qCWarning(lcPowerServices) << "no wake-up alarm clock:" << strerror(error);
            }
            return false;
        }
        state->fd = fd;
        state->notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        QObject::connect(state->notifier.get(), &QSocketNotifier::activated,
                         [state] { state->OnExpired(); });
    }

    itimerspec setting{};
    setting.it_value = FileTimeToTimespec(dueTimeUtc);
    if (setting.it_value.tv_sec < 0 || (setting.it_value.tv_sec == 0 && setting.it_value.tv_nsec == 0)) {
        // A due time at or before 1970 is in the past: fire at once (a zero value would disarm).
        setting.it_value.tv_sec = 0;
        setting.it_value.tv_nsec = 1;
    }
    if (timerfd_settime(state->fd, TFD_TIMER_ABSTIME, &setting, nullptr) != 0) {
        const int error = errno;
        if (ReportProblem(PowerStep::WakeTimer, PowerRefusal::Refused, strerror(error)))
            qCWarning(lcPowerServices) << "cannot arm the wake timer:" << strerror(error);
        state->completion = nullptr;
        return false;
    }
    ClearProblem(PowerStep::WakeTimer);
    state->completion = completion;
    state->argument = argument;
    state->due = dueTimeUtc;
    return true;
}

bool LinuxPowerServices::CancelWaitableTimer(const WakeTimerHandle& timer) {
    TimerState* state = StateOf(timer);
    if (!state) {
        return false;
    }
    state->completion = nullptr;
    state->argument = nullptr;
    if (state->fd < 0) {
        return true;  // never armed
    }
    const itimerspec disarm{};
    if (timerfd_settime(state->fd, TFD_TIMER_ABSTIME, &disarm, nullptr) != 0) {
        qCWarning(lcPowerServices) << "cannot cancel the wake timer:" << strerror(errno);
        return false;
    }
    // Drop an expiry that is already pending, so the notifier does not report it.
    std::uint64_t expirations = 0;
    [[maybe_unused]] const ssize_t drained = read(state->fd, &expirations, sizeof expirations);
    return true;
}

std::uint64_t LinuxPowerServices::Expirations(const WakeTimerHandle& timer) const {
    const TimerState* state = StateOf(timer);
    return state ? state->expirations : 0;
}

bool LinuxPowerServices::Suspend() {
    return RequestSleep("Suspend");
}

bool LinuxPowerServices::Hibernate() {
    return RequestSleep("Hibernate");
}

std::int64_t LinuxPowerServices::SuspendedNow() const {
    return options_.suspendedClock ? options_.suspendedClock() : SuspendedNanoseconds();
}

std::int64_t LinuxPowerServices::SuspendedNanoseconds() {
    // CLOCK_BOOTTIME counts suspended time, CLOCK_MONOTONIC does not; nothing else changes
    // their difference.
    const std::int64_t monotonic = ClockNs(CLOCK_MONOTONIC);
    return ClockNs(CLOCK_BOOTTIME) - monotonic;
}

bool LinuxPowerServices::RequestSleep(const char* method) {
    // Taken before the request: the machine may already sleep before logind's reply is read.
    const std::int64_t suspendedBefore = SuspendedNow();
    if (!CallLogind(method)) {
        return false;
    }
    // The caller's next steps (the next frame, the state change after hibernation) must come
    // after the resume, and no other handler may run before them, so this waits by sleeping
    // the thread instead of running an event loop.
    // A suspend comes after every frame: its outcome is a debug line, not an event.
    const bool hibernate = std::strcmp(method, "Hibernate") == 0;
    if (WaitUntilResumed(suspendedBefore)) {
        if (hibernate)
            qCInfo(lcPowerServices, "%s: resumed", method);
        else
            qCDebug(lcPowerServices, "%s: resumed", method);
    } else if (hibernate) {
        qCInfo(lcPowerServices, "%s: accepted, but the machine did not sleep within %d ms",
               method, options_.sleepWaitMs);
    } else {
        qCDebug(lcPowerServices, "%s: accepted, but the machine did not sleep within %d ms",
                method, options_.sleepWaitMs);
    }
    return true;
}

bool LinuxPowerServices::CallLogind(const char* method) {
    const PowerStep step =
        std::strcmp(method, "Hibernate") == 0 ? PowerStep::Hibernate : PowerStep::Suspend;
    const QString connectionName =
        QStringLiteral("brisolt-power-%1-%2")
            .arg(reinterpret_cast<quintptr>(this), 0, 16)
            .arg(++connectionSerial_);
    bool accepted = false;
    {
        QDBusConnection bus = QDBusConnection::connectToBus(busAddress_, connectionName);
        if (!bus.isConnected()) {
            if (ReportProblem(step, PowerRefusal::Unavailable, "the system bus is not reachable"))
                qCWarning(lcPowerServices).noquote()
                    << method << "not requested: system bus not reachable at" << busAddress_
                    << "-" << bus.lastError().message();
        } else {
            QDBusMessage call = QDBusMessage::createMethodCall(
                QString::fromLatin1(kLogindService), QString::fromLatin1(kLogindPath),
                QString::fromLatin1(kLogindManager), QString::fromLatin1(method));
            call << false;  // not interactive: never wait for an authentication dialog
            // Block waits without running an event loop on this thread.
            const QDBusMessage reply = bus.call(call, QDBus::Block, options_.dbusTimeoutMs);
            accepted = reply.type() == QDBusMessage::ReplyMessage;
            if (accepted) {
                ClearProblem(step);
            } else {
                const QString why =
                    reply.errorMessage().isEmpty() ? reply.errorName() : reply.errorMessage();
                if (ReportProblem(step, PowerRefusal::Refused, why.toStdString()))
                    qCWarning(lcPowerServices).noquote()
                        << method << "refused:" << reply.errorName() << reply.errorMessage();
            }
        }
    }
    QDBusConnection::disconnectFromBus(connectionName);
    return accepted;
}

bool LinuxPowerServices::WaitUntilResumed(std::int64_t suspendedBeforeNs) const {
    const std::int64_t deadline =
        ClockNs(CLOCK_MONOTONIC) + std::int64_t{options_.sleepWaitMs} * 1'000'000;
    const std::int64_t stepNs = std::int64_t{options_.sleepPollMs > 0 ? options_.sleepPollMs : 1}
                                * 1'000'000;
    for (;;) {
        if (SuspendedNow() - suspendedBeforeNs > kSleptThresholdNs) {
            return true;
        }
        const std::int64_t left = deadline - ClockNs(CLOCK_MONOTONIC);
        if (left <= 0) {
            return false;
        }
        const std::int64_t napNs = left < stepNs ? left : stepNs;
        timespec nap{};
        nap.tv_sec = static_cast<time_t>(napNs / 1'000'000'000);
        nap.tv_nsec = static_cast<long>(napNs % 1'000'000'000);
        nanosleep(&nap, nullptr);
    }
}
