// What a kill -9 of the writer leaves, at every point of a recorded run. The kernel keeps
// every write a killed process made, in full and in order, so the states are the page cache
// after each write or resize of the journal (support/WriteJournal.h). In each of them the AVI
// file just written must hold, to each of FFmpeg, mediainfo and GStreamer, every frame the
// run had reported written by then, and at most the one it was writing; and the three must
// count alike in every state that lasts across a sync (where a kill lands: a sync takes
// milliseconds), if not between two adjacent writes (which lasts microseconds).
#pragma once

#include <QString>

#include <cstddef>
#include <string>
#include <vector>

#include "support/WriteJournal.h"

namespace killstates {

struct Tally {
    std::size_t states = 0;           // states read by all three readers
    std::size_t lasting = 0;          // of them, states that last across a sync
    std::vector<std::string> faults;  // one line per failing state
};

// Replays the journal and checks every kill state; scratch is an empty directory.
Tally Check(const std::vector<journal::Event>& events, const QString& scratch);

}  // namespace killstates
