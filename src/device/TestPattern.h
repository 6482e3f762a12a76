// The built-in test pattern: the moving pictures it shows.
#pragma once

#include <string>

namespace device {

// The moving pictures the built-in test pattern can show.
enum class TestPattern { Gradients, HueBars, Life };
const char* TestPatternName(TestPattern pattern);

// The lavfi graph that draws the test pattern at a size and rate.
std::string TestPatternGraph(TestPattern pattern, int width, int height, int framesPerSecond);

}  // namespace device
