// Lets a repeated log message through at most once per period.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

namespace av {

// Remembers the messages seen lately, each by a key, and lets each through at most once
// per period. Memory is bounded: beyond the capacity the message not seen for the longest
// time is forgotten (and passes again when it comes back). Safe to call from any thread;
// the time is passed in, so that a test can drive it.
class RepeatLimiter {
public:
    using Clock = std::chrono::steady_clock;

    struct Verdict {
        bool pass = false;
        // With pass: how many times the message was held back since it last passed.
        std::uint64_t heldBack = 0;
    };

    explicit RepeatLimiter(Clock::duration period = std::chrono::minutes(1),
                           std::size_t capacity = 64);

    Verdict admit(const std::string& key, Clock::time_point now);
    // The number of messages remembered now.
    std::size_t remembered() const;

private:
    struct Entry {
        Clock::time_point passed;
        Clock::time_point seen;
        std::uint64_t heldBack = 0;
    };
    void forgetOldest();

    const Clock::duration period_;
    const std::size_t capacity_;
    mutable std::mutex mutex_;
    std::unordered_map<std::string, Entry> entries_;
};

// The key under which a log line counts as a repeat of another: digits (counts, sizes,
// addresses of FFmpeg's contexts in the line's prefix) do not tell two lines apart.
std::string RepeatKey(const std::string& line);

}  // namespace av
