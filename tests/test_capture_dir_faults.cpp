// Runs whose directory fails them: removed in the middle of a run, or one the program may
// search but not read. The main window runs on the real capture window and the pattern.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/CaptureDlg.h"
#include "app/CommandLine.h"
#include "avi/AviFileWriter.h"
#include "fakes/FakePowerServices.h"
#include "platform/capwin/FfmpegDriverRegistry.h"
#include "support/ChildProcess.h"
#include "support/DeepDirectory.h"
#include "support/Probe.h"

namespace {

class DirectoryFaults : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        previousDir = QDir::currentPath();
    }
    void TearDown() override {
        dlg.reset();
        registry.reset();
        QDir::setCurrent(previousDir);
    }
    void ConnectIn(const QString& where) {
        ASSERT_TRUE(QDir::setCurrent(where));
        registry = std::make_unique<FfmpegDriverRegistry>(FfmpegDriverRegistry::Devices::None);
        dlg = std::make_unique<CCaptureDlg>(Platform{registry.get(), &power});
        dlg->Create();
        dlg->CheckDlgButton(IDC_SUSPEND_END, BST_UNCHECKED);
        dlg->driverList->SetCurSel(registry->testPatternIndex());
        dlg->OnConnect();
        ASSERT_EQ(dlg->captureState, Connected);
    }
    void StartRunIn(const QString& where) {
        ConnectIn(where);
        dlg->OnStart();
        ASSERT_EQ(dlg->captureState, Capturing);
    }

    QTemporaryDir dir;
    QString previousDir;
    FakePowerServices power;
    std::unique_ptr<FfmpegDriverRegistry> registry;
    std::unique_ptr<CCaptureDlg> dlg;
};

// Runs body as the user nobody in a forked child; its exit status is the result (200 + n:
// killed by signal n). Tests that fork come first in this file, before any test starts
// the pattern's threads, so that the child never inherits a lock another thread held.
int AsNobody(const std::function<int()>& body) {
    const passwd* nobody = ::getpwnam("nobody");
    if (nobody == nullptr)
        return 100;
    const uid_t uid = nobody->pw_uid;
    const gid_t gid = nobody->pw_gid;
    return ExitOfChild([&] {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(gid, gid, gid) != 0 ||
            ::setresuid(uid, uid, uid) != 0)
            return 101;
        return body();
    });
}

TEST_F(DirectoryFaults, ADirectoryThatCannotBeReadCountsUnseenNamesAsTakenAndOverwritesNothing) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to hand the directory to another user";
    const passwd* nobody = ::getpwnam("nobody");
    if (nobody == nullptr)
        GTEST_SKIP() << "no user nobody";
    const QString where = dir.path() + "/hidden";
    ASSERT_TRUE(QDir().mkpath(where));
    ASSERT_EQ(::chmod(dir.path().toLocal8Bit().constData(), 0711), 0);
    // The names already there: a file its user may not open, a dangling link, a plain file.
    const std::string base = where.toStdString();
    {
        QFile secret(where + "/brslt000.avi");
        ASSERT_TRUE(secret.open(QIODevice::WriteOnly));
        secret.write("secret");
    }
    ASSERT_EQ(::chmod((base + "/brslt000.avi").c_str(), 0600), 0);
    ASSERT_EQ(::symlink("/nonexistent/target", (base + "/brslt001.avi").c_str()), 0);
    {
        QFile plain(where + "/brslt002.avi");
        ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
        plain.write("plain");
    }
    ASSERT_EQ(::chmod((base + "/brslt002.avi").c_str(), 0644), 0);
    ASSERT_EQ(::chown(base.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    ASSERT_EQ(::chmod(base.c_str(), 0311), 0);

    const int result = AsNobody([&] {
        if (::chdir(base.c_str()) != 0)
            return 10;
        DIR* listing = ::opendir(".");
        if (listing != nullptr) {
            ::closedir(listing);
            return 11;  // the directory is readable after all: the test tests nothing
        }
        const std::string name = NextCaptureFileName();
        if (name != base + "/brslt003.avi")
            return 12;
        avi::AviSetup setup;
        auto writer = avi::AviFileWriter::Create(name, setup);
        picture::CapturedImage image;
        image.width = setup.width;
        image.height = setup.height;
        image.bytes.assign(static_cast<std::size_t>(setup.width * setup.height * 3), 0x80);
        image.used = image.bytes.size();
        if (!writer || !writer->addFrame(image) || !writer->finish())
            return 13;
        return 0;
    });
    ASSERT_NE(result, 100);
    ASSERT_NE(result, 101) << "cannot become nobody";
    EXPECT_EQ(result, 0) << "10: no chdir, 11: readable, 12: wrong name, 13: no file";
    ASSERT_EQ(::chmod(base.c_str(), 0755), 0);
    QFile secret(where + "/brslt000.avi");
    ASSERT_TRUE(secret.open(QIODevice::ReadOnly));
    EXPECT_EQ(secret.readAll(), QByteArray("secret"));
    QFile plain(where + "/brslt002.avi");
    ASSERT_TRUE(plain.open(QIODevice::ReadOnly));
    EXPECT_EQ(plain.readAll(), QByteArray("plain"));
    char target[64] = {};
    EXPECT_GT(::readlink((base + "/brslt001.avi").c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "/nonexistent/target");
    EXPECT_EQ(DecodedFrames(where + "/brslt003.avi"), 1);
}

TEST_F(DirectoryFaults, ARunWhoseDirectoryIsRemovedFailsAtTheNextFrame) {
    const QString where = dir.path() + "/run";
    ASSERT_TRUE(QDir().mkpath(where));
    StartRunIn(where);
    dlg->OnTimer(TIMER_FRAME);
    ASSERT_EQ(dlg->captureState, Capturing);
    ASSERT_TRUE(QDir(where).removeRecursively());

    dlg->OnTimer(TIMER_FRAME);
    EXPECT_EQ(dlg->GetWindowText(), QLatin1String("Capture Failed."));
    EXPECT_EQ(dlg->captureState, Disconnected);
    EXPECT_TRUE(dlg->captureWindow.isNull());
    dlg->OnTimer(TIMER_FRAME);  // a late tick finds nothing to do
    EXPECT_EQ(dlg->captureState, Disconnected);
}

// Every line of the log, kept while a test runs.
std::vector<std::string>* g_logLines = nullptr;
void KeepLogLine(QtMsgType, const QMessageLogContext& context, const QString& text) {
    if (g_logLines != nullptr)
        g_logLines->push_back(std::string(context.category ? context.category : "") + ": " +
                              text.toStdString());
}

// The user removes the recording directory between connect and start: the run fails at
// once, and both the status line and the log say why, without naming a file that was
// never made.
TEST_F(DirectoryFaults, ADirectoryRemovedBeforeTheStartIsReportedAsGone) {
    const QString where = dir.path() + "/gone";
    ASSERT_TRUE(QDir().mkpath(where));
    ConnectIn(where);
    ASSERT_TRUE(QDir(where).removeRecursively());
    std::vector<std::string> log;
    g_logLines = &log;
    const QtMessageHandler previous = qInstallMessageHandler(KeepLogLine);
    dlg->OnStart();
    qInstallMessageHandler(previous);
    g_logLines = nullptr;
    std::string all;
    for (const std::string& line : log)
        all += line + "\n";
    EXPECT_EQ(dlg->GetWindowText(), QLatin1String("Capture Failed."));
    const std::string status = dlg->statusLine.Text().toStdString();
    EXPECT_NE(status.find("the directory recordings go to is gone"), std::string::npos)
        << status;
    EXPECT_EQ(status.find("names"), std::string::npos) << status;
    EXPECT_EQ(all.find("brslt000.avi"), std::string::npos) << all;
    EXPECT_NE(all.find("brisolt.status: capture failed: the directory recordings go to is gone"),
              std::string::npos)
        << all;
}

// A directory so deep that its path and a file's name together pass PATH_MAX: -C takes it
// (its own path is short enough), and a run and a snapshot then make their files there.
TEST_F(DirectoryFaults, ADirectoryWhosePathWithAFileNamePassesPathMaxTakesRunsAndSnapshots) {
    const EmptiedOnExit cleanUp(dir.path().toStdString());
    // A leaf of 13 bytes passes PATH_MAX.
    const std::string deep = MakeDeepDirectory(dir.path().toStdString(), PATH_MAX - 6);
    ASSERT_EQ(deep.size(), std::size_t{PATH_MAX - 6});
    ASSERT_GT(deep.size() + std::strlen("/brslt000.avi"), std::size_t{PATH_MAX});
    const CommandLineResult commandLine = ReadCommandLine({"brisolt", "-C", deep});
    ASSERT_TRUE(commandLine.startMainWindow) << commandLine.err;

    StartRunIn(QString::fromStdString(deep));
    dlg->OnTimer(TIMER_FRAME);
    dlg->OnStop();
    EXPECT_EQ(dlg->GetWindowText(), QLatin1String("End Capture..."));
    dlg->OnSnapshot();
    // Read back by their leaves, from within the directory.
    EXPECT_EQ(DecodedFrames("brslt000.avi"), 2);
    struct stat st {};
    EXPECT_EQ(::stat("brslt000.bmp", &st), 0) << "no snapshot";
    dlg.reset();
}

// The size check asks the file's writer, not the directory by name: a directory renamed
// under a run (its name tidied up by hand, say) keeps the run in the same file.
TEST_F(DirectoryFaults, ARunWhoseDirectoryIsRenamedGoesOnInTheSameFile) {
    const QString where = dir.path() + "/run";
    ASSERT_TRUE(QDir().mkpath(where));
    StartRunIn(where);
    ASSERT_TRUE(QDir().rename(where, dir.path() + "/renamed"));
    dlg->OnTimer(TIMER_FRAME);
    dlg->OnTimer(TIMER_FRAME);
    EXPECT_EQ(dlg->captureState, Capturing);
    dlg->OnStop();
    EXPECT_EQ(QDir(dir.path() + "/renamed").entryList(QDir::Files),
              QStringList{"brslt000.avi"});
    EXPECT_EQ(DecodedFrames(dir.path() + "/renamed/brslt000.avi"), 3);
}

}  // namespace
