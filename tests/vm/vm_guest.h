// What the tests in a run-in-vm guest share: the guard that keeps them out of any other
// machine, the main window on the real driver registry and power services, and reading back
// what vivid delivered.
#pragma once

#include <QDialog>
#include <QObject>
#include <QWidget>
#include <QDir>
#include <QImage>
#include <QString>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <time.h>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "app/CaptureDlg.h"
#include "camera_harness.h"
#include "platform/capwin/FfmpegDriverRegistry.h"
#include "platform/power/LinuxPowerServices.h"

namespace vmtest {

using namespace cameratest;

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Before anything else: only in a run-in-vm guest, started by its init.
inline const bool kInGuest = [] {
    const char* marked = std::getenv("BRISOLT_VM_GUEST");
    const std::string cmdline = " " + ReadFile("/proc/cmdline");
    const std::string init = ReadFile("/proc/1/cmdline");
    if (marked != nullptr && std::string(marked) == "1" &&
        cmdline.find(" brisolt_vm.guest=1") != std::string::npos &&
        init.find("tests/vm/guest-init") != std::string::npos)
        return true;
    std::fputs("vm_camera runs only in a tests/vm/run-in-vm guest: it suspends the machine\n",
               stderr);
    std::_Exit(2);
}();

inline constexpr const char* kStablePath = "/dev/v4l/by-path/platform-vivid.0-video-index0";

inline double Clock(clockid_t id) {
    timespec now{};
    clock_gettime(id, &now);
    return double(now.tv_sec) + now.tv_nsec / 1e9;
}

inline int SuccessfulSuspends() {
    return std::atoi(ReadFile("/sys/power/suspend_stats/success").c_str());
}

// A frame as the main window showed it: its title, and when (wall and boot clock).
struct FrameSeen {
    QString title;
    double wall, boot;
    int suspends;
};

// How much two frames differ: pixels whose brightness differs by more than 24, above the
// bottom tenth where the time stamp lies (vivid's own text at the top counts: its first line
// is the time since streaming started).
inline int DifferingPixels(const QImage& a, const QImage& b) {
    int differing = 0;
    for (int y = 0; y < a.height() * 9 / 10; ++y)
        for (int x = 0; x < a.width(); ++x)
            differing += std::abs(Luma(a.pixel(x, y)) - Luma(b.pixel(x, y))) > 24;
    return differing;
}

// vivid paints vertical colour bars, one colour down each column; the time stamp's band
// darkens the full width of the rows it is drawn into, the top or the bottom ones depending
// on the layout's row order. It is looked for over the red and blue bars, right of vivid's
// own text.
inline bool HasStamp(const QImage& image) {
    const auto darkened = [&](int top, int bottom) {
        int off = 0, all = 0;
        for (int y = top; y < bottom; ++y)
            for (int x = image.width() * 7 / 10; x < image.width() * 87 / 100; ++x, ++all) {
                const QRgb here = image.pixel(x, y), bar = image.pixel(x, image.height() / 2);
                off += std::max({std::abs(qRed(here) - qRed(bar)),
                                 std::abs(qGreen(here) - qGreen(bar)),
                                 std::abs(qBlue(here) - qBlue(bar))}) > 40;
            }
        return off * 10 > all * 4;
    };
    const int band = image.height() / 12;
    return darkened(0, band) || darkened(image.height() - band, image.height());
}

// The main window on the real driver registry and power services.
class Vm : public ::testing::Test {
public:
    static void SetUpTestSuite() {
        if (!kInGuest)
            std::_Exit(2);
        StartRecordingLog();
    }
    static void TearDownTestSuite() { StopRecordingLog(); }

    struct Session {
        explicit Session(const QString& dir) : workDir(dir) {
            QDir::setCurrent(workDir);
            dlg = std::make_unique<CCaptureDlg>(Platform{&registry, &power});
            dlg->Create();
            QObject::connect(dlg.get(), &QWidget::windowTitleChanged, [this](const QString& t) {
                if (std::regex_match(t.toStdString(), std::regex(R"(\d\d:\d\d:\d\d .*)")))
                    frames.push_back({t, Clock(CLOCK_REALTIME), Clock(CLOCK_BOOTTIME),
                                      SuccessfulSuspends()});
            });
        }
        void Connect() {
            dlg->driverList->SetCurSel(0);
            dlg->OnConnect();
            ASSERT_EQ(dlg->captureState, Connected) << LogSince(0);
        }
        std::vector<QString> DriverDialogs(
            std::map<QString, std::function<void(QDialog*)>> handlers) {
            DialogAnswers answers(std::move(handlers));
            dlg->OnDriverDialogs();
            return answers.seen;
        }
        void Start(int intervalSeconds, int spanSeconds, bool useSleep, bool suspendEnd) {
            dlg->SetDlgItemText(IDC_INTERVAL, QString::number(intervalSeconds));
            dlg->SetDlgItemText(IDC_SPAN, QString::number(spanSeconds));
            dlg->CheckDlgButton(IDC_USE_SLEEP, useSleep ? BST_CHECKED : BST_UNCHECKED);
            dlg->CheckDlgButton(IDC_SUSPEND_END, suspendEnd ? BST_CHECKED : BST_UNCHECKED);
            dlg->OnStart();
        }
        QString File(const char* leaf) const { return workDir + "/" + leaf; }

        QString workDir;
        FfmpegDriverRegistry registry;
        LinuxPowerServices power;
        std::unique_ptr<CCaptureDlg> dlg;
        std::vector<FrameSeen> frames;
    };
};

}  // namespace vmtest
