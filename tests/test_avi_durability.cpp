// The AVI writer under crashes and failing disks: a process killed at any frame, past one or
// several RIFF boundaries, leaves a file that ffprobe, mediainfo and GStreamer read with
// every frame; a failed write keeps the frames before it; a file that never became readable
// is removed, one with a frame never; a file system that cannot sync does not stop a run.
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "avi/AviFileWriter.h"
#include "support/AviReaders.h"
#include "support/ChildProcess.h"
#include "support/DeepDirectory.h"
#include "support/FileSizeLimit.h"
#include "support/KilledChild.h"

using namespace av;
using namespace avi;
using namespace picture;

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr std::size_t kFrameBytes = kWidth * kHeight * 3;
// With 230400-byte frames a RIFF holds five frames: a file of 17 frames has four RIFFs and
// its last ones lie past 3 GiB (as holes), where 32-bit offsets would already have wrapped.
constexpr std::int64_t kSmallRiff = 1 << 20;

CapturedImage Frame(int n) {
    CapturedImage image;
    image.width = kWidth;
    image.height = kHeight;
    image.layout = PixelLayout::Rgb24;
    image.bytes.resize(kFrameBytes);
    // A picture that changes from frame to frame, so compressed frames differ in size.
    for (std::size_t i = 0; i < kFrameBytes; ++i)
        image.bytes[i] = static_cast<std::uint8_t>((i * (n + 3)) / 97 + n * 37);
    image.used = kFrameBytes;
    return image;
}

// Index segments of two frames: a RIFF of five frames past the first one is indexed by
// three segments, two of them finished.
constexpr std::uint32_t kSmallSegments = 2;

AviSetup FileSetup(std::int64_t riffBytes = kSmallRiff, std::uint32_t segmentFrames = 4096) {
    AviSetup setup;
    setup.width = kWidth;
    setup.height = kHeight;
    setup.riffBytes = riffBytes;
    setup.indexSegmentFrames = segmentFrames;
    return setup;
}

struct Counts {
    int ffprobe = -1;
    int mediainfo = -1;
    int gstreamer = -1;
};

Counts Read(const QString& path) {
    return {avireaders::Ffprobe(path), avireaders::Mediainfo(path), avireaders::Gstreamer(path)};
}

std::string Describe(const Counts& c) {
    return "ffprobe " + std::to_string(c.ffprobe) + ", mediainfo " + std::to_string(c.mediainfo) +
           ", GStreamer " + std::to_string(c.gstreamer);
}

void ExpectAllRead(const QString& path, int frames) {
    const Counts c = Read(path);
    EXPECT_EQ(c.ffprobe, frames) << Describe(c);
    EXPECT_EQ(c.mediainfo, frames) << Describe(c);
    EXPECT_EQ(c.gstreamer, frames) << Describe(c);
}

// Writes frames in a child that reports each one that addFrame took and then waits; it is
// killed once `frames` were reported, so no destructor or trailer runs. Returns the frames
// reported.
int WriteAndKill(const std::string& path, const AviSetup& setup, int frames) {
    return KillAfterReports(frames, 60000, [&](const std::function<void()>& report) {
               auto writer = AviFileWriter::Create(path, setup);
               for (int i = 0; writer && i < frames; ++i) {
                   if (!writer->addFrame(Frame(i)))
                       break;
                   report();
               }
               ::pause();  // killed here
           }).reported;
}

class AviDurability : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }
    QString Path(const char* leaf) const { return dir.path() + "/" + leaf; }
    QTemporaryDir dir;
};

// How a process handles SIGXFSZ is the program's choice, made once at its start: writing a
// file does not change it behind the program's back. (First in this file: nothing has
// created a file in this process yet.)
TEST_F(AviDurability, WritingAFileLeavesTheProcesssSignalHandlingAlone) {
    const std::string name = Path("signals.avi").toStdString();
    const int result = ExitOfChild([&] {
        std::signal(SIGXFSZ, SIG_DFL);
        auto writer = AviFileWriter::Create(name, FileSetup(kMuxerRiffBytes));
        if (!writer || !writer->addFrame(Frame(0)))
            return 1;
        struct sigaction now {};
        return ::sigaction(SIGXFSZ, nullptr, &now) == 0 && now.sa_handler == SIG_DFL ? 0 : 2;
    });
    EXPECT_EQ(result, 0) << "1: no file, 2: SIGXFSZ handling changed";
}

TEST_F(AviDurability, AKilledWriterLeavesEveryFrameToAllThreeReaders) {
    // Kills in the first RIFF, on the first frames of the first and a later AVIX, in the
    // middle of one and after the fourth RIFF began.
    for (const std::uint32_t segment : {4096u, kSmallSegments}) {
        for (const int frames : {1, 3, 5, 6, 7, 9, 11, 17}) {
            SCOPED_TRACE("killed after frame " + std::to_string(frames) + ", index segments of " +
                         std::to_string(segment));
            const QString file = Path(("killed" + std::to_string(frames) + "-" +
                                       std::to_string(segment) + ".avi").c_str());
            ASSERT_EQ(WriteAndKill(file.toStdString(), FileSetup(kSmallRiff, segment), frames),
                      frames);
            ExpectAllRead(file, frames);
        }
    }
}

TEST_F(AviDurability, AKilledWriterOfCompressedFramesLeavesEveryFrame) {
    // Compressed frames come in every size, odd ones with a pad byte; at 64 KiB a RIFF holds
    // a handful of them, so 40 frames span several RIFFs.
    for (const Compression compression : {Compression::MotionJpeg, Compression::Ffv1}) {
        SCOPED_TRACE(CompressionName(compression));
        const QString file = Path((std::string(CompressionName(compression)) + ".avi").c_str());
        AviSetup setup = FileSetup(65536);
        setup.compression = compression;
        ASSERT_EQ(WriteAndKill(file.toStdString(), setup, 40), 40);
        EXPECT_GT(QFileInfo(file).size(), 2 * kMuxerRiffBytes) << "not past the second RIFF";
        ExpectAllRead(file, 40);
    }
}

// Writes `frames` frames in a forked child, then lets the file-size limit end it by SIGXFSZ
// in the middle of writing the next one: a death inside a frame write rather than between
// frames. True when the child died so.
bool WriteAndDieInsideTheNextFrame(const std::string& path, const AviSetup& setup, int frames) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        auto writer = AviFileWriter::Create(path, setup);
        for (int i = 0; writer && i < frames; ++i)
            if (!writer->addFrame(Frame(i)))
                ::_exit(1);
        struct stat st {};
        if (!writer || ::stat(path.c_str(), &st) != 0)
            ::_exit(2);
        // The next frame goes where the provisional index now ends the file, and runs past it.
        rlimit limit{static_cast<rlim_t>(st.st_size), static_cast<rlim_t>(st.st_size)};
        std::signal(SIGXFSZ, SIG_DFL);
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
            ::_exit(3);
        writer->addFrame(Frame(frames));
        ::_exit(4);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ;
}

TEST_F(AviDurability, AWriterKilledInsideAFrameWriteLeavesEveryEarlierFrame) {
    for (const int frames : {3, 7, 8, 12}) {
        SCOPED_TRACE("killed while writing frame " + std::to_string(frames + 1));
        const QString file = Path(("inside" + std::to_string(frames) + ".avi").c_str());
        ASSERT_TRUE(WriteAndDieInsideTheNextFrame(file.toStdString(),
                                                  FileSetup(kSmallRiff, kSmallSegments), frames));
        ExpectAllRead(file, frames);
    }
}

TEST_F(AviDurability, AFinishedFileOverSeveralRiffsReadsWhole) {
    for (const std::uint32_t segment : {4096u, kSmallSegments}) {
        const QString file = Path(("finished" + std::to_string(segment) + ".avi").c_str());
        {
            auto writer = AviFileWriter::Create(file.toStdString(), FileSetup(kSmallRiff, segment));
            ASSERT_TRUE(writer);
            for (int i = 0; i < 17; ++i)
                ASSERT_TRUE(writer->addFrame(Frame(i))) << "frame " << i;
            ASSERT_TRUE(writer->finish());
        }
        ExpectAllRead(file, 17);
    }
}


std::int64_t FileSize(const QString& path) { return QFileInfo(path).size(); }

// The parts of a file that a failed frame may touch: its header and its last bytes (where
// the open RIFF's index lies), with its size.
QByteArray HeaderAndTail(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QByteArray bytes = f.read(64 * 1024);
    const qint64 size = f.size();
    f.seek(std::max<qint64>(0, size - 4096));
    return bytes + f.read(4096) + QByteArray::number(size);
}

TEST_F(AviDurability, AFrameThatCannotBeWrittenLeavesTheFramesBeforeItReadable) {
    // The frame that fails is in the first RIFF, is the one that makes the muxer close the
    // first RIFF or a later one, or lies inside an AVIX.
    // With segments of two frames, frames 8 and 12 come right after a finished segment.
    for (const int good : {2, 5, 6, 7, 10, 11, 12}) {
        SCOPED_TRACE("frame " + std::to_string(good + 1) + " fails");
        const QString file = Path(("limited" + std::to_string(good) + ".avi").c_str());
        {
            auto writer = AviFileWriter::Create(file.toStdString(),
                                                FileSetup(kSmallRiff, kSmallSegments));
            ASSERT_TRUE(writer);
            for (int i = 0; i < good; ++i)
                ASSERT_TRUE(writer->addFrame(Frame(i)));
            const QByteArray lastGood = HeaderAndTail(file);
            {
                const FileSizeLimit limit(static_cast<rlim_t>(FileSize(file) + 100000));
                ASSERT_TRUE(limit.ok());
                EXPECT_FALSE(writer->addFrame(Frame(good)));
                EXPECT_FALSE(writer->addFrame(Frame(good + 1))) << "a broken file takes no more";
            }
            EXPECT_TRUE(HeaderAndTail(file) == lastGood) << "the file is not as after the last frame";
            EXPECT_FALSE(writer->finish());
        }
        ExpectAllRead(file, good);
    }
}

// Runs body in a forked child under a file-size limit; its exit status is the result.
int InChildWithLimit(rlim_t bytes, const std::function<int()>& body) {
    return ExitOfChild([&] {
        rlimit limit{bytes, bytes};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
            return 100;
        return body();
    });
}

// Killed while its header is being made durable: the first sync of a new file is that of
// its header.
int KillAtFirstSync(int fd) {
    static bool first = true;
    if (first) {
        first = false;
        ::raise(SIGKILL);
    }
    return ::fsync(fd);
}

TEST_F(AviDurability, AWriterKilledBeforeItsHeaderIsDurableLeavesNoFileOfThatName) {
    for (const char* leaf : {"brslt000.avi", "brslt001.bmp"}) {
        SCOPED_TRACE(leaf);
        const std::string name = Path(leaf).toStdString();
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            AviSetup setup = FileSetup(kMuxerRiffBytes);
            setup.syncFile = &KillAtFirstSync;
            if (std::string(leaf).ends_with(".avi"))
                AviFileWriter::Create(name, setup);
            else if (DurableFile file = DurableFile::Create(name); file.unnamed())
                file.sync(&KillAtFirstSync);  // as the snapshot does before it names its file
            else
                ::raise(SIGKILL);
            ::_exit(3);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
        EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(name)))
            << "a file without its header took the name (and with it a number)";
    }
    // Named once the header is there: the file is a readable AVI from its first moment.
    const std::string name = Path("brslt002.avi").toStdString();
    auto writer = AviFileWriter::Create(name, FileSetup(kMuxerRiffBytes));
    ASSERT_TRUE(writer);
    EXPECT_TRUE(QFileInfo::exists(QString::fromStdString(name)));
    ASSERT_TRUE(writer->addFrame(Frame(0)));
    EXPECT_EQ(avireaders::Ffprobe(QString::fromStdString(name)), 1);
    // A name taken meanwhile is never replaced.
    const std::string taken = Path("brslt003.avi").toStdString();
    DurableFile unnamed = DurableFile::Create(taken);
    ASSERT_TRUE(unnamed.unnamed());
    QFile other(QString::fromStdString(taken));
    ASSERT_TRUE(other.open(QIODevice::WriteOnly));
    other.write("someone else's");
    other.close();
    errno = 0;
    EXPECT_FALSE(unnamed.name());
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(QFileInfo(QString::fromStdString(taken)).size(), 14);
}

TEST_F(AviDurability, AFileWhoseHeaderOrFirstFrameCannotBeWrittenIsRemovedOneWithAFrameKept) {
    const std::string name = Path("brslt000.avi").toStdString();
    // Room for a page: the header (several pages with its index room) does not fit.
    EXPECT_EQ(InChildWithLimit(4096, [&] { return AviFileWriter::Create(name, FileSetup(kMuxerRiffBytes)) ? 1 : 0; }),
              0);
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(name))) << "an unreadable AVI was left";

    // Room for the header, not for a frame: a file without a frame goes too.
    EXPECT_EQ(InChildWithLimit(100000, [&] {
                  auto writer = AviFileWriter::Create(name, FileSetup(kMuxerRiffBytes));
                  return !writer ? 1 : writer->addFrame(Frame(0)) ? 2 : 0;
              }),
              0);
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(name)));

    // Room for the header and one frame: that file stays, with its frame.
    EXPECT_EQ(InChildWithLimit(300000, [&] {
                  auto writer = AviFileWriter::Create(name, FileSetup(kMuxerRiffBytes));
                  if (!writer || !writer->addFrame(Frame(0)))
                      return 1;
                  return writer->addFrame(Frame(1)) ? 2 : 0;
              }),
              0);
    ExpectAllRead(QString::fromStdString(name), 1);
}

// A tmpfs of a few pages mounted over a temporary directory while it lives (root only).
class SmallTmpfs {
public:
    SmallTmpfs(const QString& where, int kib) : where_(where.toStdString()) {
        const std::string options = "size=" + std::to_string(kib) + "k";
        mounted_ = ::mount("tmpfs", where_.c_str(), "tmpfs", 0, options.c_str()) == 0;
    }
    ~SmallTmpfs() {
        if (mounted_)
            ::umount2(where_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    // Fills the file system up to `room` free bytes with a file of its own.
    bool leaveRoom(std::int64_t room) {
        const std::string filler = where_ + "/filler";
        const int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0)
            return false;
        std::vector<char> page(4096, 'x');
        while (::write(fd, page.data(), page.size()) > 0) {
        }
        struct statvfs vfs {};
        struct stat st {};
        bool ok = ::fstatvfs(fd, &vfs) == 0 && ::fstat(fd, &st) == 0;
        const std::int64_t free = static_cast<std::int64_t>(vfs.f_bavail) * vfs.f_bsize;
        ok = ok && ::ftruncate(fd, std::max<std::int64_t>(0, st.st_size + free - room)) == 0;
        ::close(fd);
        return ok;
    }

private:
    std::string where_;
    bool mounted_ = false;
};

TEST_F(AviDurability, AFullDiskRemovesTheFileItCouldNotMakeReadableAndKeepsOneWithAFrame) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    const QString mountPoint = Path("disk");
    ASSERT_TRUE(QDir().mkpath(mountPoint));
    SmallTmpfs disk(mountPoint, 1024);
    if (!disk.mounted())
        GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);

    const std::string first = (mountPoint + "/brslt001.avi").toStdString();
    ASSERT_TRUE(disk.leaveRoom(4096)) << "the disk full but a page, as at a roll-over";
    EXPECT_FALSE(AviFileWriter::Create(first, FileSetup(kMuxerRiffBytes)));
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(first)));

    const std::string second = (mountPoint + "/brslt002.avi").toStdString();
    ASSERT_TRUE(disk.leaveRoom(300000));
    {
        auto writer = AviFileWriter::Create(second, FileSetup(kMuxerRiffBytes));
        ASSERT_TRUE(writer);
        EXPECT_TRUE(writer->addFrame(Frame(0)));
        EXPECT_FALSE(writer->addFrame(Frame(1))) << "no room for a second frame";
    }
    ExpectAllRead(QString::fromStdString(second), 1);
}

QtMessageHandler g_previousHandler = nullptr;
int g_notDurableMessages = 0;

void CountNotDurable(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (text.contains("not made durable"))
        ++g_notDurableMessages;
    g_previousHandler(type, context, text);
}

int RefuseSync(int) {
    errno = EINVAL;
    return -1;
}

TEST_F(AviDurability, AFileSystemThatRefusesSyncKeepsRecordingAndSaysSoOnce) {
    g_previousHandler = qInstallMessageHandler(CountNotDurable);
    AviSetup setup = FileSetup(kMuxerRiffBytes);
    setup.syncFile = &RefuseSync;
    for (const char* leaf : {"nosync1.avi", "nosync2.avi"}) {
        auto writer = AviFileWriter::Create(Path(leaf).toStdString(), setup);
        ASSERT_TRUE(writer) << leaf;
        for (int i = 0; i < 3; ++i)
            EXPECT_TRUE(writer->addFrame(Frame(i))) << leaf << " frame " << i;
        EXPECT_TRUE(writer->finish());
    }
    qInstallMessageHandler(g_previousHandler);
    EXPECT_EQ(g_notDurableMessages, 1);
    EXPECT_EQ(avireaders::Ffprobe(Path("nosync2.avi")), 3);
}

// The writer makes its file relative to its directory's descriptor: a directory deeper
// than PATH_MAX takes files as any other.
TEST_F(AviDurability, AFileInADirectoryDeeperThanPathMaxIsWrittenAndNamed) {
    const EmptiedOnExit cleanUp(dir.path().toStdString());
    const std::string deep = MakeDeepDirectory(dir.path().toStdString(), PATH_MAX + 300);
    ASSERT_GT(deep.size(), std::size_t{PATH_MAX});
    auto writer = AviFileWriter::Create(deep + "/brslt000.avi", FileSetup(kMuxerRiffBytes));
    ASSERT_TRUE(writer);
    ASSERT_TRUE(writer->addFrame(Frame(0)));
    EXPECT_TRUE(writer->finish());
    writer.reset();
    // Found by walking down from the base, one level at a time.
    int at = ::open(dir.path().toLocal8Bit().constData(), O_RDONLY | O_DIRECTORY);
    for (std::size_t begin = dir.path().size() + 1; at >= 0 && begin < deep.size();) {
        const std::size_t end = std::min(deep.find('/', begin), deep.size());
        const int next = ::openat(at, deep.substr(begin, end - begin).c_str(), O_RDONLY | O_DIRECTORY);
        ::close(at);
        at = next;
        begin = end + 1;
    }
    ASSERT_GE(at, 0);
    struct stat st {};
    EXPECT_EQ(::fstatat(at, "brslt000.avi", &st, 0), 0);
    EXPECT_GT(st.st_size, static_cast<off_t>(kFrameBytes));
    ::close(at);
}

// A directory renamed while a file is being made there is still the one its name goes into.
TEST_F(AviDurability, AFileIsNamedInItsDirectoryEvenWhenThatWasRenamedMeanwhile) {
    ASSERT_TRUE(QDir().mkpath(Path("before")));
    DurableFile file = DurableFile::Create(Path("before/brslt000.bmp").toStdString());
    ASSERT_TRUE(file.isOpen());
    ASSERT_TRUE(QDir().rename(Path("before"), Path("after")));
    const std::uint8_t bytes[] = {'B', 'M'};
    ASSERT_TRUE(file.writeAll(bytes, sizeof bytes));
    EXPECT_TRUE(file.name()) << std::strerror(errno);
    EXPECT_EQ(QFileInfo(Path("after/brslt000.bmp")).size(), 2);
    EXPECT_TRUE(file.removeName());
    EXPECT_FALSE(QFileInfo::exists(Path("after/brslt000.bmp")));
}

TEST_F(AviDurability, AFileNoLongerReachableByItsNameRefusesTheNextFrame) {
    const QString sub = Path("gone");
    ASSERT_TRUE(QDir().mkpath(sub));
    const std::string name = (sub + "/brslt000.avi").toStdString();
    auto writer = AviFileWriter::Create(name, FileSetup());
    ASSERT_TRUE(writer);
    ASSERT_TRUE(writer->addFrame(Frame(0)));
    ASSERT_TRUE(QDir(sub).removeRecursively());
    EXPECT_FALSE(writer->addFrame(Frame(1))) << "a frame into a removed file is lost unseen";
    EXPECT_TRUE(writer->broken());
}

}  // namespace
