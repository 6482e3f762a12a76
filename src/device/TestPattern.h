// The built-in test pattern: the moving pictures it shows, and a fault it can be told to
// show.
#pragma once

#include <atomic>
#include <string>

namespace device {

// The moving pictures the built-in test pattern can show.
enum class TestPattern { Gradients, HueBars, Life };
const char* TestPatternName(TestPattern pattern);

// A fault the built-in test pattern can be told to show, shared by every opening of it:
// after a number of frames it keeps the device open and sends nothing, like a camera that
// died. Changes take effect at once, also for a pattern that is running.
class TestPatternFault {
public:
    // Stalls after frames more frames (0: at once; negative: never). With recovers, every
    // new opening starts again with that many frames, as a camera that came back would.
    void set(long long frames, bool recovers);
    // Called when the pattern is opened.
    void onOpening();
    // Called for each frame the pattern makes: false when it is to be swallowed.
    bool take();

private:
    std::atomic<long long> remaining_{-1};
    std::atomic<long long> perOpening_{-1};
};

// The lavfi graph that draws the test pattern at a size and rate.
std::string TestPatternGraph(TestPattern pattern, int width, int height, int framesPerSecond);

}  // namespace device
