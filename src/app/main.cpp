// Program entry: the real platform services, then the application object.
#include <QApplication>

#include <csignal>

#include "app/CaptureApp.h"
#include "platform/capwin/FfmpegDriverRegistry.h"
#include "platform/power/LinuxPowerServices.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Brisolt"));
    QApplication::setApplicationVersion(QStringLiteral(BRISOLT_VERSION_STRING));
    QApplication::setDesktopFileName(QStringLiteral("brisolt"));
    // A file-size limit must fail a write, not kill the recorder mid-run.
    std::signal(SIGXFSZ, SIG_IGN);

    InstallSessionSignalHandlers();
    FfmpegDriverRegistry drivers;
    LinuxPowerServices power;
    Platform platform{&drivers, &power};
    CCaptureApp captureApp(platform);
    captureApp.InitInstance();
    return 0;
}
