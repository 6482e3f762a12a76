// Power cuts at every sync of recorded runs: the AVI writer and the snapshot are run with the
// write journal preloaded (tests/fakes/journal), every state a disk may hold after a power
// cut is rebuilt from the journal, and each must keep every frame the writer had reported
// written (support/PowerCut.h says what is checked, support/CrashStates.h which states).
// Run by tests/durability.cmake, one CTest test per case; BRISOLT_CRASH_EVERY_STATE=1 sends
// every state, not a sample, to ffmpeg, mediainfo and GStreamer; BRISOLT_CRASH_KEEP=DIR keeps
// the files of the sampled states that failed there, and the run's journal.
#include <QFile>
#include <QLoggingCategory>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <ostream>
#include <string>

#include "avi/AviFileWriter.h"
#include "avi/DibSnapshot.h"
#include "support/KillStates.h"
#include "support/PowerCut.h"
#include "support/WriteJournal.h"

using namespace avi;
using namespace picture;

namespace {

// The journal shim's interface, found in the process it was preloaded into.
struct Journal {
    int (*begin)(const char*, const char*) = nullptr;
    void (*mark)(const char*) = nullptr;
    void (*failBeyond)(long long) = nullptr;
    void (*end)() = nullptr;
    bool found() const { return begin && mark && failBeyond && end; }
};

Journal FindJournal() {
    Journal j;
    j.begin = reinterpret_cast<decltype(j.begin)>(dlsym(RTLD_DEFAULT, "brisolt_journal_begin"));
    j.mark = reinterpret_cast<decltype(j.mark)>(dlsym(RTLD_DEFAULT, "brisolt_journal_mark"));
    j.failBeyond = reinterpret_cast<decltype(j.failBeyond)>(
        dlsym(RTLD_DEFAULT, "brisolt_journal_fail_beyond"));
    j.end = reinterpret_cast<decltype(j.end)>(dlsym(RTLD_DEFAULT, "brisolt_journal_end"));
    return j;
}

constexpr int kWidth = 64;
constexpr int kHeight = 48;

CapturedImage Frame(int n) {
    CapturedImage image;
    image.width = kWidth;
    image.height = kHeight;
    image.layout = PixelLayout::Rgb24;
    image.used = kWidth * kHeight * 3;
    image.bytes.resize(image.used);
    // A picture that changes from frame to frame, so compressed frames differ in size.
    for (std::size_t i = 0; i < image.used; ++i)
        image.bytes[i] = static_cast<std::uint8_t>((i * (n + 3)) / 97 + n * 37);
    return image;
}

AviSetup Setup(Compression compression) {
    AviSetup setup;
    setup.width = kWidth;
    setup.height = kHeight;
    setup.compression = compression;
    return setup;
}

// The test knob at its least: about seven frames a RIFF.
AviSetup SmallRiffs() {
    ::setenv("BRISOLT_TEST_RIFF_BYTES", "65536", 1);
    AviSetup setup = Setup(Compression::None);
    setup.riffBytes = RiffBytesForTesting();
    ::unsetenv("BRISOLT_TEST_RIFF_BYTES");
    return setup;
}

// A run as the capture window makes it: the file is opened, frames are added (each one the
// writer took is marked), and the file is closed.
struct Recorder {
    const Journal& journal;
    std::string dir;

    void run(const char* leaf, const AviSetup& setup, int frames,
             const std::function<void(AviFileWriter&)>& before = {}) const {
        auto writer = AviFileWriter::Create(dir + "/" + leaf, setup);
        ASSERT_TRUE(writer) << leaf;
        if (before)
            before(*writer);
        for (int i = 0; i < frames; ++i)
            if (writer->addFrame(Frame(i)))
                journal.mark((std::string("frame ") + leaf).c_str());
        writer->finish();
    }
};

struct Case {
    const char* name;
    std::function<void(const Recorder&)> record;
};

// gtest names a failing case by this, not by the bytes of the struct.
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

const Case kCases[] = {
    {"raw", [](const Recorder& r) { r.run("brslt000.avi", Setup(Compression::None), 20); }},
    {"mjpeg", [](const Recorder& r) { r.run("brslt000.avi", Setup(Compression::MotionJpeg), 20); }},
    {"h264", [](const Recorder& r) { r.run("brslt000.avi", Setup(Compression::H264), 20); }},
    // 20 frames cross two RIFF boundaries.
    {"riffs", [](const Recorder& r) { r.run("brslt000.avi", SmallRiffs(), 20); }},
    // The size limit reached: the file is closed and the next numbered one opened.
    {"rollover",
     [](const Recorder& r) {
         r.run("brslt000.avi", Setup(Compression::None), 5);
         r.run("brslt001.avi", Setup(Compression::None), 5);
     }},
    // The disk fills up in the middle of the sixth frame, which is rolled back.
    {"rollback",
     [](const Recorder& r) {
         r.run("brslt000.avi", Setup(Compression::None), 1, [&](AviFileWriter& w) {
             for (int i = 0; i < 5; ++i)
                 if (w.addFrame(Frame(i)))
                     r.journal.mark("frame brslt000.avi");
             r.journal.failBeyond(w.fileBytes() + 4000);
         });
     }},
    // The same in OpenDML RIFFs: in the middle of the second RIFF, and then, in the next
    // file, the frame that would open the second RIFF (its roll-over undone).
    {"rollback_odml",
     [](const Recorder& r) {
         const AviSetup setup = SmallRiffs();
         std::size_t firstRiffFrames = 0;
         r.run("brslt000.avi", setup, 1, [&](AviFileWriter& w) {
             std::int64_t riffs = 0;
             for (int i = 0, inSecond = 0; inSecond < 3; ++i) {
                 const std::int64_t was = w.fileBytes();
                 ASSERT_TRUE(w.addFrame(Frame(i)));
                 r.journal.mark("frame brslt000.avi");
                 // Each RIFF begins with a hole of about 1 GiB (the first after its frame).
                 if (i > 0 && w.fileBytes() - was > kMuxerRiffBytes / 2 && ++riffs == 1)
                     firstRiffFrames = static_cast<std::size_t>(i);
                 inSecond += riffs > 0 ? 1 : 0;
             }
             r.journal.failBeyond(w.fileBytes() + 4000);
         });
         r.journal.failBeyond(-1);
         r.run("brslt001.avi", setup, 1, [&](AviFileWriter& w) {
             for (std::size_t i = 0; i < firstRiffFrames; ++i)
                 if (w.addFrame(Frame(static_cast<int>(i))))
                     r.journal.mark("frame brslt001.avi");
             r.journal.failBeyond(w.fileBytes() + 4000);
         });
     }},
    {"snapshot",
     [](const Recorder& r) {
         if (SaveDibSnapshot(r.dir + "/brslt000.bmp", Frame(3)))
             r.journal.mark("saved brslt000.bmp");
     }},
};

class PowerCut : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        // Crash states are broken files by design: FFmpeg's complaints about them are noise.
        QLoggingCategory::setFilterRules("brisolt.ffmpeg.warning=false");
        ASSERT_TRUE(files.isValid() && journalDir.isValid() && scratch.isValid());
    }
    // Runs the case with the journal on and reads the journal back.
    void record(const Case& c, std::vector<journal::Event>* events) {
        const Journal journal = FindJournal();
        ASSERT_TRUE(journal.found()) << "run with LD_PRELOAD of the journal shim (brisolt_journal)";
        journalPath = journalDir.path().toStdString() + "/journal";
        ASSERT_EQ(journal.begin(files.path().toStdString().c_str(), journalPath.c_str()), 0);
        c.record(Recorder{journal, files.path().toStdString()});
        journal.end();
        ASSERT_TRUE(journal::Read(journalPath, events));
    }
    std::string journalPath;
    QTemporaryDir files;       // the directory the run writes into
    QTemporaryDir journalDir;  // the journal itself lies outside it
    QTemporaryDir scratch;
};

TEST_P(PowerCut, EveryCrashStateKeepsTheSyncedFrames) {
    const Case& c = GetParam();
    std::vector<journal::Event> events;
    ASSERT_NO_FATAL_FAILURE(record(c, &events));

    powercut::Options options;
    options.everyStateToReaders = std::getenv("BRISOLT_CRASH_EVERY_STATE") != nullptr;
    options.keepFailing = QString::fromLocal8Bit(std::getenv("BRISOLT_CRASH_KEEP"));
    const powercut::Tally tally = powercut::Check(events, scratch.path(), options);
    ASSERT_TRUE(tally.setupError.empty()) << tally.setupError;
    std::cout << powercut::Summary(c.name, tally) << "\n";
    ASSERT_GT(tally.syncPoints, 2u);

    const std::string faults = powercut::FaultsBySyncPoint(tally);
    if (!options.keepFailing.isEmpty()) {
        QFile::copy(QString::fromStdString(journalPath),
                    options.keepFailing + "/journal-" + c.name);
        std::ofstream all(options.keepFailing.toStdString() + "/faults-" + c.name + ".txt");
        for (const auto& fault : tally.faults)
            all << fault.text << "\n";
    }
    EXPECT_EQ(tally.failingStates, 0u) << "by sync point, the first of each:\n" << faults;
}

// A kill at any point of the same runs: the readers agree on every file, which holds every
// frame reported written.
TEST_P(PowerCut, EveryKillStateReadsAlike) {
    const Case& c = GetParam();
    std::vector<journal::Event> events;
    ASSERT_NO_FATAL_FAILURE(record(c, &events));
    const killstates::Tally tally = killstates::Check(events, scratch.path());
    std::cout << c.name << ": " << tally.states << " kill states read by all three readers, "
              << tally.lasting << " of them lasting across a sync\n";
    EXPECT_GT(tally.lasting, 10u);
    std::string faults;
    for (std::size_t i = 0; i < tally.faults.size() && i < 40; ++i)
        faults += "  " + tally.faults[i] + "\n";
    EXPECT_TRUE(tally.faults.empty()) << tally.faults.size() << " failing states, the first:\n"
                                      << faults;
}

INSTANTIATE_TEST_SUITE_P(Runs, PowerCut, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
