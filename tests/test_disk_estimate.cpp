// The disk in the status line: the arithmetic and its words as a table, the status line
// fed by a capture window whose frame size and free room are known, and the size box's tip.
#include <QHelpEvent>

#include "capture/DiskEstimate.h"
#include "support/CaptureDlgFixture.h"

namespace {

using namespace disk;

TEST(DiskEstimate, RoomAndHowLongItLasts) {
    struct Case {
        RunDisk disk;
        const char* words;
    };
    const std::int64_t raw1080 = 1920LL * 1080 * 3 + 32;  // 6.2 MB a frame
    const Case cases[] = {
        {{-1, raw1080, 10, 0}, ""},
        {{41'000'000'000, 0, 10, 0}, "disk: 41 GB free"},
        // 41 GB hold 6591 such frames, one every 2 min: 9 days.
        {{41'000'000'000, raw1080, 120, 0}, "disk: 41 GB free, about 9 days at this rate"},
        {{41'000'000'000, raw1080, 10, 0}, "disk: 41 GB free, about 18 h at this rate"},
        {{950'000'000, raw1080, 10, 0}, "disk: 950 MB free, about 25 min at this rate"},
        {{5'000'000, raw1080, 10, 0}, "disk: 5.0 MB free, less than 2 min at this rate"},
        {{2'500'000'000'000, 1000, 60, 0}, "disk: 2.5 TB free, more than a year at this rate"},
        {{41'000'000'000, raw1080, 10, 376'000'000'000},
         "disk: this run needs about 376 GB; 41 GB free, about 18 h at this rate"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.words);
        EXPECT_EQ(RunDiskWords(c.disk).toStdString(), c.words);
    }
}

TEST(DiskEstimate, FramesAndTheRunThatDoesNotFit) {
    // One frame at once, then one per whole interval.
    EXPECT_EQ(FramesInSpan(5, 1), 6);
    EXPECT_EQ(FramesInSpan(3400, 60), 57);
    EXPECT_EQ(FramesInSpan(59, 60), 1);
    EXPECT_EQ(FramesInSpan(0, 60), 0);
    struct Case {
        std::int64_t inRun, stored, perFrame, free, needs;
    };
    const Case cases[] = {
        {10, 1, 100, 900, 0},     // nine to come, room for nine
        {10, 1, 100, 899, 1000},  // room for eight: the whole run's size is told
        {10, 10, 100, 0, 0},      // all stored
        {10, 1, 0, 0, 0},         // frame size not known
        {10, 1, 100, -1, 0},      // room not known
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.free);
        EXPECT_EQ(RunShortfall(c.inRun, c.stored, c.perFrame, c.free), c.needs);
    }
}

TEST(DiskEstimate, RawFramesCountAtTheirSizeCompressedAtTheAverageStored) {
    EXPECT_EQ(BytesPerFrame(false, 230432, 0, 0), 230432);
    EXPECT_EQ(BytesPerFrame(false, 230432, 999, 3), 230432);
    EXPECT_EQ(BytesPerFrame(true, 230432, 0, 0), 0);
    EXPECT_EQ(BytesPerFrame(true, 230432, 30000, 3), 10000);
    EXPECT_EQ(BytesPerFrame(true, 230432, 30001, 3), 10001);  // rounded up

    RunTally tally;
    tally.FileNow(1, 500);
    tally.FileNow(3, 1500);
    tally.NewFile();  // the next file starts from nothing
    tally.FileNow(1, 1000);
    EXPECT_EQ(tally.frames(), 4);
    EXPECT_EQ(tally.bytes(), 2500);
    EXPECT_EQ(tally.averageBytes(), 625);
}

TEST(DiskEstimate, WhatOneFileHolds) {
    EXPECT_EQ(FramesPerFile(2'000'000'000, 230432), 8679);
    EXPECT_EQ(FramesPerFile(4096, 230432), 0);
    EXPECT_EQ(FileCapacityWords(2'000'000'000, false, 0, 0).toStdString(), "");
    EXPECT_EQ(FileCapacityWords(2'000'000'000, false, 230432, 0).toStdString(),
              "At this limit one file holds 8679 frames of 230 kB each.");
    EXPECT_EQ(FileCapacityWords(2'000'000'000, true, 230432, 20000).toStdString(),
              "At this limit one file holds about 99999 compressed frames, at the 20 kB a "
              "frame has taken on average so far.");
    EXPECT_NE(FileCapacityWords(2'000'000'000, true, 230432, 0)
                  .toStdString()
                  .find("at least 8679 frames: compressed"),
              std::string::npos);
}

class DiskInStatusLine : public CaptureDlgFixture {};

TEST_F(DiskInStatusLine, TheRunSaysTheRoomLeftAndTheNoticeComesWithTheFirstFrame) {
    FakeCaptureWindow* w = Connect();
    w->freeBytes = 9'500;  // nine frames of 1000 bytes
    dlg->intervalSeconds = 60;
    dlg->spanSeconds = 600;  // eleven frames: one too many
    dlg->OnStart();
    const std::string text = dlg->statusLine.Text().toStdString();
    EXPECT_NE(text.find("disk: this run needs about 11 kB; 9.5 kB free, about 9 min at this rate"),
              std::string::npos)
        << text;

    // The notice stays for the run; the room follows the disk.
    w->freeBytes = 3'000'000;
    dlg->OnTimer(TIMER_FRAME);
    EXPECT_NE(dlg->statusLine.Text().toStdString().find(
                  "disk: this run needs about 11 kB; 3.0 MB free, about 2 days at this rate"),
              std::string::npos)
        << dlg->statusLine.Text().toStdString();
    dlg->OnStop();

    // A run that fits has no notice.
    w->freeBytes = 11'000;
    dlg->OnStart();
    EXPECT_NE(dlg->statusLine.Text().toStdString().find("disk: 11 kB free, about 11 min"),
              std::string::npos)
        << dlg->statusLine.Text().toStdString();
}

TEST_F(DiskInStatusLine, CompressedFramesCountAtTheAverageOverTheRunsFiles) {
    FakeCaptureWindow* w = Connect();
    w->compressed = true;
    w->rawFrameBytes = 230432;
    w->freeBytes = 100'000'000;
    dlg->intervalSeconds = 3600;
    dlg->OnStart();
    // 1000 bytes a frame stored, not the raw size: 100000 frames of an hour.
    EXPECT_NE(dlg->statusLine.Text().toStdString().find(
                  "disk: 100 MB free, more than a year at this rate"),
              std::string::npos)
        << dlg->statusLine.Text().toStdString();
    EXPECT_EQ(dlg->statusLine.Tally().averageBytes(), 1000);

    // The size box's tip says what one file holds at that average, and follows the limit.
    CItem* box = dlg->setupPanel.GetDlgItem(IDC_SIZE_PER_FILE);
    ASSERT_NE(box, nullptr);
    const auto tip = [&] {
        QHelpEvent event(QEvent::ToolTip, QPoint(1, 1), QPoint(1, 1));
        QApplication::sendEvent(box->Widget(), &event);
        return box->Widget()->toolTip().toStdString();
    };
    captureSettings.maxFileBytes = 2'000'000'000;
    EXPECT_NE(tip().find("about 1999991 compressed frames"), std::string::npos) << tip();
    captureSettings.maxFileBytes = 1'000'000;
    EXPECT_NE(tip().find("about 991 compressed frames"), std::string::npos) << tip();
    w->compressed = false;
    EXPECT_NE(tip().find("holds 4 frames of 230 kB each"), std::string::npos) << tip();
    dlg->OnStop();
}

}  // namespace
