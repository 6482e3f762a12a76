// How long the disk lasts and how many frames a file holds: the arithmetic and its words.
#pragma once

#include <QString>

#include <cstdint>

namespace disk {

// What one frame takes for the estimates: an uncompressed one its own size (known before it
// is stored), a compressed one the average stored so far (0 while none is stored).
std::int64_t BytesPerFrame(bool compressed, std::int64_t rawFrameBytes, std::int64_t storedBytes,
                           std::int64_t storedFrames);

// The frames of a run of spanSeconds at one every intervalSeconds: one at its start, then
// one per whole interval.
std::int64_t FramesInSpan(std::int64_t spanSeconds, std::int64_t intervalSeconds);

// "41 GB" and "950 MB": room on a disk, in units of 1000.
QString RoomWords(std::int64_t bytes);
// "about 9 days", "about 5 h", "about 12 min": how long a disk lasts.
QString LastsWords(std::int64_t seconds);

// The status line's words during a run: "disk: 41 GB free, about 9 days at this rate",
// with "this run needs about 380 GB; " after "disk: " when the run's remaining frames do not
// fit. Only the room is told while no frame size is known; empty when the room is not known.
struct RunDisk {
    std::int64_t freeBytes = -1;
    std::int64_t bytesPerFrame = 0;
    std::int64_t intervalSeconds = 0;
    std::int64_t runNeedsBytes = 0;  // the whole run's frames; 0: it fits (or not known)
};
QString RunDiskWords(const RunDisk& disk);
// The whole run's frames at bytesPerFrame when the frames still to come do not fit into
// freeBytes, else 0.
std::int64_t RunShortfall(std::int64_t framesInRun, std::int64_t framesStored,
                          std::int64_t bytesPerFrame, std::int64_t freeBytes);

// How many frames fit into one file of maxFileBytes (its header and index heads aside).
std::int64_t FramesPerFile(std::int64_t maxFileBytes, std::int64_t bytesPerFrame);
// The size box's account of it, for its tool tip: the frames of one file at the frame size
// and compression in effect; empty while no driver is connected.
QString FileCapacityWords(std::int64_t maxFileBytes, bool compressed, std::int64_t rawFrameBytes,
                          std::int64_t averageStoredBytes);

// The frames and bytes a run has stored, over all its files, fed with the counts of the
// file open now.
class RunTally {
public:
    void NewFile() { fileFrames_ = fileBytes_ = 0; }
    void FileNow(std::int64_t frames, std::int64_t bytes) {
        frames_ += frames - fileFrames_;
        bytes_ += bytes - fileBytes_;
        fileFrames_ = frames;
        fileBytes_ = bytes;
    }
    std::int64_t frames() const { return frames_; }
    std::int64_t bytes() const { return bytes_; }
    std::int64_t averageBytes() const { return BytesPerFrame(true, 0, bytes_, frames_); }

private:
    std::int64_t frames_ = 0;
    std::int64_t bytes_ = 0;
    std::int64_t fileFrames_ = 0;
    std::int64_t fileBytes_ = 0;
};

}  // namespace disk
