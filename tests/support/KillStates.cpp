// Every state a kill of the writer leaves, read by the three readers.
#include "support/KillStates.h"

#include <QFile>

#include <algorithm>
#include <array>
#include <map>

#include "support/CrashReaders.h"
#include "support/CrashStates.h"

namespace killstates {

namespace {

using crashreaders::Reader;
using journal::Op;

struct State {
    std::size_t event = 0;
    std::string name;
    std::size_t reported = 0;  // frames of that file the run had reported written
    bool lasting = false;      // kept across a sync, see Lasting
    // libavformat finds no frame in it. GStreamer's avidemux does not read such a file:
    // finding no stream in it, it ends, but now and then waits forever instead.
    bool frameless = false;
};

constexpr int kNotRead = -2;

// Whether the state after event i lasts while the disk syncs, before the file is written
// again. The states between two adjacent writes last microseconds; one that spans a sync
// lasts milliseconds, and is where a kill lands.
bool Lasting(const std::vector<journal::Event>& events, std::size_t i) {
    for (std::size_t j = i + 1; j < events.size(); ++j) {
        if (crash::IsSync(events[j].op))
            return true;
        if ((events[j].op == Op::Write || events[j].op == Op::Resize) &&
            events[j].inode == events[i].inode)
            return false;
    }
    return true;
}

std::string NameOf(const crash::Disk& disk, std::uint64_t inode) {
    for (const auto& [name, i] : disk.names)
        if (i == inode)
            return name;
    return {};
}

bool IsAvi(const std::string& name) {
    return name.size() > 4 && name.compare(name.size() - 4, 4, ".avi") == 0;
}

// What the readers' counts of one state say is wrong with it, "" for nothing.
std::string Fault(const State& s, const std::array<int, 3>& counts) {
    std::vector<std::pair<Reader, int>> read;
    for (const Reader r : crashreaders::kReaders)
        if (counts[static_cast<std::size_t>(r)] != kNotRead)  // a rejected file holds no frame
            read.emplace_back(r, std::max(0, counts[static_cast<std::size_t>(r)]));
    const auto reported = static_cast<int>(s.reported);
    std::string fault;
    for (const auto& [r, frames] : read)
        if (s.lasting && frames != read.front().second)
            fault = "the readers disagree; ";
    for (const auto& [r, frames] : read)
        if (frames < reported || frames > reported + 1)
            fault += std::string(crashreaders::ReaderName(r)) + " counts a frame that was " +
                     (frames < reported ? "reported written but is lost; "
                                        : "never handed to the writer; ");
    if (fault.empty())
        return {};
    std::string line = "after event " + std::to_string(s.event) + " of " + s.name + " (" +
                       std::to_string(s.reported) + " frames reported): " + fault + "counted";
    for (const Reader r : crashreaders::kReaders)
        line += std::string(" ") + crashreaders::ReaderName(r) + " " +
                std::to_string(counts[static_cast<std::size_t>(r)]);
    return line;
}

}  // namespace

Tally Check(const std::vector<journal::Event>& events, const QString& scratch) {
    Tally tally;
    crash::Disk disk;
    std::map<std::string, std::size_t> reported;
    std::vector<State> states;
    std::vector<crashreaders::Wanted> files;
    for (std::size_t i = 0; i < events.size(); ++i) {
        const journal::Event& e = events[i];
        crash::ApplyToPageCache(e, &disk);
        if (e.op == Op::Mark && e.name.rfind("frame ", 0) == 0)
            ++reported[e.name.substr(6)];
        if (e.op != Op::Write && e.op != Op::Resize)
            continue;
        const std::string name = NameOf(disk, e.inode);
        if (!IsAvi(name))
            continue;
        State s{i, name, reported[name], Lasting(events, i)};
        const crash::SparseFile& file = disk.files.at(e.inode);
        const QString path = QString("%1/e%2-%3").arg(scratch).arg(i).arg(
            QString::fromStdString(name));
        if (!crashreaders::WriteSparse(path, file)) {
            tally.faults.push_back("cannot write the state after event " + std::to_string(i));
            continue;
        }
        // Readers stop one frame past the frames that may be there, which spares them the
        // GiB hole after the last frame of a RIFF made with the test knob.
        bool scanned = false;
        const auto packets = crashreaders::LibavformatPackets(file, s.reported + 2, &scanned);
        s.frameless = !packets || packets->empty();
        files.push_back({path, static_cast<int>(s.reported) + 2, scanned});
        states.push_back(s);
    }
    std::vector<std::array<int, 3>> counts(states.size(), {kNotRead, kNotRead, kNotRead});
    for (const Reader reader : crashreaders::kReaders) {
        std::vector<std::size_t> picked;
        std::vector<crashreaders::Wanted> wanted;
        for (std::size_t j = 0; j < states.size(); ++j)
            if (reader != Reader::Gstreamer || !states[j].frameless) {
                picked.push_back(j);
                wanted.push_back(files[j]);
            }
        const auto got = crashreaders::ReadFiles(reader, wanted, scratch);
        for (std::size_t j = 0; j < got.size(); ++j)
            counts[picked[j]][static_cast<std::size_t>(reader)] = got[j].frames;
    }
    for (std::size_t j = 0; j < states.size(); ++j) {
        const std::string fault = Fault(states[j], counts[j]);
        if (!fault.empty())
            tally.faults.push_back(fault);
        QFile::remove(files[j].path);
    }
    tally.states = states.size();
    tally.lasting = static_cast<std::size_t>(
        std::count_if(states.begin(), states.end(), [](const State& s) { return s.lasting; }));
    return tally;
}

}  // namespace killstates
