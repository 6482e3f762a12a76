// The controls the user set on a device, kept so that a camera that forgets them gets them
// again.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>

namespace device {

// The value the user last gave each control of one device (brightness, exposure, ...), by
// control id. A camera forgets its controls when it is re-plugged or reset over a resume,
// and a time-lapse whose exposure jumps halfway is spoiled: every open of the device applies
// them again before it starts streaming. Shared between the window's thread, which
// remembers, and the reader threads, which apply.
class UserControls {
public:
    // The user set control id to value.
    void remember(std::uint32_t id, int value);
    bool empty() const;
    // Sets each remembered control on the open device fd (path names it in the log). A
    // control the device does not have (any more), or whose value it refuses, is skipped and
    // logged once, until the user sets it again; it is no failure of the open.
    void applyTo(int fd, const std::string& path);

private:
    mutable std::mutex mutex_;
    std::map<std::uint32_t, int> values_;
    std::set<std::uint32_t> reported_;  // refused controls already logged
};

}  // namespace device
