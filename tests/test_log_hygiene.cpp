// What the recorder writes to the log at the default level: a line per event of a run, a
// warning per failure, nothing per frame.
#include <QLoggingCategory>

#include <string>
#include <vector>

#include "platform/power/LinuxPowerServices.h"
#include "support/CaptureDlgFixture.h"

namespace {

struct LogLine {
    QtMsgType type;
    std::string category;
    std::string text;
};

std::vector<LogLine>* g_lines = nullptr;

void Collect(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (g_lines)
        g_lines->push_back({type, context.category ? context.category : "", text.toStdString()});
}

// Collects every message that is not filtered out while it lives.
class LogCollector {
public:
    LogCollector() {
        g_lines = &lines;
        previous_ = qInstallMessageHandler(&Collect);
    }
    ~LogCollector() {
        qInstallMessageHandler(previous_);
        g_lines = nullptr;
    }
    int Count(QtMsgType type, const std::string& categoryPrefix) const {
        int n = 0;
        for (const LogLine& l : lines)
            n += l.type == type && l.category.rfind(categoryPrefix, 0) == 0;
        return n;
    }
    std::string All() const {
        std::string out;
        for (const LogLine& l : lines)
            out += l.category + ": " + l.text + "\n";
        return out;
    }
    std::vector<LogLine> lines;

private:
    QtMessageHandler previous_ = nullptr;
};

class LogHygieneTest : public CaptureDlgFixture {};

TEST_F(LogHygieneTest, FramesOfARunLogNothingEvenWhenEverySuspendIsRefused) {
    power.results.suspend = false;
    StartRun();
    {
        LogCollector log;
        for (int i = 0; i < 5; ++i)
            dlg->OnTimer(TIMER_FRAME);
        EXPECT_EQ(dlg->frameCount, 6);
        EXPECT_EQ(power.CountCalls("Suspend"), 6) << "every frame tried to sleep";
        EXPECT_TRUE(log.lines.empty()) << log.All();
    }
    LogCollector log;
    dlg->OnStop();
    EXPECT_EQ(log.Count(QtInfoMsg, "brisolt."), 1) << log.All();
}

TEST_F(LogHygieneTest, ACaptureFailureIsOneWarningWithItsReason) {
    dlg->CheckDlgButton(IDC_SUSPEND_END, BST_UNCHECKED);
    FakeCaptureWindow* w = StartRun();
    w->grabReply = 0;
    w->grabFailure = {CaptureFailureKind::NoSpace, "No space left on device"};
    LogCollector log;
    dlg->OnTimer(TIMER_FRAME);
    ASSERT_EQ(log.lines.size(), 1u) << log.All();
    EXPECT_EQ(log.lines[0].type, QtWarningMsg);
    EXPECT_NE(log.lines[0].text.find("no space left"), std::string::npos) << log.All();
}

TEST(LogHygiene, ARefusalRepeatedAfterEveryFrameIsWarnedOnce) {
    // CTest points the system bus at a socket that does not exist.
    LinuxPowerServices::Options options;
    options.dbusTimeoutMs = 500;
    LinuxPowerServices power(options);
    LogCollector log;
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(power.Suspend());
    EXPECT_EQ(power.LastProblem(PowerStep::Suspend).refusal, PowerRefusal::Unavailable);
    EXPECT_EQ(log.Count(QtWarningMsg, "brisolt.power"), 1) << log.All();
    EXPECT_FALSE(power.Hibernate());
    EXPECT_EQ(power.LastProblem(PowerStep::Hibernate).refusal, PowerRefusal::Unavailable);
    EXPECT_EQ(log.Count(QtWarningMsg, "brisolt.power"), 2) << "hibernation is its own step";
}

}  // namespace
