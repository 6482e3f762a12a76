// The built-in test pattern: the lavfi graphs it draws.
#include "device/TestPattern.h"

#include <algorithm>

namespace device {

const char* TestPatternName(TestPattern pattern) {
    switch (pattern) {
    case TestPattern::Gradients: return "Moving gradients";
    case TestPattern::HueBars: return "Colour bars, cycling hue";
    case TestPattern::Life: return "Game of life";
    }
    return "?";
}

std::string TestPatternGraph(TestPattern pattern, int width, int height, int framesPerSecond) {
    // None of these draws text, so the rows where the time stamp goes stay free; realtime
    // paces the generator like a camera instead of as fast as the CPU allows.
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    const std::string rate = std::to_string(framesPerSecond);
    switch (pattern) {
    case TestPattern::HueBars:
        return "smptebars=s=" + size + ":r=" + rate + ",hue=h=t*40,realtime";
    case TestPattern::Life:
        return "life=s=" + size + ":r=" + rate +
               ":mold=10:ratio=0.3:life_color=#60c0ff:death_color=#202040:mold_color=#405080,"
               "realtime";
    case TestPattern::Gradients:
        break;
    }
    // Fixed colours and seed: the pattern looks the same on every run (by default
    // gradients picks random colours), and no pure red, which the tests paint. Smooth
    // gradients scale up without a visible loss, so they are drawn at a quarter of the
    // size: that cuts what the pattern costs while it runs for days by about four.
    const std::string small = std::to_string(std::max(16, width / 4)) + "x" +
                              std::to_string(std::max(16, height / 4));
    return "gradients=s=" + small + ":r=" + rate +
           ":c0=0x1a3a6e:c1=0x3fa7a0:c2=0xe0c060:nb_colors=3:seed=1:speed=0.02,"
           "scale=" + std::to_string(width) + ":" + std::to_string(height) +
           ":flags=bilinear,realtime";
}

}  // namespace device
