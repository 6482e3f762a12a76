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
    if (localtime_r(&now, &local) != nullptr) {
        char buffer[64];
        std::size_t length = 0;
        if (const locale_t classic = ClassicLocale(); classic != static_cast<locale_t>(0)) {
            length = strftime_l(buffer, sizeof buffer, "%Hh%Mm%Ss%B%d,%Y", &local, classic);
        }
        text.assign(buffer, length);
    }
    text += tzname[0];
    return text;
}
