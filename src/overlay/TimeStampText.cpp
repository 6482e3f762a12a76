// Formats the time-stamp line of the overlay.
#include "overlay/TimeStampText.h"

#include <clocale>
#include <locale.h>
#include <time.h>

namespace {

// The C locale as an object of its own: Qt switches the process to the user's locale at
// start-up, and the stamp must keep English month names. Made once; it never changes.
locale_t ClassicLocale() {
    static const locale_t classic = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    return classic;
}

}  // namespace

std::string TimeStampText(std::time_t now) {
    // The zone may have changed since the last frame (TZ or /etc/localtime).
    tzset();
    std::string text;
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr) {
        return tzname[0];
    }
    char buffer[64];
    std::size_t length = 0;
    if (const locale_t classic = ClassicLocale(); classic != static_cast<locale_t>(0)) {
        length = strftime_l(buffer, sizeof buffer, "%Hh%Mm%Ss%B%d,%Y", &local, classic);
    }
    text.assign(buffer, length);
    // The name of the zone in force at this instant, as the shown time is: a summer time
    // labelled with the standard name would misstate the offset for half the year.
    if (local.tm_zone != nullptr) {
        text += local.tm_zone;
    } else {
        text += tzname[local.tm_isdst > 0 ? 1 : 0];
    }
    return text;
}
