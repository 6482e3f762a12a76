// The command line of brisolt: parsed with QCommandLineParser before any QApplication exists.
#include "app/CommandLine.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QStringList>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr const char kUsage[] =
    "Usage: brisolt [-C DIR]\n"
    "Time-lapse recorder: grabs one frame per interval from a capture device into numbered,\n"
    "time-stamped AVI files (brslt000.avi, brslt001.avi, ...) and saves snapshots as\n"
    "brslt000.bmp, ..., all in the current directory.\n"
    "\n"
    "Options:\n"
    "  -C, --directory DIR  record into DIR: change to it before the main window opens\n"
    "  -h, --help           show this help and exit\n"
    "  -v, --version        print the version and exit\n"
    "\n"
    "Qt's own options (-platform, -display, -style, ...) are passed on to Qt.\n"
    "Exit status: 0 when the main window was closed, or after --help and --version;\n"
    "2 for an unknown option or argument, or a directory that cannot be recorded into.\n";

// What --version says after the version, in the form GNU programs use.
constexpr const char kLicence[] =
    "Copyright (C) 2026 the Brisolt developers.\n"
    "License GPL-3.0-or-later: GNU GPL version 3 or later <https://gnu.org/licenses/gpl.html>.\n"
    "This is free software: you are free to change and redistribute it.\n"
    "There is NO WARRANTY, to the extent permitted by law.\n";

// Options that QApplication reads and removes itself; they must not count as unknown here.
constexpr const char* kQtValueOptions[] = {
    "platform", "platformpluginpath", "platformtheme", "plugin", "qmljsdebugger",
    "qwindowgeometry", "qwindowicon", "qwindowtitle", "session", "display", "geometry",
    "name", "title", "style", "stylesheet"};
constexpr const char* kQtFlagOptions[] = {"reverse", "widgetcount", "nograb", "dograb", "sync"};

CommandLineResult Refuse(const std::string& message, bool withUsage) {
    CommandLineResult result;
    result.startMainWindow = false;
    result.exitStatus = kCommandLineErrorStatus;
    result.err = "brisolt: " + message + "\n";
    result.err += withUsage ? std::string(kUsage) : "Try 'brisolt --help' for more information.\n";
    return result;
}

// Makes `dir` the current directory if a run could write its files there; otherwise returns
// why not, and the current directory stays as it was.
std::string EnterRecordingDirectory(const std::string& dir) {
    struct stat info {};
    if (::stat(dir.c_str(), &info) != 0)
        return std::strerror(errno);
    if (!S_ISDIR(info.st_mode))
        return std::strerror(ENOTDIR);
    // New files need write and search permission on the directory; for root this still
    // catches a read-only file system.
    if (::access(dir.c_str(), W_OK | X_OK) != 0)
        return std::strerror(errno);
    if (::chdir(dir.c_str()) != 0)
        return std::strerror(errno);
    return {};
}

}  // namespace

CommandLineResult ReadCommandLine(const std::vector<std::string>& arguments) {
    // Latin-1 maps every byte to one character and back, so a path comes out as the very
    // bytes it went in as; the option names themselves are plain ASCII.
    QStringList args;
    for (const std::string& argument : arguments)
        args << QString::fromLatin1(argument.data(), static_cast<qsizetype>(argument.size()));
    if (args.isEmpty())
        args << QStringLiteral("brisolt");

    QCommandLineParser parser;
    // Qt's options are single-dash words (-platform, -reverse): they must not be read as
    // bundles of one-letter options.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("show this help and exit"));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("print the version and exit"));
    const QCommandLineOption directory({QStringLiteral("C"), QStringLiteral("directory")},
                                       QStringLiteral("record into DIR"), QStringLiteral("DIR"));
    parser.addOption(help);
    parser.addOption(version);
    parser.addOption(directory);
    for (const char* name : kQtValueOptions)
        parser.addOption(QCommandLineOption(QString::fromLatin1(name), QString(),
                                            QStringLiteral("value")));
    for (const char* name : kQtFlagOptions)
        parser.addOption(QCommandLineOption(QString::fromLatin1(name)));

    if (!parser.parse(args))
        return Refuse(parser.errorText().toStdString(), true);
    if (!parser.positionalArguments().isEmpty()) {
        return Refuse("unexpected argument '" +
                          parser.positionalArguments().constFirst().toLatin1().toStdString() +
                          "' (a directory to record into is given with -C DIR)",
                      true);
    }

    CommandLineResult result;
    if (parser.isSet(help)) {
        result.startMainWindow = false;
        result.out = kUsage;
        return result;
    }
    if (parser.isSet(version)) {
        result.startMainWindow = false;
        result.out = "brisolt " BRISOLT_VERSION_STRING "\n" + std::string(kLicence);
        return result;
    }
    if (parser.isSet(directory)) {
        const std::string dir = parser.value(directory).toLatin1().toStdString();
        const std::string why = EnterRecordingDirectory(dir);
        if (!why.empty())
            return Refuse("cannot record into '" + dir + "': " + why, false);
    }
    return result;
}

CommandLineResult ReadCommandLine(int argc, char** argv) {
    std::vector<std::string> arguments;
    for (int i = 0; i < argc; ++i)
        arguments.emplace_back(argv[i]);
    return ReadCommandLine(arguments);
}
