// The values of the run options: whole seconds, a driver by index or path, a local end time.
#include "app/RunOptions.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace {

bool AllDigits(const std::string& text) {
    if (text.empty())
        return false;
    for (const char c : text)
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
    return true;
}

}  // namespace

std::string RunOptions::DriverWords() const {
    if (driverIndex)
        return "driver " + std::to_string(*driverIndex);
    return driverPath;
}

std::string ReadSeconds(const std::string& option, const std::string& value, std::int32_t* out) {
    const std::string range = "whole seconds from 1 to " + std::to_string(kMaxRunSeconds);
    // Digits only, as the field takes them: no sign, no unit, no fraction.
    if (!AllDigits(value) || value.size() > 10)
        return option + " '" + value + "': not a number of " + range;
    const long long seconds = std::strtoll(value.c_str(), nullptr, 10);
    if (seconds < 1 || seconds > kMaxRunSeconds)
        return option + " " + value + " is out of range: " + range;
    *out = static_cast<std::int32_t>(seconds);
    return {};
}

std::string ReadDriver(const std::string& value, const std::string& currentDir, RunOptions* out) {
    if (AllDigits(value)) {
        if (value.size() > 2 || std::atoi(value.c_str()) > kMaxDriverIndex)
            return "--driver " + value +
                   " is out of range: an index in the driver list from 0 to " +
                   std::to_string(kMaxDriverIndex);
        out->driverIndex = std::atoi(value.c_str());
        return {};
    }
    if (value.find('/') == std::string::npos)
        return "--driver '" + value + "': neither an index in the driver list (0 to " +
               std::to_string(kMaxDriverIndex) +
               ") nor a device path (/dev/videoN, /dev/v4l/by-id/..., /dev/v4l/by-path/...)";
    out->driverPath = value.front() == '/' ? value : currentDir + "/" + value;
    return {};
}

std::string ReadUntil(const std::string& value, std::time_t* out) {
    const std::string refusal =
        "--until '" + value + "': not a local date and time in the form 'YYYY-MM-DD HH:MM'";
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, used = 0;
    if (value.size() != 16 || value[4] != '-' || value[7] != '-' || value[10] != ' ' ||
        value[13] != ':' ||
        std::sscanf(value.c_str(), "%4d-%2d-%2d %2d:%2d%n", &year, &month, &day, &hour, &minute,
                    &used) != 5 ||
        used != 16)
        return refusal;
    for (const std::size_t at : {0, 1, 2, 3, 5, 6, 8, 9, 11, 12, 14, 15})
        if (!std::isdigit(static_cast<unsigned char>(value[at])))
            return refusal;
    std::tm local{};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_isdst = -1;
    std::tm asked = local;
    const std::time_t when = std::mktime(&local);
    // mktime carries a day 31 of a short month, an hour 24 or a time the clocks skip over
    // into another time: such a value names no moment of the local clock.
    if (when == static_cast<std::time_t>(-1) || local.tm_year != asked.tm_year ||
        local.tm_mon != asked.tm_mon || local.tm_mday != asked.tm_mday ||
        local.tm_hour != asked.tm_hour || local.tm_min != asked.tm_min)
        return refusal + " (no such local time)";
    *out = when;
    return {};
}

std::string FormatUntil(std::time_t when) {
    std::tm local{};
    char text[32] = {};
    if (::localtime_r(&when, &local) == nullptr ||
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local) == 0)
        return std::to_string(static_cast<long long>(when));
    return text;
}
