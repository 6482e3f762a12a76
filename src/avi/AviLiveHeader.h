// Keeps an AVI file that libavformat is still writing readable after every frame.
#pragma once

#include <cstdint>
#include <vector>

namespace avi {

// What a disk writes whole or not at all: a power cut keeps each sector of a write or not.
constexpr std::int64_t kSectorBytes = 512;

// libavformat's AVI muxer leaves placeholders until its trailer: the sizes of the RIFF and
// movi lists it is filling, the frame counts of avih, strh and the OpenDML dmlh, and, once a
// file has passed the first RIFF (1 GiB), the OpenDML standard index of the open "AVIX" RIFF
// and its entry in the super index. A reader that trusts these (mediainfo, GStreamer) sees a
// killed file only up to what they say. This class fills them in after every frame, as the
// trailer would, so that the file on disk is a complete AVI at every frame boundary:
// - in the first RIFF: its RIFF and movi sizes, avih total frames and strh length (readers
//   find the frames by walking the movi list);
// - from the first AVIX on: its RIFF and movi sizes, a standard index ("ix00") of its frames
//   written after the last frame inside its movi list, the super-index entry pointing at it,
//   the dmlh total and strh length. The next frame goes where that provisional index lies
//   (its copy moves ahead of the frame first), and libavformat's own index takes its place at
//   the next RIFF or at the trailer. Long RIFFs are indexed in segments that stay put.
// A power cut keeps any part of what was written since the last sync, so what points or counts
// is written only once what it points at or counts is durable: a write barrier (SyncData)
// lies between an index and the entry pointing at it, between a frame and the sizes that
// count it, and between the movi size and the first sector (RIFF size and frame counts, in
// one write). AviFileWriter's opening comment counts them per frame.
// All offsets come from the file itself: the header libavformat wrote and the packets it
// appended, so nothing here depends on the muxer's private state.
class AviLiveHeader {
public:
    // Finds the placeholders in the header libavformat has just written through fd. False
    // when the layout is not one this class knows; the file is then left as libavformat keeps
    // it (logged).
    // segmentFrames: see sealFullSegment. syncFile replaces fdatasync in the barriers
    // (tests), or null.
    bool attach(int fd, std::uint32_t segmentFrames, int (*syncFile)(int) = nullptr);
    bool attached() const { return attached_; }

    // Before a packet is handed to libavformat: when the open RIFF's provisional index
    // (which the last commit wrote where the packet would go) holds segmentFrames frames, it
    // stays there as a finished index chunk with its own super-index entry, and the next
    // frames start a new one. Returns its size, which libavformat's output must skip, or 0.
    // Keeps what each frame rewrites small: without it every frame would rewrite the index of
    // all the frames of its RIFF (up to a few hundred KiB with small compressed frames).
    std::int64_t sealFullSegment();
    // libavformat is about to write a packet of dataBytes at before, over the provisional
    // index of the open RIFF. A copy of that index goes first to where the packet will end,
    // and the super index points there, so that a process killed while the packet is being
    // written still leaves every earlier frame indexed. The copy already holds the coming
    // frame's entry, past its count, so that the commit after the frame only raises counts.
    // Copy, barrier, pointer, barrier: the packet may then overwrite the old index. False on
    // a write error.
    bool prepareFrame(std::int64_t before, std::uint32_t dataBytes, bool key);
    // libavformat has written one packet of dataBytes bytes: everything in [before, end).
    // Notes where its chunk lies, and whether the muxer began a new RIFF for it. Touches
    // nothing on disk. Bytes not laid out as known detach this class (logged).
    void noteFrame(std::int64_t before, std::int64_t end, std::uint32_t dataBytes, bool key);
    // Tags the chunk of the frame last noted "JUNK" until commit gives its tag back, right
    // before the counts take the frame in. Readers that walk the chunks (FFmpeg, GStreamer)
    // count a tagged chunk wherever it lies, readers of the counts (mediainfo) do not; with
    // the tag shown only from the commit on, a kill leaves them disagreeing by one frame
    // only between two adjacent writes, never across the barriers in between. False on a
    // write error.
    bool hideFrame();
    // True when the frame last noted is the first of its RIFF.
    bool frameOpenedRiff() const { return openedRiff_; }
    // Writes the sizes, counters and the open RIFF's provisional index for every frame noted,
    // the index starting at end (where libavformat will write next). The frames' bytes must
    // be durable already. False on a write error.
    bool commit(std::int64_t end);
    // A frame did not make it (noted: it was passed to noteFrame): the file goes back to how
    // the last commit left it, cut at before (after the open RIFF's index, from the first
    // AVIX on), the header as it was; the index and header go back before the file is cut.
    // False when that cannot be written either.
    bool rollBack(std::int64_t before, bool noted);

    // Number of frames noted and committed.
    std::int64_t frames() const { return frames_; }

private:
    struct Riff {
        std::int64_t start = 0;     // offset of its "RIFF" tag
        std::int64_t moviList = 0;  // offset of the "LIST" tag of its movi list
        std::uint32_t slot = 0;     // its number, 0 for the first, its super-index entry
        std::uint32_t sealed = 0;   // finished index segments, in the entries after slot
        std::vector<std::uint32_t> entries;  // the open segment: offset from base, size
    };

    bool writeFirstRiff(std::int64_t end);
    bool writeOpenDmlRiff(std::int64_t end);
    bool writeIndex(std::int64_t at, const std::vector<std::uint32_t>& entries,
                    std::uint32_t inUse);
    bool pointAtIndex(std::int64_t at, std::uint32_t capacity, std::uint32_t inUse);
    bool reveal();
    bool barrier() const;
    bool saveHeader();
    void detach(const char* why);

    int fd_ = -1;
    bool attached_ = false;
    int (*syncFile_)(int) = nullptr;
    std::int64_t prepared_ = -1;       // where prepareFrame put the index copy
    std::int64_t totalFramesAt_ = -1;  // avih dwTotalFrames
    std::int64_t streamLengthAt_ = -1; // strh dwLength
    std::int64_t superIndexAt_ = -1;   // the chunk reserved for the OpenDML super index
    std::uint32_t superIndexSlots_ = 0;
    std::int64_t odmlAt_ = -1;         // the chunk reserved for LIST odml / dmlh
    std::int64_t headerBytes_ = 0;     // everything before the first movi list
    std::uint32_t chunkId_ = 0;        // "00db" / "00dc" as the packets carry it
    std::int64_t notedChunkAt_ = -1;   // the chunk of the frame last noted
    std::int64_t hiddenAt_ = -1;       // that chunk while it is tagged "JUNK"

    Riff open_;
    Riff closed_;             // the RIFF before the open one, kept while its roll-over is undone
    bool openedRiff_ = false;
    std::uint32_t segmentFrames_ = 0;
    bool sealedThisFrame_ = false;
    std::vector<std::uint32_t> sealedEntries_;  // the segment sealed for the frame in work
    std::int64_t frames_ = 0;
    std::vector<std::uint8_t> savedHeader_;  // the header as the last commit left it
};

}  // namespace avi
