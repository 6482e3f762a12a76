// Program entry: the real platform services, then the application object.
#include <QApplication>

#include <csignal>
#include <cstdio>

#include "app/CaptureApp.h"
#include "app/CommandLine.h"
#include "avi/AviFileWriter.h"
#include "platform/capwin/FfmpegDriverRegistry.h"
#include "platform/power/LinuxPowerServices.h"

int main(int argc, char** argv) {
    // Before Qt starts: --help, --version and a refused directory need no display, and a
    // directory given with -C is current before the main window searches for file names.
    const CommandLineResult commandLine = ReadCommandLine(argc, argv);
    std::fputs(commandLine.out.c_str(), stdout);
    std::fputs(commandLine.err.c_str(), stderr);
    if (!commandLine.startMainWindow)
        return commandLine.exitStatus;

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Brisolt"));
    QApplication::setApplicationVersion(QStringLiteral(BRISOLT_VERSION_STRING));
    QApplication::setDesktopFileName(QStringLiteral(BRISOLT_APP_ID));
    // A file-size limit must fail a write, not kill the recorder mid-run.
    std::signal(SIGXFSZ, SIG_IGN);

    InstallSessionSignalHandlers();
    FfmpegDriverRegistry drivers;
    // Test knobs are read once, here.
    drivers.settings().riffBytes = avi::RiffBytesForTesting();
    LinuxPowerServices power;
    Platform platform{&drivers, &power};
    CCaptureApp captureApp(platform);
    captureApp.InitInstance();
    // The window has let go of its devices; a driver that hangs gets one more second.
    AwaitDeviceThreads(0, std::chrono::milliseconds(1000));
    return 0;
}
