// The wake-timer handle object shared by every power services implementation, and FILETIME
// conversions to and from Unix time.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <utility>

#include "platform/power/PowerServices.h"

// One handle to a named wake timer. Each CreateWaitableTimer call hands out a new handle;
// the services that made it keep the timer state shared by all handles of one name, and an
// implementation derives from this class to reach that state. Owner() is the services object
// that made the handle, so that the completion routine can cancel the timer through the same
// services. A handle must not be used after its owner is gone.
class WakeTimerObject {
public:
    WakeTimerObject(PowerServices* owner, std::string name)
        : owner_(owner), name_(std::move(name)) {}
    virtual ~WakeTimerObject() = default;
    WakeTimerObject(const WakeTimerObject&) = delete;
    WakeTimerObject& operator=(const WakeTimerObject&) = delete;

    PowerServices* Owner() const { return owner_; }
    const std::string& Name() const { return name_; }

private:
    PowerServices* owner_;
    std::string name_;
};

// 100-nanosecond ticks between 1 January 1601 and 1 January 1970, both UTC.
constexpr std::uint64_t kFileTimeUnixEpoch = 116444736000000000ULL;
constexpr std::uint64_t kFileTimeTicksPerSecond = 10000000ULL;

constexpr std::uint64_t FileTimeToTicks(const FILETIME& time) {
    return (std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

constexpr FILETIME TicksToFileTime(std::uint64_t ticks) {
    return FILETIME{static_cast<DWORD>(ticks & 0xFFFFFFFFULL), static_cast<DWORD>(ticks >> 32)};
}

// A Unix time in whole seconds as a FILETIME on that whole second. Times before 1601 cannot
// be expressed and come out as 1601.
constexpr FILETIME UnixSecondsToFileTime(std::int64_t unixSeconds) {
    const std::int64_t sinceEpoch1601 =
        unixSeconds + static_cast<std::int64_t>(kFileTimeUnixEpoch / kFileTimeTicksPerSecond);
    if (sinceEpoch1601 <= 0) {
        return FILETIME{0, 0};
    }
    return TicksToFileTime(static_cast<std::uint64_t>(sinceEpoch1601) * kFileTimeTicksPerSecond);
}

// A FILETIME as a Unix timespec, keeping its sub-second part.
constexpr timespec FileTimeToTimespec(const FILETIME& time) {
    const std::int64_t ticks = static_cast<std::int64_t>(FileTimeToTicks(time));
    const std::int64_t sinceUnix = ticks - static_cast<std::int64_t>(kFileTimeUnixEpoch);
    const std::int64_t perSecond = static_cast<std::int64_t>(kFileTimeTicksPerSecond);
    std::int64_t seconds = sinceUnix / perSecond;
    std::int64_t rest = sinceUnix % perSecond;
    if (rest < 0) {
        rest += perSecond;
        --seconds;
    }
    timespec result{};
    result.tv_sec = static_cast<time_t>(seconds);
    result.tv_nsec = static_cast<long>(rest * 100);
    return result;
}
