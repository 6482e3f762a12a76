// Runs FFmpeg in the C locale on the calling thread, whatever locale the process has.
#include "av/CLocaleScope.h"

#include "av/CaptureLog.h"

namespace av {

namespace {

// The C locale as an object of its own, made once and never freed: every thread may hold
// it as its locale at any time.
locale_t ClassicLocale() {
    static const locale_t classic = [] {
        const locale_t made = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
        if (made == static_cast<locale_t>(0))
            qCWarning(lcCapture) << "no C locale object; FFmpeg follows the process locale";
        return made;
    }();
    return classic;
}

}  // namespace

CLocaleScope::CLocaleScope() {
    if (const locale_t classic = ClassicLocale(); classic != static_cast<locale_t>(0))
        previous_ = uselocale(classic);
}

CLocaleScope::~CLocaleScope() {
    // previous_ may be LC_GLOBAL_LOCALE, which uselocale takes back as it is.
    if (previous_ != static_cast<locale_t>(0))
        uselocale(previous_);
}

}  // namespace av
