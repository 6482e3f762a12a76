// The options that set up a run from the command line, as a user would set it by hand, and
// the rules their values are read by.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

// The longest interval and span the main window's fields take: in milliseconds they still
// fit a window timer's signed 32-bit period.
constexpr std::int32_t kMaxRunSeconds = 2147482;
// Entries of the setup panel's driver list.
constexpr int kMaxDriverIndex = 9;
// How long a start from the command line waits for a driver that is not there yet.
constexpr int kDriverWaitSeconds = 60;

struct RunOptions {
    std::optional<int> driverIndex;  // --driver N: an index in the driver list
    std::string driverPath;          // --driver PATH, made absolute: a device node or a link
    std::optional<std::int32_t> intervalSeconds;
    std::optional<std::int32_t> spanSeconds;
    std::optional<std::time_t> until;  // --until: the run ends then
    bool useSleep = false;
    bool suspendEnd = false;
    bool start = false;

    bool HasDriver() const { return driverIndex.has_value() || !driverPath.empty(); }
    // How the driver was asked for, for messages: "driver 0", "/dev/v4l/by-id/...".
    std::string DriverWords() const;
};

// Each reader takes the option's value as given and either sets out and returns an empty
// string, or returns why the value is refused, naming the option and what it accepts.
std::string ReadSeconds(const std::string& option, const std::string& value, std::int32_t* out);
// N (0 to kMaxDriverIndex) or a path (a relative one is taken from currentDir).
std::string ReadDriver(const std::string& value, const std::string& currentDir, RunOptions* out);
// 'YYYY-MM-DD HH:MM' in local time; a time that the clocks skip (at the start of summer
// time) is refused. Whether it has passed is for the caller to judge.
std::string ReadUntil(const std::string& value, std::time_t* out);
// The local time as --until writes it.
std::string FormatUntil(std::time_t when);
