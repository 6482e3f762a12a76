// Runs FFmpeg in the C locale on the calling thread, whatever locale the process has.
#pragma once

#include <locale.h>

namespace av {

// While an object lives, the calling thread reads and writes numbers, and everything else
// locale-dependent, in the C locale. FFmpeg parses option and filter text ("speed=0.02")
// with strtod and sscanf, which follow LC_NUMERIC; Qt sets the process locale from the
// environment at start-up, and a decimal comma there makes FFmpeg reject such text. The
// thread's own locale (uselocale) is used instead of setlocale: it covers only the FFmpeg
// work of this thread, races with nothing, and no later setlocale can undo it.
class CLocaleScope {
public:
    CLocaleScope();
    ~CLocaleScope();
    CLocaleScope(const CLocaleScope&) = delete;
    CLocaleScope& operator=(const CLocaleScope&) = delete;

private:
    locale_t previous_ = static_cast<locale_t>(0);
};

}  // namespace av
