// Lets a repeated log message through at most once per period.
#include "av/RepeatLimiter.h"

#include <algorithm>

namespace av {

RepeatLimiter::RepeatLimiter(Clock::duration period, std::size_t capacity)
    : period_(period), capacity_(std::max<std::size_t>(capacity, 1)) {}

RepeatLimiter::Verdict RepeatLimiter::admit(const std::string& key, Clock::time_point now) {
    std::lock_guard lock(mutex_);
    auto found = entries_.find(key);
    if (found == entries_.end()) {
        if (entries_.size() >= capacity_)
            forgetOldest();
        entries_.emplace(key, Entry{now, now, 0});
        return {true, 0};
    }
    Entry& entry = found->second;
    entry.seen = std::max(entry.seen, now);
    if (now - entry.passed < period_) {
        ++entry.heldBack;
        return {false, 0};
    }
    const Verdict verdict{true, entry.heldBack};
    entry.passed = now;
    entry.heldBack = 0;
    return verdict;
}

std::size_t RepeatLimiter::remembered() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

void RepeatLimiter::forgetOldest() {
    const auto oldest = std::min_element(
        entries_.begin(), entries_.end(),
        [](const auto& a, const auto& b) { return a.second.seen < b.second.seen; });
    if (oldest != entries_.end())
        entries_.erase(oldest);
}

std::string RepeatKey(const std::string& line) {
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    const auto hexDigit = [&](char c) {
        return digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    };
    std::string key;
    key.reserve(line.size());
    for (std::size_t i = 0; i < line.size();) {
        if (line.compare(i, 2, "0x") == 0) {
            for (i += 2; i < line.size() && hexDigit(line[i]); ++i) {
            }
            key += '#';
        } else if (digit(line[i])) {
            for (; i < line.size() && digit(line[i]); ++i) {
            }
            key += '#';
        } else {
            key += line[i++];
        }
    }
    return key;
}

}  // namespace av
