// The suspend decision between frames, the wake due time, the completion routine and the
// other power steps, on the recording power services.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "fakes/FakePowerServices.h"
#include "platform/power/PowerTypes.h"
#include "power/PowerDecision.h"
#include "power/WakeTimer.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

// 2026-03-04 07:05:09 UTC, an ordinary instant.
constexpr std::int64_t kNow = 1772607909;

// The FILETIME text the fake records for a Unix time, worked out here on its own.
std::string DueFor(std::int64_t unixSeconds) {
    const std::uint64_t ticks =
        (static_cast<std::uint64_t>(unixSeconds) + 11644473600ULL) * 10000000ULL;
    return std::to_string(ticks);
}

std::int64_t UnixSecondsOf(const FILETIME& due) {
    const std::uint64_t ticks = (std::uint64_t{due.dwHighDateTime} << 32) | due.dwLowDateTime;
    EXPECT_EQ(ticks % 10000000ULL, 0U) << "due time not on a whole second";
    return static_cast<std::int64_t>(ticks / 10000000ULL) - 11644473600LL;
}

class PowerDecisionTest : public ::testing::Test {
protected:
    void SetUp() override { wakeTimer.reset(); }
    void TearDown() override { wakeTimer.reset(); }

    SleepOutcome Run(std::int32_t interval, std::int32_t standby, bool useSleep,
                     std::int64_t now = kNow, std::int64_t runEndsInMs = -1) {
        FrameSleepInputs inputs;
        inputs.nowUtcSeconds = now;
        inputs.runEndsInMs = runEndsInMs;
        inputs.intervalSeconds = interval;
        inputs.standbySeconds = standby;
        inputs.useSleepChecked = [this, useSleep] {
            ++boxReads;
            return useSleep;
        };
        return SuspendUntilNextFrameAt(&power, inputs);
    }

    FakePowerServices power;
    int boxReads = 0;
};

struct SleepCase {
    const char* what;
    std::int32_t interval;
    std::int32_t standby;
    bool useSleep;
    SleepOutcome outcome;
    std::optional<std::int64_t> wakeAfterSeconds;  // set when a suspend follows
    std::int64_t runEndsInMs = -1;                 // by the span timer; -1: no end set
};

const SleepCase kSleepCases[] = {
    {"start-up values", 60, 15, true, SleepOutcome::Suspended, 45},
    {"interval exactly three standbys", 45, 15, true, SleepOutcome::Suspended, 30},
    {"interval one second short", 44, 15, true, SleepOutcome::IntervalTooShort, {}},
    {"longest standby, enough interval", 1800, 600, true, SleepOutcome::Suspended, 1200},
    {"longest standby, one second short", 1799, 600, true, SleepOutcome::IntervalTooShort, {}},
    {"longest accepted interval", 2147482, 600, true, SleepOutcome::Suspended, 2146882},
    {"shortest interval", 1, 15, true, SleepOutcome::IntervalTooShort, {}},
    {"box unchecked", 60, 15, false, SleepOutcome::SleepUnchecked, {}},
    {"box unchecked, long interval", 1800, 600, false, SleepOutcome::SleepUnchecked, {}},
    // The end of the run is woken for as a frame is, and needs as much room.
    {"run ends after the next frame", 60, 15, true, SleepOutcome::Suspended, 45, 100'000},
    {"run ends with the next frame", 45, 15, true, SleepOutcome::Suspended, 30, 45'000},
    {"run ends before the next frame", 600, 15, true, SleepOutcome::Suspended, 85, 100'000},
    {"part of a second wakes earlier", 600, 15, true, SleepOutcome::Suspended, 85, 100'999},
    {"run ends three standbys away", 600, 15, true, SleepOutcome::Suspended, 30, 45'000},
    {"run ends 1 ms short of that", 600, 15, true, SleepOutcome::RunEndsTooSoon, {}, 44'999},
    {"last frame, run ends in 5 s", 45, 15, true, SleepOutcome::RunEndsTooSoon, {}, 5'000},
    {"run end is due now", 60, 15, true, SleepOutcome::RunEndsTooSoon, {}, 0},
    {"longest standby, run ends in time", 7200, 600, true, SleepOutcome::Suspended, 1200,
     1'800'000},
    {"longest standby, run ends too soon", 7200, 600, true, SleepOutcome::RunEndsTooSoon, {},
     1'799'999},
    {"box unchecked, run ends soon", 60, 15, false, SleepOutcome::SleepUnchecked, {}, 5'000},
    {"interval too short, run ends soon", 44, 15, true, SleepOutcome::IntervalTooShort, {}, 5'000},
};

TEST_F(PowerDecisionTest, DecisionTable) {
    for (const SleepCase& c : kSleepCases) {
        SCOPED_TRACE(c.what);
        power.calls.clear();
        boxReads = 0;
        wakeTimer.reset();

        EXPECT_EQ(Run(c.interval, c.standby, c.useSleep, kNow, c.runEndsInMs), c.outcome);
        if (c.wakeAfterSeconds) {
            const std::string set = "SetWaitableTimer " + DueFor(kNow + *c.wakeAfterSeconds);
            EXPECT_THAT(power.calls, ElementsAre("CreateWaitableTimer wuptm1", set, "Suspend"));
            EXPECT_EQ(power.lastCompletion, &WakeTimerApc);
            EXPECT_TRUE(power.IsArmed("wuptm1"));
        } else {
            EXPECT_THAT(power.calls, IsEmpty());
            EXPECT_EQ(wakeTimer, nullptr);
        }
        // The box is read only once the interval leaves room for a sleep.
        EXPECT_EQ(boxReads, c.outcome == SleepOutcome::IntervalTooShort ? 0 : 1);
    }
}

TEST(IntervalTest, ComparesTheSigned32BitProducts) {
    struct Case {
        std::int32_t interval;
        std::int32_t standby;
        bool allows;
    };
    const Case cases[] = {
        {45, 15, true},
        {44, 15, false},
        {1800, 600, true},
        {1799, 600, false},
        {2147482, 15, true},  // the longest accepted interval still fits in 32 bits
        // Outside the accepted ranges the products wrap as 32-bit arithmetic does.
        {2147484, 15, false},  // 2147484000 wraps to a negative product
        {1, 715828, true},     // 2147484000 for the standby wraps below 1000
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IntervalAllowsSleep(c.interval, c.standby), c.allows)
            << c.interval << " s against " << c.standby << " s";
    }
}

TEST(FileTimeTest, ConvertsToTheUnixTimeTheAlarmIsArmedWith) {
    struct Case {
        std::uint64_t ticks;
        std::int64_t seconds;
        long nanoseconds;
    };
    const Case cases[] = {
        {116444736000000000ULL, 0, 0},                     // 1970-01-01 00:00:00
        {116444736000000001ULL, 0, 100},                   // one tick later
        {116444736000000000ULL + 17726079095000000ULL, 1772607909, 500000000},
        {116444735999999999ULL, -1, 999999900},            // one tick before 1970
    };
    for (const Case& c : cases) {
        const timespec ts = FileTimeToTimespec(TicksToFileTime(c.ticks));
        EXPECT_EQ(ts.tv_sec, c.seconds) << c.ticks;
        EXPECT_EQ(ts.tv_nsec, c.nanoseconds) << c.ticks;
    }
    EXPECT_EQ(FileTimeToTicks(UnixSecondsToFileTime(kNow)), std::stoull(DueFor(kNow)));
    EXPECT_EQ(FileTimeToTicks(UnixSecondsToFileTime(-11644473601LL)), 0U);  // before 1601
}

TEST_F(PowerDecisionTest, EverySuspendReopensWuptm1AndKeepsTheNewestHandle) {
    for (int frame = 0; frame < 3; ++frame) {
        ASSERT_EQ(Run(60, 15, true, kNow + frame * 60), SleepOutcome::Suspended);
        ASSERT_EQ(power.createdHandles.size(), static_cast<size_t>(frame + 1));
        EXPECT_EQ(wakeTimer, power.createdHandles.back());
        EXPECT_EQ(power.lastSetHandle, wakeTimer);
        EXPECT_EQ(wakeTimer->Name(), "wuptm1");
    }
    EXPECT_NE(power.createdHandles[0], power.createdHandles[1]);
    EXPECT_EQ(power.CountCalls("CreateWaitableTimer wuptm1"), 3);
    EXPECT_EQ(power.CountCalls("Suspend"), 3);
    EXPECT_EQ(power.calls[4], "SetWaitableTimer " + DueFor(kNow + 60 + 45));
}

TEST_F(PowerDecisionTest, NoSuspendWithoutAnArmedWakeTimer) {
    power.results.setWaitableTimer = false;
    EXPECT_EQ(Run(60, 15, true), SleepOutcome::TimerNotArmed);
    EXPECT_THAT(power.calls,
                ElementsAre("CreateWaitableTimer wuptm1", "SetWaitableTimer " + DueFor(kNow + 45)));

    power.calls.clear();
    power.results.createWaitableTimer = false;
    EXPECT_EQ(Run(60, 15, true), SleepOutcome::NoTimer);
    EXPECT_THAT(power.calls, ElementsAre("CreateWaitableTimer wuptm1"));
    EXPECT_EQ(wakeTimer, nullptr);
}

TEST_F(PowerDecisionTest, RefusedSuspendLeavesTheWakeTimerArmed) {
    power.results.suspend = false;
    EXPECT_EQ(Run(60, 15, true), SleepOutcome::SuspendRefused);
    EXPECT_EQ(power.CountCalls("Suspend"), 1);
    EXPECT_TRUE(power.IsArmed("wuptm1"));
}

TEST_F(PowerDecisionTest, WithoutServicesNothingIsReadOrDone) {
    FrameSleepInputs inputs{kNow, 60, 15, [this] {
                                ++boxReads;
                                return true;
                            }};
    EXPECT_EQ(SuspendUntilNextFrameAt(nullptr, inputs), SleepOutcome::NoServices);
    EXPECT_EQ(boxReads, 0);
    EXPECT_EQ(wakeTimer, nullptr);
    RaiseWakePrivilege(nullptr);
    HibernateNow(nullptr);
}

TEST_F(PowerDecisionTest, FiringRunsWakeTimerApcWhichCancelsTheNewestHandle) {
    ASSERT_EQ(Run(60, 15, true), SleepOutcome::Suspended);
    ASSERT_EQ(Run(60, 15, true, kNow + 60), SleepOutcome::Suspended);
    power.calls.clear();

    ASSERT_TRUE(power.FireTimer("wuptm1"));
    EXPECT_THAT(power.calls, ElementsAre("CancelWaitableTimer wuptm1"));
    EXPECT_FALSE(power.IsArmed("wuptm1"));
    EXPECT_FALSE(power.FireTimer("wuptm1"));

    // With no handle there is nothing to cancel.
    wakeTimer.reset();
    power.calls.clear();
    WakeTimerApc(nullptr, 0, 0);
    EXPECT_THAT(power.calls, IsEmpty());
}

// Sets TZ for one test and puts the previous zone back.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone) {
        if (const char* old = std::getenv("TZ")) {
            previous_ = old;
        }
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedTimeZone() {
        if (previous_) {
            setenv("TZ", previous_->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

private:
    std::optional<std::string> previous_;
};

TEST_F(PowerDecisionTest, DueTimeIsTheUtcInstantAcrossDaylightSavingSwitches) {
    ScopedTimeZone berlin("Europe/Berlin");
    // Clocks jump 02:00 CET -> 03:00 CEST, and 03:00 CEST -> 02:00 CET, at 01:00 UTC.
    const std::int64_t springForward = 1774746000;  // 2026-03-29 01:00:00 UTC
    const std::int64_t fallBack = 1761440400;       // 2025-10-26 01:00:00 UTC
    struct Case {
        const char* what;
        std::int64_t now;
        std::int32_t interval;
        std::int32_t standby;
    };
    const Case cases[] = {
        {"wake-up lands after spring forward", springForward - 20, 60, 15},
        {"frame one second before spring forward", springForward - 1, 1800, 600},
        {"wake-up lands in the repeated hour", fallBack - 20, 60, 15},
        {"frame and wake-up inside the repeated hour", fallBack + 600, 1800, 600},
        {"wake-up an hour and more after fall back", fallBack - 1800, 7200, 600},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::int64_t expected = c.now + c.interval - c.standby;
        const FILETIME due = WakeDueTime(c.now, c.interval, c.standby);
        EXPECT_EQ(UnixSecondsOf(due), expected);

        power.calls.clear();
        ASSERT_EQ(Run(c.interval, c.standby, true, c.now), SleepOutcome::Suspended);
        EXPECT_EQ(power.calls.at(1), "SetWaitableTimer " + DueFor(expected));
    }
}

TEST_F(PowerDecisionTest, PrivilegeAndHibernationFailuresAreSilent) {
    power.results.enableWakePrivilege = false;
    power.results.hibernate = false;
    RaiseWakePrivilege(&power);
    HibernateNow(&power);
    EXPECT_THAT(power.calls, ElementsAre("EnableWakePrivilege", "Hibernate"));
    EXPECT_EQ(wakeTimer, nullptr);
}

}  // namespace
