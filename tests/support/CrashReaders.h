// The readers a crash state of an AVI file is checked with: libavformat in this process on
// every state, and FFmpeg's command line (decoding), mediainfo and GStreamer's avidemux on a
// sample, each run on many files at once so that a sample costs a few processes.
#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/CrashStates.h"

namespace crashreaders {

// The first `wanted` packets of the first stream as libavformat's demuxer reads them from the
// file (the format probed as ffprobe does), fewer when it finds no more; nothing when it
// cannot open the file. Every reader stops after the frames it is asked for: past them a
// crash state may hold a RIFF size that spans the GiB hole the test knob leaves.
// A demuxer that meets zeros where it expects a chunk searches on, 8 bytes at a time; in the
// GiB hole of a file made with the RIFF test knob that takes seconds. Here the file ends
// where zeros go on for 64 MiB, and *scanned (when given) tells that this happened.
std::optional<std::vector<std::string>> LibavformatPackets(const crash::SparseFile& file,
                                                           std::size_t wanted,
                                                           bool* scanned = nullptr);

enum class Reader { Ffmpeg, Mediainfo, Gstreamer };
constexpr Reader kReaders[] = {Reader::Ffmpeg, Reader::Mediainfo, Reader::Gstreamer};
const char* ReaderName(Reader reader);

// What a reader made of a file: the frames it counts (-1: it rejects the file) and a hash
// per frame: of the decoded picture (FFmpeg), of the buffer the demuxer pushed (GStreamer);
// none from mediainfo, which only states a count.
struct Reading {
    int frames = -1;
    std::vector<std::string> hashes;
};

// A file to read, and how many frames the reader needs to read of it at most. A file that
// sends a demuxer searching a hole (see LibavformatPackets) is read alone: FFmpeg reads each
// of many inputs ahead on a thread of its own, past the frames it was asked for.
struct Wanted {
    QString path;
    int frames = 0;
    bool alone = false;
};

// Readings of files, in the order given; scratch is an empty directory for the readers'
// output. A batch that one bad file spoils is read again file by file.
std::vector<Reading> ReadFiles(Reader reader, const std::vector<Wanted>& files,
                               const QString& scratch);

// Writes the file out with its holes; false on error.
bool WriteSparse(const QString& path, const crash::SparseFile& file);

// Byte ranges [from, to) of an AVI file that point at or count other bytes: the first RIFF's
// header up to its movi list (sizes, frame counts, the super index) and the head of every
// later RIFF with its movi list. Everything else (frames, index chunks, idx1) is counted or
// pointed at.
std::vector<std::pair<std::int64_t, std::int64_t>> AviPointerRanges(const crash::SparseFile& file);

}  // namespace crashreaders
