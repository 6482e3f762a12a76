// The line of text stamped into every frame: local time, date and the zone's name.
#pragma once

#include <ctime>
#include <string>

// The text for `now` in local time: "%Hh%Mm%Ss%B%d,%Y" with English month names whatever the
// process locale, followed directly by the name of the zone in force at that instant: the
// daylight-saving name (CEST, AEDT, EDT) while daylight-saving time applies, the standard
// name otherwise. Re-reads the zone setting (tzset) on every call.
std::string TimeStampText(std::time_t now);
