// FFmpeg's messages in the program's log: warnings and errors only, each repeated message
// at most once a minute, safe from any thread.
#include "av/CaptureLog.h"
#include "av/RepeatLimiter.h"

#include <QString>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

namespace {

using av::RepeatLimiter;
using namespace std::chrono_literals;

TEST(RepeatLimiter, PassesARepeatedMessageOnceAMinuteAndCountsWhatItHeldBack) {
    RepeatLimiter limiter;
    const RepeatLimiter::Clock::time_point t0{};
    const struct {
        const char* key;
        RepeatLimiter::Clock::duration at;
        bool pass;
        std::uint64_t heldBack;
    } steps[] = {
        {"a", 0s, true, 0},     // the first time
        {"a", 1s, false, 0},    // every frame after it...
        {"a", 30s, false, 0},
        {"b", 31s, true, 0},    // ...while another message has its own minute
        {"a", 59s, false, 0},
        {"a", 60s, true, 3},    // a minute on: once more, with the three held back
        {"a", 61s, false, 0},
        {"b", 62s, false, 0},
        {"b", 91s, true, 1},
        {"a", 10min, true, 1},  // a long quiet time: the next passes at once
        {"a", 10min + 1s, false, 0},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(std::string(step.key) + " at " +
                     std::to_string(std::chrono::duration_cast<std::chrono::seconds>(step.at).count()) + " s");
        const RepeatLimiter::Verdict verdict = limiter.admit(step.key, t0 + step.at);
        EXPECT_EQ(verdict.pass, step.pass);
        EXPECT_EQ(verdict.heldBack, step.heldBack);
    }
}

TEST(RepeatLimiter, RemembersABoundedNumberOfMessagesForgettingTheLeastRecentlySeen) {
    RepeatLimiter limiter(1min, 4);
    const RepeatLimiter::Clock::time_point t0{};
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(limiter.admit("m" + std::to_string(i), t0 + i * 1s).pass);
    // m0 is seen again (held back), so m1 is now the one not seen for the longest time.
    EXPECT_FALSE(limiter.admit("m0", t0 + 5s).pass);
    for (int i = 4; i < 1000; ++i) {
        EXPECT_TRUE(limiter.admit("m" + std::to_string(i), t0 + 6s + i * 1ms).pass);
        ASSERT_LE(limiter.remembered(), 4u);
    }
    EXPECT_EQ(limiter.remembered(), 4u);
    // The last ones are remembered; the forgotten first ones pass again.
    EXPECT_FALSE(limiter.admit("m999", t0 + 7s).pass);
    EXPECT_TRUE(limiter.admit("m1", t0 + 7s).pass);
}

TEST(RepeatLimiter, PassesAMessageOnceWhenManyThreadsLogItAtOnce) {
    const RepeatLimiter::Clock::time_point t0{};
    RepeatLimiter limiter(1min, 8);
    std::atomic<int> passed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i)
                if (limiter.admit("shared", t0 + 1s).pass)
                    ++passed;
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(passed.load(), 1);

    // Each thread's own messages keep the limiter forgetting while others look up: the
    // bound holds throughout.
    RepeatLimiter busy(1min, 8);
    threads.clear();
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i) {
                busy.admit("own" + std::to_string(t * 100000 + i), t0 + i * 1ms);
                busy.admit("shared", t0 + i * 1ms);
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_LE(busy.remembered(), 8u);
}

TEST(RepeatKey, LinesThatDifferOnlyInNumbersAreRepeats) {
    using av::RepeatKey;
    EXPECT_EQ(RepeatKey("[swscaler @ 0x55d0c0a1b2c0] deprecated pixel format used"),
              RepeatKey("[swscaler @ 0x7f00deadbeef] deprecated pixel format used"));
    EXPECT_EQ(RepeatKey("[mjpeg @ 0x1] overread 8"), RepeatKey("[mjpeg @ 0x2] overread 12"));
    EXPECT_NE(RepeatKey("[mjpeg @ 0x1] overread 8"), RepeatKey("[mjpeg @ 0x1] EOI missing"));
    EXPECT_EQ(RepeatKey("plain text"), "plain text");
}

struct Logged {
    QtMsgType type;
    std::string category;
    std::string text;
};
std::mutex g_loggedMutex;
std::vector<Logged> g_logged;

void Catch(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    std::lock_guard lock(g_loggedMutex);
    g_logged.push_back({type, context.category ? context.category : "", message.toStdString()});
}

// The lines caught that contain marker.
std::vector<Logged> Caught(const std::string& marker) {
    std::lock_guard lock(g_loggedMutex);
    std::vector<Logged> found;
    for (const Logged& line : g_logged)
        if (line.text.find(marker) != std::string::npos)
            found.push_back(line);
    return found;
}

TEST(FfmpegLog, WarningsAndErrorsReachTheCategoryOnceAMinuteAndTheRestNever) {
    av::ForwardFfmpegLog();
    const QtMessageHandler previous = qInstallMessageHandler(&Catch);
    for (int frame = 0; frame < 50; ++frame) {
        av_log(nullptr, AV_LOG_WARNING, "brisolt test warning for frame %d\n", frame);
        av_log(nullptr, AV_LOG_ERROR, "brisolt test error\n");
        av_log(nullptr, AV_LOG_INFO, "brisolt test info\n");
        av_log(nullptr, AV_LOG_DEBUG, "brisolt test debug\n");
    }
    // From FFmpeg's own kind of thread as well.
    std::thread([] { av_log(nullptr, AV_LOG_WARNING, "brisolt test from a thread\n"); }).join();
    qInstallMessageHandler(previous);

    const std::vector<Logged> warnings = Caught("brisolt test warning");
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].type, QtWarningMsg);
    EXPECT_EQ(warnings[0].category, "brisolt.ffmpeg");
    EXPECT_EQ(warnings[0].text, "brisolt test warning for frame 0");
    EXPECT_EQ(Caught("brisolt test error").size(), 1u);
    EXPECT_EQ(Caught("brisolt test from a thread").size(), 1u);
    EXPECT_TRUE(Caught("brisolt test info").empty());
    EXPECT_TRUE(Caught("brisolt test debug").empty());
}

TEST(FfmpegLog, NothingPerFrameAtTheDefaultLevel) {
    // The capture window's debug lines (a damaged picture skipped) stay off by default;
    // its events and failures, and FFmpeg's warnings, are on.
    EXPECT_FALSE(lcCapture().isDebugEnabled());
    EXPECT_TRUE(lcCapture().isInfoEnabled());
    EXPECT_TRUE(lcCapture().isWarningEnabled());
    EXPECT_FALSE(lcFfmpeg().isInfoEnabled());
    EXPECT_TRUE(lcFfmpeg().isWarningEnabled());
}

}  // namespace
