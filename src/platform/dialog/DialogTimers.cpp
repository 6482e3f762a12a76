// Window timers on the boot clock (a timerfd each), so that their periods keep wall-clock
// pace across a suspend.
#include "platform/dialog/Dialog.h"

#include <QLoggingCategory>
#include <QSocketNotifier>

#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

Q_LOGGING_CATEGORY(lcDialog, "brisolt.dialog")

UINT CWnd::SetTimer(UINT id, UINT elapseMs) {
    // The range a window timer's period is kept in.
    constexpr UINT kMinPeriodMs = 1;
    constexpr UINT kMaxPeriodMs = 2147482000u;
    elapseMs = std::clamp(elapseMs, kMinPeriodMs, kMaxPeriodMs);
    auto it = timers_.find(id);
    if (it == timers_.end()) {
        // The boot clock goes on while the computer sleeps, so a run's frames keep their
        // wall-clock pace across a suspend.
        const int fd = ::timerfd_create(CLOCK_BOOTTIME, TFD_NONBLOCK | TFD_CLOEXEC);
        if (fd < 0) {
            qCWarning(lcDialog, "timerfd_create failed: %s", std::strerror(errno));
            return 0;
        }
        Timer timer;
        timer.fd = fd;
        timer.notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        connect(timer.notifier.get(), &QSocketNotifier::activated, this,
                [this, id] { OnTimerFd(id); });
        it = timers_.emplace(id, std::move(timer)).first;
    }
    itimerspec setting{};
    setting.it_interval.tv_sec = elapseMs / 1000;
    setting.it_interval.tv_nsec = static_cast<long>(elapseMs % 1000) * 1000000L;
    setting.it_value = setting.it_interval;
    if (::timerfd_settime(it->second.fd, 0, &setting, nullptr) != 0) {
        qCWarning(lcDialog, "timerfd_settime failed: %s", std::strerror(errno));
        KillTimer(id);
        return 0;
    }
    it->second.periodMs = elapseMs;
    return id;
}

BOOL CWnd::KillTimer(UINT id) {
    auto it = timers_.find(id);
    if (it == timers_.end())
        return FALSE;
    // The notifier may be the one whose signal is running right now: let Qt delete it.
    QSocketNotifier* notifier = it->second.notifier.release();
    notifier->setEnabled(false);
    notifier->deleteLater();
    ::close(it->second.fd);
    timers_.erase(it);
    return TRUE;
}

bool CWnd::HasTimer(UINT id) const { return timers_.count(id) != 0; }

UINT CWnd::TimerPeriodMs(UINT id) const {
    auto it = timers_.find(id);
    return it == timers_.end() ? 0 : it->second.periodMs;
}

std::int64_t CWnd::TimerDueMs(UINT id) const {
    auto it = timers_.find(id);
    itimerspec setting{};
    if (it == timers_.end() || ::timerfd_gettime(it->second.fd, &setting) != 0)
        return -1;
    // Rounded up: a timer that is due is due in no time, not in -1 ms.
    return static_cast<std::int64_t>(setting.it_value.tv_sec) * 1000 +
           (setting.it_value.tv_nsec + 999999) / 1000000;
}

void CWnd::OnTimerFd(UINT id) {
    auto it = timers_.find(id);
    if (it == timers_.end())
        return;
    std::uint64_t expirations = 0;
    if (::read(it->second.fd, &expirations, sizeof expirations) != sizeof expirations)
        return;
    // Expirations that piled up while the thread was busy come as one message.
    SendMessage(WM_TIMER, id, 0);
}
