// CPU cost of previewing a camera: the program's capture window on the fake V4L2 camera,
// against ffmpeg merely reading the same camera (-f null), in the same run.
//
//   build/bench_camera [seconds per measurement, default 10]
//
// With BRISOLT_BENCH_DEVICE naming a real camera node (say vivid's in a run-in-vm guest,
// /dev/v4l/by-path/platform-vivid.0-video-index0), that camera is measured instead, in YUYV
// 640x480 only; a kernel driver paints its frames in a kernel thread, which neither side pays.
//
// The fake camera (libbrisolt_fake_v4l2.so beside this program) is preloaded by re-running
// the program with LD_PRELOAD. Both sides include what the fake itself costs to paint (and,
// for MJPEG, to encode) the frames; that share is measured on its own with v4l2-ctl
// streaming the camera without looking at the frames.
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "common/CaptureSettings.h"
#include "overlay/FrameCallback.h"
#include "platform/capwin/DriverDialogs.h"
#include "platform/capwin/FfmpegCaptureWindow.h"
#include "platform/capwin/FfmpegDriverRegistry.h"

namespace {

double Seconds(const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; }

double ProcessCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
}

// Re-runs this program with the fake camera preloaded, unless it is already.
void PreloadFake(char** argv) {
    const char* preload = std::getenv("LD_PRELOAD");
    if (preload != nullptr && std::strstr(preload, "libbrisolt_fake_v4l2") != nullptr)
        return;
    char self[PATH_MAX] = {};
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) {
        std::perror("readlink /proc/self/exe");
        std::exit(1);
    }
    const std::string lib =
        (std::filesystem::path(self).parent_path() / "libbrisolt_fake_v4l2.so").string();
    if (access(lib.c_str(), R_OK) != 0) {
        std::fprintf(stderr, "%s is missing: build the target brisolt_fake_v4l2\n", lib.c_str());
        std::exit(1);
    }
    setenv("LD_PRELOAD", lib.c_str(), 1);
    execv(self, argv);
    std::perror("execv");
    std::exit(1);
}

// CPU seconds a child command used, run to its end with the fake camera in its environment.
double ChildCpuSeconds(const std::vector<std::string>& command) {
    std::fflush(stdout);  // or the child prints it again
    const pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        std::vector<char*> args;
        for (const std::string& a : command)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        if (std::freopen("/dev/null", "w", stdout) == nullptr ||
            std::freopen("/dev/null", "w", stderr) == nullptr)
            _exit(127);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s failed\n", command[0].c_str());
        return -1;
    }
    return Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
}

struct Mode {
    const char* name;
    const char* sizeText;  // as the format dialog lists it
    const char* layout;    // the format dialog's pixel format
    const char* ffmpegFormat;
    const char* ffmpegSize;
};

void RunEventLoop(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Chooses size and layout in the capture window's own format dialog.
bool ChooseFormat(FfmpegCaptureWindow& window, const Mode& mode) {
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr)
            return;
        for (auto [name, text] : {std::pair{"frameSize", mode.sizeText},
                                  std::pair{"pixelFormat", mode.layout}}) {
            auto* combo = dialog->findChild<QComboBox*>(name);
            if (combo != nullptr && combo->findText(text) >= 0)
                combo->setCurrentIndex(combo->findText(text));
        }
        dialog->accept();
    });
    answer.start(10);
    return window.DlgVideoFormat() == TRUE;
}

// CPU seconds per minute of the program previewing the camera at the preview rate.
double PreviewCpuPerMinute(FfmpegDriverRegistry& registry, const Mode& mode, int rateMs,
                           int seconds) {
    QWidget parent;
    std::unique_ptr<CaptureWindow> created(registry.capCreateCaptureWindowA(
        "PrevWnd", WS_CHILD | WS_VISIBLE, 0, 0, 320, 240, &parent, 22));
    auto* window = dynamic_cast<FfmpegCaptureWindow*>(created.get());
    if (window == nullptr || window->DriverConnect(0) != 1 || !ChooseFormat(*window, mode)) {
        std::fprintf(stderr, "the camera did not connect in %s\n", mode.name);
        return -1;
    }
    // As the main window sets it up: the time stamp on every frame, the preview scaled.
    window->GetStatus(&captureSettings.capStatus, sizeof(CAPSTATUS));
    window->SetCallbackFrame(&FrameCallback);
    window->SetScale(TRUE);
    window->SetPreviewRate(static_cast<UINT>(rateMs));
    window->SetPreview(TRUE);
    parent.show();
    // Settle, then measure, the event loop running as in the program.
    RunEventLoop(1000);
    const double before = ProcessCpuSeconds();
    QElapsedTimer wall;
    wall.start();
    RunEventLoop(seconds * 1000);
    const double used = ProcessCpuSeconds() - before;
    const double elapsed = wall.elapsed() / 1000.0;
    window->DriverDisconnect();
    return used / elapsed * 60;
}

}  // namespace

int main(int argc, char** argv) {
    const char* realNode = std::getenv("BRISOLT_BENCH_DEVICE");
    if (realNode == nullptr)
        PreloadFake(argv);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/brisolt-bench-system-bus", 1);
    const int seconds = argc > 1 ? std::max(2, std::atoi(argv[1])) : 10;
    QApplication app(argc, argv);

    QTemporaryDir devices;
    if (!devices.isValid())
        return 1;
    std::string node = devices.path().toStdString() + "/video0";
    std::string deviceDir = devices.path().toStdString();
    if (realNode != nullptr) {
        node = realNode;
        deviceDir = "/dev";
    } else {
        std::FILE* file = std::fopen(node.c_str(), "w");
        if (file == nullptr)
            return 1;
        std::fclose(file);
        std::filesystem::create_directories(deviceDir + "/v4l/by-id");
        std::filesystem::create_symlink(
            "../../video0", deviceDir + "/v4l/by-id/usb-Brisolt_Fake_Camera-video-index0");
        setenv("FAKE_V4L2_DEVICE", node.c_str(), 1);
    }
    FfmpegDriverRegistry registry(FfmpegDriverRegistry::Devices::Scan, deviceDir);
    captureSettings.textPlacement = 2;
    captureSettings.flipText = 1;

    const Mode modes[] = {{"640x480 YUYV", "640 x 480", "24-bit RGB", "yuyv422", "640x480"},
                          {"1280x720 MJPEG", "1280 x 720", "MJPEG", "mjpeg", "1280x720"}};
    const std::string frames = std::to_string(seconds * 30);
    std::printf("CPU seconds per minute, measured over %d s each (%s)\n", seconds,
                realNode != nullptr ? realNode : "the fake camera at 30 fps");
    std::printf("%-24s %10s %12s %12s %14s %8s\n", "mode", "preview", "program", "ffmpeg",
                "camera alone", "ratio");
    for (const Mode& mode : modes) {
        if (realNode != nullptr && mode.ffmpegFormat == std::string("mjpeg"))
            continue;
        const std::vector<std::string> ffmpeg = {
            "ffmpeg", "-nostdin", "-v", "error", "-f", "v4l2", "-input_format", mode.ffmpegFormat,
            "-video_size", mode.ffmpegSize, "-i", node, "-frames:v", frames, "-f", "null", "-"};
        const std::string pixelFormat = mode.ffmpegFormat == std::string("mjpeg") ? "MJPG" : "YUYV";
        const std::vector<std::string> v4l2ctl = {
            "v4l2-ctl", "-d", node, "--set-fmt-video=width=" +
            std::string(mode.ffmpegSize).substr(0, std::string(mode.ffmpegSize).find('x')) +
            ",height=" + std::string(mode.ffmpegSize).substr(std::string(mode.ffmpegSize).find('x') + 1) +
            ",pixelformat=" + pixelFormat, "--stream-mmap", "--stream-count=" + frames};
        QElapsedTimer wall;
        wall.start();
        const double ffmpegCpu = ChildCpuSeconds(ffmpeg);
        const double ffmpegPerMinute = ffmpegCpu / (wall.elapsed() / 1000.0) * 60;
        wall.restart();
        const double cameraCpu = ChildCpuSeconds(v4l2ctl);
        const double cameraPerMinute = cameraCpu / (wall.elapsed() / 1000.0) * 60;
        for (int rate : {1000, 33}) {
            const double program = PreviewCpuPerMinute(registry, mode, rate, seconds);
            std::printf("%-24s %7d ms %10.2f s %10.2f s %12.2f s %8.2f\n", mode.name, rate,
                        program, ffmpegPerMinute, cameraPerMinute,
                        ffmpegPerMinute > 0 ? program / ffmpegPerMinute : 0.0);
            std::fflush(stdout);
        }
    }
    std::printf("ratio: program / ffmpeg; camera alone: v4l2-ctl streaming the camera, which "
                "both include%s\n",
                realNode != nullptr ? " (a kernel driver's painting is in none)" : "");
    return 0;
}
