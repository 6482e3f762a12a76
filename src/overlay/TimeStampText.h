// The line of text stamped into every frame: local time, date and standard-time zone name.
#pragma once

#include <ctime>
#include <string>

// The text for `now` in local time: "%Hh%Mm%Ss%B%d,%Y" with English month names whatever the
// process locale, followed directly by the zone's standard-time name (tzname[0], also while
// daylight-saving time is in force). Re-reads the zone setting (tzset) on every call.
std::string TimeStampText(std::time_t now);
