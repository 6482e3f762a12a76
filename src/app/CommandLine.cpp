// The command line of brisolt: parsed with QCommandLineParser before any QApplication exists.
#include "app/CommandLine.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QStringList>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace {

constexpr const char kUsage[] =
    "Usage: brisolt [-C DIR]\n"
    "       brisolt [-C DIR] [--driver N|PATH] [--interval S] [--span S | --until TIME]\n"
    "               [--use-sleep] [--suspend-end] [--start]\n"
    "Time-lapse recorder: grabs one frame per interval from a capture device into numbered,\n"
    "time-stamped AVI files (brslt000.avi, brslt001.avi, ...) and saves snapshots as\n"
    "brslt000.bmp, ..., all in the current directory.\n"
    "\n"
    "Options:\n"
    "  -C, --directory DIR  record into DIR: change to it before the main window opens\n"
    "  -h, --help           show this help and exit\n"
    "  -v, --version        print the version and exit\n"
    "\n"
    "Run options (each sets what the window's controls set, with the same ranges):\n"
    "  --driver N|PATH      the driver with index N (0 to 9) in the setup panel's list\n"
    "                       (cameras first, then the test pattern), or the camera at PATH\n"
    "                       (/dev/videoN or a /dev/v4l/by-id or by-path link); one that is\n"
    "                       not there yet is waited for up to 60 s\n"
    "  --interval S         seconds between frames, 1 to 2147482\n"
    "  --span S             seconds the run lasts, 1 to 2147482\n"
    "  --until TIME         end the run at the local time 'YYYY-MM-DD HH:MM' instead of\n"
    "                       after a span (at most 2147482 s ahead); a time that has\n"
    "                       passed ends the program at once, recording nothing\n"
    "  --use-sleep          check \"use sleep\": suspend between frames\n"
    "  --suspend-end        check \"suspend end\": hibernate at the end of the run\n"
    "  --start              connect and start the run as the buttons do; with --start the\n"
    "                       two boxes are checked only when their options are given\n"
    "\n"
    "Qt's own options (-platform, -display, -style, ...) are passed on to Qt.\n"
    "Exit status: 0 when the main window was closed, or after --help and --version, or\n"
    "for an --until that has passed; 1 when the driver of a start was not there within\n"
    "60 s or did not connect; 2 for an unknown option or argument, a value out of range,\n"
    "or a directory that cannot be recorded into.\n";

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

std::string CurrentDirectory() {
    char buffer[PATH_MAX];
    return ::getcwd(buffer, sizeof buffer) ? std::string(buffer) : std::string(".");
}

}  // namespace

CommandLineResult ReadCommandLine(const std::vector<std::string>& arguments, std::time_t now) {
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
    const QCommandLineOption driver(QStringLiteral("driver"), QString(), QStringLiteral("N|PATH"));
    const QCommandLineOption interval(QStringLiteral("interval"), QString(), QStringLiteral("S"));
    const QCommandLineOption span(QStringLiteral("span"), QString(), QStringLiteral("S"));
    const QCommandLineOption until(QStringLiteral("until"), QString(), QStringLiteral("TIME"));
    const QCommandLineOption useSleep(QStringLiteral("use-sleep"));
    const QCommandLineOption suspendEnd(QStringLiteral("suspend-end"));
    const QCommandLineOption start(QStringLiteral("start"));
    for (const QCommandLineOption* option : {&help, &version, &directory, &driver, &interval, &span,
                                             &until, &useSleep, &suspendEnd, &start})
        parser.addOption(*option);
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
    const auto text = [&parser](const QCommandLineOption& option) {
        return parser.value(option).toLatin1().toStdString();
    };
    // An option given twice would leave the user guessing which one counts.
    for (const QCommandLineOption* option : {&directory, &driver, &interval, &span, &until})
        if (parser.values(*option).size() > 1)
            return Refuse(
                "--" + option->names().constLast().toStdString() + " is given more than once",
                false);
    RunOptions& run = result.run;
    std::string why;
    // Before -C changes the directory: a relative device path is the user's.
    if (parser.isSet(driver))
        why = ReadDriver(text(driver), CurrentDirectory(), &run);
    if (why.empty() && parser.isSet(interval)) {
        std::int32_t seconds = 0;
        why = ReadSeconds("--interval", text(interval), &seconds);
        run.intervalSeconds = seconds;
    }
    if (why.empty() && parser.isSet(span) && parser.isSet(until))
        why = "--span and --until are exclusive: a run ends after a span or at a time";
    if (why.empty() && parser.isSet(span)) {
        std::int32_t seconds = 0;
        why = ReadSeconds("--span", text(span), &seconds);
        run.spanSeconds = seconds;
    }
    if (why.empty() && parser.isSet(until)) {
        std::time_t when = 0;
        why = ReadUntil(text(until), &when);
        if (why.empty() && when - now > kMaxRunSeconds)
            why = "--until " + text(until) + " is out of range: at most " +
                  std::to_string(kMaxRunSeconds) + " s (the longest span) from now";
        run.until = when;
    }
    if (!why.empty())
        return Refuse(why, false);
    run.useSleep = parser.isSet(useSleep);
    run.suspendEnd = parser.isSet(suspendEnd);
    run.start = parser.isSet(start);

    if (parser.isSet(directory)) {
        const std::string dir = text(directory);
        const std::string refusal = EnterRecordingDirectory(dir);
        if (!refusal.empty())
            return Refuse("cannot record into '" + dir + "': " + refusal, false);
    }
    // A run restarted after its end time (the machine was off past it) records nothing.
    if (run.until && *run.until <= now) {
        result.startMainWindow = false;
        result.out =
            "brisolt: the end time " + FormatUntil(*run.until) + " has passed; nothing to record\n";
    }
    return result;
}

CommandLineResult ReadCommandLine(int argc, char** argv) {
    std::vector<std::string> arguments;
    for (int i = 0; i < argc; ++i)
        arguments.emplace_back(argv[i]);
    return ReadCommandLine(arguments);
}
