// The status line's account of the disk: what the run has stored, the room left and how
// long it lasts, and the notice of a run that will not fit.
#include <QLoggingCategory>

#include "app/CaptureDlg.h"
#include "app/StatusLine.h"

Q_DECLARE_LOGGING_CATEGORY(lcStatus)

void StatusLine::TallyFrames(bool stored) {
    if (!dialog_->captureWindow)
        return;
    const CaptureWindow::FileState file = dialog_->captureWindow->CaptureFile();
    if (!file.open)
        return;
    tally_.FileNow(file.frames, file.storedFrameBytes);
    // The notice comes once, with the run's first frame: from then on the frame's size (or,
    // compressed, a first average) is known.
    if (!stored || tally_.frames() != 1)
        return;
    runNeedsBytes_ = disk::RunShortfall(disk::FramesInSpan(dialog_->spanSeconds, runInterval_),
                                        tally_.frames(), BytesPerFrame(), file.freeBytes);
    if (runNeedsBytes_ > 0)
        qCWarning(lcStatus).noquote()
            << "this run needs about" << disk::RoomWords(runNeedsBytes_) << "and"
            << disk::RoomWords(file.freeBytes) << "are free; it starts all the same";
}

std::int64_t StatusLine::BytesPerFrame() const {
    const CaptureWindow::FrameStorage storage = dialog_->captureWindow
                                                    ? dialog_->captureWindow->FrameStorageNow()
                                                    : CaptureWindow::FrameStorage{};
    return disk::BytesPerFrame(storage.compressed, storage.rawFrameBytes, tally_.bytes(),
                               tally_.frames());
}

QString StatusLine::DiskPhrase() const {
    if (!dialog_->captureWindow)
        return {};
    disk::RunDisk room;
    room.freeBytes = dialog_->captureWindow->CaptureFile().freeBytes;
    room.bytesPerFrame = BytesPerFrame();
    room.intervalSeconds = runInterval_;
    room.runNeedsBytes = runNeedsBytes_;
    return disk::RunDiskWords(room);
}
