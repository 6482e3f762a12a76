// The command line: the parser on its own, the installed program as a process (help,
// version and refusals without any display, the directory of a real run), and a whole run
// recorded into the directory given with -C.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/CaptureDlg.h"
#include "app/CommandLine.h"
#include "fakes/FakePowerServices.h"
#include "platform/capwin/FfmpegDriverRegistry.h"
#include "support/Probe.h"

namespace {

std::string CurrentDirectoryBytes() {
    char buffer[PATH_MAX];
    return ::getcwd(buffer, sizeof buffer) ? std::string(buffer) : std::string();
}

// Every test leaves the process in the directory it found it in.
class CommandLine : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        startDir = CurrentDirectoryBytes();
    }
    void TearDown() override { ASSERT_EQ(::chdir(startDir.c_str()), 0); }

    static CommandLineResult Read(std::vector<std::string> args) {
        args.insert(args.begin(), "brisolt");
        return ReadCommandLine(args);
    }
    std::string Dir() const { return QFile::encodeName(dir.path()).toStdString(); }

    QTemporaryDir dir;
    std::string startDir;
};

TEST_F(CommandLine, OptionsThatEndTheProgramAndOnesThatGoOnToTheMainWindow) {
    struct Case {
        std::vector<std::string> args;
        bool starts;
        int status;
        const char* out;  // the start of standard output
        const char* err;  // a part of standard error
    };
    const Case cases[] = {
        {{}, true, 0, "", ""},
        {{"--help"}, false, 0, "Usage: brisolt [-C DIR]\n", ""},
        {{"-h"}, false, 0, "Usage: brisolt [-C DIR]\n", ""},
        {{"--version"}, false, 0,
         "brisolt 1.2.0.3\nCopyright (C) 2026 the Brisolt developers.\n"
         "License GPL-3.0-or-later: GNU GPL version 3 or later",
         ""},
        {{"-v"}, false, 0, "brisolt 1.2.0.3\n", ""},
        {{"--bogus"}, false, 2, "", "brisolt: Unknown option 'bogus'."},
        {{"-x"}, false, 2, "", "Unknown option 'x'."},
        {{"--help", "--bogus"}, false, 2, "", "Unknown option 'bogus'."},
        {{"-C"}, false, 2, "", "Missing value after '-C'."},
        {{"--directory"}, false, 2, "", "Missing value after '--directory'."},
        {{"recordings"}, false, 2, "", "unexpected argument 'recordings'"},
        {{"--", "-C"}, false, 2, "", "unexpected argument '-C'"},
        // Qt's own options are QApplication's; -reverse is not a bundle holding -v.
        {{"-platform", "offscreen"}, true, 0, "", ""},
        {{"--platform", "offscreen", "-reverse", "-style", "Fusion"}, true, 0, "", ""},
    };
    for (const Case& c : cases) {
        std::string label;
        for (const std::string& a : c.args)
            label += a + " ";
        SCOPED_TRACE("brisolt " + label);
        const CommandLineResult result = Read(c.args);
        EXPECT_EQ(result.startMainWindow, c.starts);
        EXPECT_EQ(result.exitStatus, c.status);
        EXPECT_EQ(result.out.rfind(c.out, 0), 0u) << result.out;
        if (*c.out == '\0') {
            EXPECT_EQ(result.out, "");
        }
        EXPECT_NE(result.err.find(c.err), std::string::npos) << result.err;
        if (*c.err == '\0') {
            EXPECT_EQ(result.err, "");
        }
        if (c.status == kCommandLineErrorStatus) {
            EXPECT_NE(result.err.find("Usage: brisolt"), std::string::npos) << "no usage";
        }
        EXPECT_EQ(CurrentDirectoryBytes(), startDir);
    }
}

TEST_F(CommandLine, HelpNamesEveryOption) {
    const std::string help = Read({"--help"}).out;
    for (const char* option :
         {"-C, --directory DIR", "-h, --help", "-v, --version", "--driver N|PATH", "--interval S",
          "--span S", "--until TIME", "--use-sleep", "--suspend-end", "--start"})
        EXPECT_NE(help.find(option), std::string::npos) << option << " missing in\n" << help;
}

TEST_F(CommandLine, ADirectoryThatCanBeRecordedIntoBecomesTheCurrentOne) {
    // A name that is not UTF-8 must reach chdir as the same bytes.
    const std::string latin1 = Dir() + "/caf\xE9";
    ASSERT_EQ(::mkdir(latin1.c_str(), 0755), 0);
    // QTemporaryDir does not remove a name its locale cannot decode: this one goes by its bytes.
    struct RemovedAtEnd {
        std::string path;
        ~RemovedAtEnd() { ::rmdir(path.c_str()); }
    } const removed{latin1};
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-C", Dir()}, {"--directory", Dir()},
          {"--directory=" + Dir()}, {"-C", latin1}, {"-platform", "offscreen", "-C", Dir()}}) {
        SCOPED_TRACE(args.back());
        ASSERT_EQ(::chdir("/"), 0);
        const CommandLineResult result = Read(args);
        EXPECT_TRUE(result.startMainWindow) << result.err;
        EXPECT_EQ(result.err, "");
        const std::string expected = args.back().find("caf") != std::string::npos ? latin1 : Dir();
        EXPECT_EQ(CurrentDirectoryBytes(), expected);
    }
}

TEST_F(CommandLine, ADirectoryThatIsMissingOrNoDirectoryIsRefusedAndTheCurrentOneStays) {
    const std::string file = Dir() + "/brslt000.avi";
    ASSERT_TRUE(QFile(QString::fromStdString(file)).open(QIODevice::WriteOnly));
    struct Case {
        std::string dir;
        const char* why;
    };
    const Case cases[] = {
        {Dir() + "/missing", "No such file or directory"},
        {Dir() + "/missing/deeper", "No such file or directory"},
        {"", "No such file or directory"},
        {file, "Not a directory"},
        {file + "/below", "Not a directory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dir);
        const CommandLineResult result = Read({"-C", c.dir});
        EXPECT_FALSE(result.startMainWindow);
        EXPECT_EQ(result.exitStatus, 2);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err.rfind("brisolt: cannot record into '" + c.dir + "': " + c.why, 0),
                  0u)
            << result.err;
        EXPECT_EQ(CurrentDirectoryBytes(), startDir);
    }
}

// Each run option as the fields take it: a value in range is kept, one outside (or none)
// is refused with the option and its range named, before anything else happens.
TEST_F(CommandLine, RunOptionsTakeTheFieldsValuesAndRefuseOthers) {
    std::time_t noon = 0;
    ASSERT_EQ(ReadUntil("2026-12-09 12:00", &noon), "");
    struct Case {
        std::vector<std::string> args;
        const char* refusal;  // the start of the message after "brisolt: "; "" when accepted
        std::function<bool(const RunOptions&)> check;
    };
    const auto none = [](const RunOptions&) { return true; };
    const std::string seconds = "whole seconds from 1 to 2147482";
    const Case cases[] = {
        {{"--interval", "1"}, "", [](const RunOptions& r) { return *r.intervalSeconds == 1; }},
        {{"--interval", "2147482"},
         "",
         [](const RunOptions& r) { return *r.intervalSeconds == 2147482; }},
        {{"--interval", "0"}, "--interval 0 is out of range: ", none},
        {{"--interval", "2147483"}, "--interval 2147483 is out of range: ", none},
        {{"--interval", "99999999999"}, "--interval '99999999999': not a number of ", none},
        {{"--interval", "-5"}, "--interval '-5': not a number of ", none},
        {{"--interval", "1.5"}, "--interval '1.5': not a number of ", none},
        {{"--interval", "10s"}, "--interval '10s': not a number of ", none},
        {{"--interval", ""}, "--interval '': not a number of ", none},
        {{"--span", "3400"}, "", [](const RunOptions& r) { return *r.spanSeconds == 3400; }},
        {{"--span", "0"}, "--span 0 is out of range: ", none},
        {{"--span", "1", "--span", "2"}, "--span is given more than once", none},
        {{"--driver", "0"}, "", [](const RunOptions& r) { return *r.driverIndex == 0; }},
        {{"--driver", "9"}, "", [](const RunOptions& r) { return *r.driverIndex == 9; }},
        {{"--driver", "10"},
         "--driver 10 is out of range: an index in the driver list from 0 to 9",
         none},
        {{"--driver", "webcam"}, "--driver 'webcam': neither an index", none},
        {{"--driver", "/dev/v4l/by-id/usb-cam-video-index0"},
         "",
         [](const RunOptions& r) {
             return r.driverPath == "/dev/v4l/by-id/usb-cam-video-index0" && !r.driverIndex;
         }},
        // A relative path is the user's, not the recording directory's.
        {{"--driver", "./video3", "-C", "/"},
         "",
         [this](const RunOptions& r) { return r.driverPath == startDir + "/./video3"; }},
        {{"--until", "2026-12-09 13:00"},
         "",
         [noon](const RunOptions& r) { return *r.until == noon + 3600; }},
        {{"--until", "2026-12-09 13:00", "--span", "60"}, "--span and --until are exclusive", none},
        {{"--until", "2026-12-09T13:00"},
         "--until '2026-12-09T13:00': not a local date and time",
         none},
        {{"--until", "2026-12-09 13:00:00"}, "--until '2026-12-09 13:00:00': not a local", none},
        {{"--until", "2026-02-30 13:00"}, "--until '2026-02-30 13:00': not a local", none},
        {{"--until", "2026-12-09 24:00"}, "--until '2026-12-09 24:00': not a local", none},
        {{"--until", "tomorrow"}, "--until 'tomorrow': not a local", none},
        // The longest span ahead, and a minute more.
        {{"--until", "2027-01-03 08:31"}, "", none},
        {{"--until", "2027-01-03 08:32"}, "--until 2027-01-03 08:32 is out of range", none},
        {{"--use-sleep", "--suspend-end", "--start"},
         "",
         [](const RunOptions& r) { return r.useSleep && r.suspendEnd && r.start; }},
        {{},
         "",
         [](const RunOptions& r) {
             return !r.useSleep && !r.suspendEnd && !r.start && !r.HasDriver() &&
                    !r.intervalSeconds && !r.spanSeconds && !r.until;
         }},
    };
    for (const Case& c : cases) {
        std::string label;
        for (const std::string& a : c.args)
            label += a + " ";
        SCOPED_TRACE("brisolt " + label);
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), "brisolt");
        const CommandLineResult result = ReadCommandLine(args, noon);
        if (*c.refusal == '\0') {
            EXPECT_TRUE(result.startMainWindow) << result.err;
            EXPECT_EQ(result.err, "");
            EXPECT_TRUE(c.check(result.run));
        } else {
            EXPECT_FALSE(result.startMainWindow);
            EXPECT_EQ(result.exitStatus, kCommandLineErrorStatus);
            EXPECT_EQ(result.err.rfind(std::string("brisolt: ") + c.refusal, 0), 0u) << result.err;
            if (std::string(c.refusal).find("out of range: whole") != std::string::npos) {
                EXPECT_NE(result.err.find(seconds), std::string::npos) << result.err;
            }
        }
        ASSERT_EQ(::chdir(startDir.c_str()), 0);
    }
}

TEST_F(CommandLine, AnEndTimeThatHasPassedEndsTheProgramWithoutARun) {
    std::time_t noon = 0;
    ASSERT_EQ(ReadUntil("2026-12-09 12:00", &noon), "");
    for (const std::time_t now : {noon, noon + 1, noon + 86400}) {
        const CommandLineResult result =
            ReadCommandLine({"brisolt", "--until", "2026-12-09 12:00", "--start"}, now);
        EXPECT_FALSE(result.startMainWindow);
        EXPECT_EQ(result.exitStatus, 0);
        EXPECT_EQ(result.out,
                  "brisolt: the end time 2026-12-09 12:00 has passed; nothing to "
                  "record\n");
    }
    EXPECT_TRUE(
        ReadCommandLine({"brisolt", "--until", "2026-12-09 12:00"}, noon - 1).startMainWindow);
}

// The program itself, started as a process.
struct ProcessRun {
    bool finished = false;
    int exitCode = -1;
    QString out;
    QString err;
};

QString Program() {
    return QString::fromLocal8Bit(qgetenv("BRISOLT_BINARY_DIR")) + QStringLiteral("/brisolt");
}

// The program's environment: never the machine's real system bus, whoever runs the test.
QProcessEnvironment ProgramEnvironment() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"),
               QStringLiteral("unix:path=/nonexistent/brisolt-test-system-bus"));
    return env;
}

// No display at all and the X11 platform asked for: a program that went as far as starting
// its GUI could only abort, so an orderly exit shows that no window was ever tried.
QProcessEnvironment NoDisplay() {
    QProcessEnvironment env = ProgramEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    return env;
}

ProcessRun RunProgram(const QString& program, const QStringList& args,
                      const QProcessEnvironment& env = NoDisplay()) {
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(program, args);
    ProcessRun run;
    run.finished = process.waitForFinished(20000);
    if (!run.finished) {
        process.kill();
        process.waitForFinished();
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    run.err = QString::fromLocal8Bit(process.readAllStandardError());
    return run;
}

TEST_F(CommandLine, TheProgramAnswersAndRefusesWithoutADisplay) {
    ASSERT_TRUE(QFileInfo(Program()).isExecutable()) << Program().toStdString();
    struct Case {
        QStringList args;
        int status;
        QString out;
        QString err;
    };
    const Case cases[] = {
        {{"--version"},
         0,
         "brisolt 1.2.0.3\nCopyright (C) 2026 the Brisolt developers.\n"
         "License GPL-3.0-or-later: GNU GPL version 3 or later",
         ""},
        {{"--help"}, 0, "Usage: brisolt [-C DIR]", ""},
        {{"--bogus"}, 2, "", "brisolt: Unknown option 'bogus'."},
        {{"-C", dir.path() + "/missing"},
         2,
         "",
         "brisolt: cannot record into '" + dir.path() + "/missing': No such file or directory"},
        {{"--driver", "0", "--interval", "0", "--start"},
         2,
         "",
         "brisolt: --interval 0 is out of range: whole seconds from 1 to 2147482\n"},
        {{"--span", "5", "--until", "2030-01-01 00:00"},
         2,
         "",
         "brisolt: --span and --until are exclusive"},
        {{"--driver", "0", "--until", "2000-01-01 00:00", "--start"},
         0,
         "brisolt: the end time 2000-01-01 00:00 has passed; nothing to record\n",
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        const ProcessRun run = RunProgram(Program(), c.args);
        ASSERT_TRUE(run.finished) << "the program did not end by itself";
        EXPECT_EQ(run.exitCode, c.status) << run.err.toStdString();
        EXPECT_TRUE(c.out.isEmpty() || run.out.startsWith(c.out)) << run.out.toStdString();
        EXPECT_TRUE(c.err.isEmpty() || run.err.startsWith(c.err)) << run.err.toStdString();
        if (c.err.isEmpty()) {
            EXPECT_EQ(run.err, "");
        }
        if (c.out.isEmpty()) {
            EXPECT_EQ(run.out, "");
        }
    }
}

TEST_F(CommandLine, ADirectoryTheUserCannotWriteIsRefused) {
    // Root may write anywhere, so the program then runs as nobody; it gets a copy of its
    // own that nobody may start, in a directory nobody may enter.
    ASSERT_EQ(::chmod(QFile::encodeName(dir.path()).constData(), 0755), 0);
    const QString locked = dir.path() + "/locked";
    ASSERT_TRUE(QDir().mkdir(locked));
    ASSERT_EQ(::chmod(QFile::encodeName(locked).constData(), 0555), 0);
    QString program = Program();
    QStringList args{"-C", locked};
    if (::geteuid() == 0) {
        const QString copy = dir.path() + "/brisolt";
        ASSERT_TRUE(QFile::copy(Program(), copy));
        args = QStringList{"--reuid=65534", "--regid=65534", "--clear-groups", "--", copy} + args;
        program = QStringLiteral("setpriv");
    }
    const ProcessRun run = RunProgram(program, args);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 2) << run.err.toStdString();
    EXPECT_EQ(run.err.section('\n', 0, 0),
              "brisolt: cannot record into '" + locked + "': Permission denied");
}

TEST_F(CommandLine, TheProgramRunsItsMainWindowInTheDirectoryGiven) {
    // Qt's own -platform goes on to QApplication; the window stays until a SIGTERM ends it.
    QProcess process;
    QProcessEnvironment env = ProgramEnvironment();
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(QDir::rootPath());
    process.start(Program(), {"-platform", "offscreen", "--directory", dir.path()});
    ASSERT_TRUE(process.waitForStarted());
    const QString cwdLink = QStringLiteral("/proc/%1/cwd").arg(process.processId());
    const QString wanted = QFileInfo(dir.path()).canonicalFilePath();
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return QFileInfo(cwdLink).symLinkTarget() == wanted; }, 10000));
    // Still running after a moment: the main window is up, not a refusal or a crash.
    ASSERT_FALSE(process.waitForFinished(1500)) << process.readAllStandardError().toStdString();
    process.terminate();  // SIGTERM, the way a log-off ends it
    ASSERT_TRUE(process.waitForFinished(20000));
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 0);
}

TEST_F(CommandLine, ARunStartedAfterMinusCWritesItsFileIntoThatDirectory) {
    QTemporaryDir elsewhere;
    ASSERT_TRUE(elsewhere.isValid());
    ASSERT_TRUE(QDir::setCurrent(elsewhere.path()));
    const CommandLineResult result = Read({"-C", Dir()});
    ASSERT_TRUE(result.startMainWindow) << result.err;

    FakePowerServices power;
    FfmpegDriverRegistry registry(FfmpegDriverRegistry::Devices::None);
    auto dlg = std::make_unique<CCaptureDlg>(Platform{&registry, &power});
    dlg->Create();
    dlg->CheckDlgButton(IDC_SUSPEND_END, BST_UNCHECKED);
    dlg->driverList->SetCurSel(registry.testPatternIndex());
    dlg->OnConnect();
    ASSERT_EQ(dlg->captureState, Connected);
    dlg->OnStart();
    dlg->OnTimer(TIMER_FRAME);
    dlg->OnTimer(TIMER_FRAME);
    dlg->OnStop();
    ASSERT_EQ(dlg->frameCount, 3);
    dlg.reset();

    EXPECT_EQ(DecodedFrames(dir.path() + "/brslt000.avi"), 3);
    EXPECT_TRUE(QDir(elsewhere.path()).isEmpty()) << "a file went into the starting directory";
}

}  // namespace
