// Checks every crash state of a recorded run (support/CrashStates.h) against what the run
// reported written, with its Mark events: "frame NAME" after each frame the writer took,
// "saved NAME" after a snapshot. After a power cut that follows sync point k, with the
// marks made before sync point k + 1:
// - each AVI name with synced frames still leads to its file, and libavformat (every state)
//   and FFmpeg, mediainfo and GStreamer (a sample) count at least those frames, the first of
//   them identical to what the same reader reads from the run's final file;
// - a snapshot reported saved has its name, and a .bmp name never leads to a partial bitmap.
// The sample of a sync point holds the states in which a pointer or size reached the disk and
// what it points at or counts did not (all of them kept but part of the rest), the states
// libavformat failed on, and random others, at least `sample` states in all.
#pragma once

#include <QString>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "support/WriteJournal.h"

namespace powercut {

struct Options {
    bool everyStateToReaders = false;  // the slow check: no sample
    std::size_t sample = 20;
    std::uint32_t seed = 1;
    QString keepFailing;  // a directory for the files of failing sampled states, or empty
};

struct Tally {
    std::size_t syncPoints = 0;
    std::size_t states = 0;       // crash states built
    std::size_t libavformat = 0;  // states checked in process
    std::size_t withFrames = 0;   // of those, states in which a synced frame must be read
    std::array<std::size_t, 3> readers{};   // such states read by ffmpeg, mediainfo, GStreamer
    std::size_t failingStates = 0;
    std::array<std::size_t, 4> failures{};  // states failed by libavformat and each reader
    struct Fault {
        std::size_t syncPoint;
        std::string text;  // the sync point, what failed and the state, in words
    };
    std::vector<Fault> faults;
    std::string setupError;                 // non-empty when the journal could not be checked
};

// Replays the journal and checks its crash states; scratch is an empty directory.
Tally Check(const std::vector<journal::Event>& events, const QString& scratch,
            const Options& options);

// One line: sync points, states built, states checked by each reader, failures.
std::string Summary(const std::string& name, const Tally& tally);
// Per sync point with failing states: how many, and the first of them in words.
std::string FaultsBySyncPoint(const Tally& tally);

}  // namespace powercut
