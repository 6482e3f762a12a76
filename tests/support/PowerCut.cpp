// Every crash state of a recorded run, checked against the frames the run reported written.
#include "support/PowerCut.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>

#include "support/CrashReaders.h"
#include "support/CrashStates.h"

namespace powercut {

namespace {

using crash::Choice;
using crash::Disk;
using crash::Pending;
using crash::Replay;
using crash::SparseFile;
using crashreaders::Reader;
using crashreaders::Reading;
using Ranges = std::vector<std::pair<std::int64_t, std::int64_t>>;

bool EndsWith(const std::string& s, const char* suffix) {
    return s.size() >= std::strlen(suffix) && s.compare(s.size() - std::strlen(suffix),
                                                        std::string::npos, suffix) == 0;
}

// What the run had reported durable: frames per AVI name, snapshots saved.
struct Promised {
    std::map<std::string, std::size_t> frames;
    std::set<std::string> saved;
};

Promised PromisedBefore(const Replay& replay, std::size_t end) {
    Promised p;
    for (const std::string& mark : replay.marksBefore(end)) {
        if (mark.rfind("frame ", 0) == 0)
            ++p.frames[mark.substr(6)];
        else if (mark.rfind("saved ", 0) == 0)
            p.saved.insert(mark.substr(6));
    }
    return p;
}

// "" when the first `synced` frames read as in the run's own file, else what is wrong.
std::string CompareFrames(const std::vector<std::string>& got, int frames,
                          const std::vector<std::string>& want, std::size_t synced) {
    if (frames < 0)
        return "rejects the file with " + std::to_string(synced) + " synced frames";
    if (static_cast<std::size_t>(frames) < synced)
        return "reads " + std::to_string(frames) + " of " + std::to_string(synced) +
               " synced frames";
    for (std::size_t i = 0; i < synced && i < want.size(); ++i)
        if (i >= got.size() || got[i] != want[i])
            return "frame " + std::to_string(i) + " differs from the run's";
    return {};
}

class Checker {
public:
    Checker(const Replay& replay, const QString& scratch, const Options& options, Tally* tally)
        : replay_(replay), scratch_(scratch), options_(options), tally_(*tally) {}

    bool prepare();
    void checkSyncPoint(std::size_t k);

private:
    // The name leads to the file it led to at the end of the run.
    bool sameFile(const Disk& disk, const std::string& name) const {
        const auto now = disk.names.find(name);
        const auto then = final_.names.find(name);
        return now != disk.names.end() && then != final_.names.end() &&
               now->second == then->second && disk.files.count(now->second) > 0;
    }
    std::string checkInProcess(const Disk& disk, const Promised& promised) const;
    std::vector<Choice> pointerWithoutTarget(const Pending& pending) const;
    std::vector<std::size_t> sample(std::size_t states, const std::set<std::size_t>& first,
                                    std::uint32_t seed) const;
    void readSample(std::size_t k, const Pending& pending, const Promised& promised,
                    const std::vector<Choice>& states, const std::vector<std::size_t>& picked,
                    std::map<std::size_t, std::string>* faults);

    const Replay& replay_;
    QString scratch_;
    Options options_;
    Tally& tally_;
    Disk final_;
    std::map<std::string, std::vector<std::string>> packets_;  // libavformat, per AVI name
    std::map<std::string, std::array<Reading, 3>> readings_;   // the readers, per AVI name
    std::map<std::uint64_t, Ranges> pointers_;                 // per AVI inode
};

bool Checker::prepare() {
    final_ = replay_.finalDisk();
    const Promised all = PromisedBefore(replay_, replay_.events().size());
    for (const auto& [name, inode] : final_.names) {
        if (!EndsWith(name, ".avi"))
            continue;
        const SparseFile& file = final_.files[inode];
        const auto packets = crashreaders::LibavformatPackets(file, SIZE_MAX);
        const std::size_t reported = all.frames.count(name) ? all.frames.at(name) : 0;
        if (!packets || packets->size() < reported) {
            tally_.setupError = name + ": the run's own file does not read whole";
            return false;
        }
        packets_[name] = *packets;
        pointers_[inode] = crashreaders::AviPointerRanges(file);
        const QString path = scratch_ + "/final-" + QString::fromStdString(name);
        if (!crashreaders::WriteSparse(path, file))
            return false;
        for (const Reader reader : crashreaders::kReaders) {
            const Reading r = crashreaders::ReadFiles(
                reader, {{path, static_cast<int>(packets->size())}}, scratch_).front();
            if (r.frames < static_cast<int>(reported)) {
                tally_.setupError = name + ": " + crashreaders::ReaderName(reader) +
                                    " does not read the run's own file whole";
                return false;
            }
            readings_[name][static_cast<std::size_t>(reader)] = r;
        }
        QFile::remove(path);
    }
    return true;
}

std::string Checker::checkInProcess(const Disk& disk, const Promised& promised) const {
    std::string fault;
    for (const auto& [name, synced] : promised.frames) {
        if (!sameFile(disk, name)) {
            fault += name + ": its name is lost with " + std::to_string(synced) +
                     " synced frames; ";
            continue;
        }
        const auto packets =
            crashreaders::LibavformatPackets(disk.files.at(disk.names.at(name)), synced);
        const std::string wrong =
            CompareFrames(packets.value_or(std::vector<std::string>{}),
                          packets ? static_cast<int>(packets->size()) : -1, packets_.at(name),
                          synced);
        if (!wrong.empty())
            fault += name + ": libavformat " + wrong + "; ";
    }
    for (const std::string& name : promised.saved)
        if (disk.names.count(name) == 0)
            fault += name + ": the saved snapshot has no name; ";
    for (const auto& [name, inode] : disk.names)
        if (EndsWith(name, ".bmp") && !(disk.files.at(inode) == final_.files.at(inode)))
            fault += name + ": the name leads to a partial bitmap; ";
    return fault;
}

std::vector<Choice> Checker::pointerWithoutTarget(const Pending& pending) const {
    // Units that write a pointer or size, and the others grouped by their write.
    std::vector<bool> pointer(pending.units.size(), false);
    std::vector<std::vector<std::size_t>> content;
    for (std::size_t i = 0; i < pending.units.size(); ++i) {
        const crash::Unit& u = pending.units[i];
        const journal::Event& e = replay_.events()[u.event];
        const auto ranges = pointers_.find(u.inode);
        const std::int64_t from = std::max(e.at, u.sector * crash::kSectorBytes);
        const std::int64_t to = std::min(e.at + static_cast<std::int64_t>(e.data.size()),
                                         (u.sector + 1) * crash::kSectorBytes);
        for (const auto& [a, b] : ranges != pointers_.end() ? ranges->second : Ranges{})
            pointer[i] = pointer[i] || (u.sector >= 0 && from < b && a < to);
        if (pointer[i])
            continue;
        if (content.empty() || pending.units[content.back().front()].event != u.event)
            content.emplace_back();
        content.back().push_back(i);
    }
    if (content.empty() || std::none_of(pointer.begin(), pointer.end(), [](bool p) { return p; }))
        return {};
    const std::size_t names = pending.nameOps.size();
    auto with = [&](const std::function<bool(std::size_t write, std::size_t unit)>& keep) {
        Choice c{pointer, names};
        for (std::size_t w = 0; w < content.size(); ++w)
            for (std::size_t j = 0; j < content[w].size(); ++j)
                c.keep[content[w][j]] = keep(w, j);
        return c;
    };
    std::vector<Choice> out{with([](std::size_t, std::size_t) { return false; })};
    for (std::size_t cut = 0; cut < content.size(); ++cut) {
        const std::size_t last = content[cut].size() - 1;
        out.push_back(with([&](std::size_t w, std::size_t) { return w < cut; }));
        out.push_back(with([&](std::size_t w, std::size_t) { return w != cut; }));
        out.push_back(with([&](std::size_t w, std::size_t j) { return w != cut || j != last; }));
        out.push_back(with([&](std::size_t w, std::size_t j) { return w != cut || j != 0; }));
    }
    return out;
}

std::vector<std::size_t> Checker::sample(std::size_t states, const std::set<std::size_t>& first,
                                         std::uint32_t seed) const {
    std::vector<std::size_t> rest;
    for (std::size_t i = 0; i < states; ++i)
        if (options_.everyStateToReaders || first.count(i) == 0)
            rest.push_back(i);
    if (options_.everyStateToReaders)
        return rest;
    std::shuffle(rest.begin(), rest.end(), std::mt19937(seed));
    std::vector<std::size_t> picked(first.begin(), first.end());
    for (std::size_t i = 0; i < rest.size() && picked.size() < options_.sample; ++i)
        picked.push_back(rest[i]);
    return picked;
}

void Checker::readSample(std::size_t k, const Pending& pending, const Promised& promised,
                         const std::vector<Choice>& states, const std::vector<std::size_t>& picked,
                         std::map<std::size_t, std::string>* faults) {
    struct Read {
        std::size_t state;
        std::string name;
        std::size_t synced;
    };
    std::vector<crashreaders::Wanted> files;
    std::vector<Read> reads;
    for (const std::size_t s : picked) {
        const Disk disk = replay_.build(pending, states[s]);
        for (const auto& [name, synced] : promised.frames) {
            if (!sameFile(disk, name))
                continue;  // a lost name is a fault already, and leaves nothing to read
            const QString path = QString("%1/k%2-s%3-%4").arg(scratch_).arg(k).arg(s).arg(
                QString::fromStdString(name));
            if (!crashreaders::WriteSparse(path, disk.files.at(disk.names.at(name))))
                (*faults)[s] += "cannot write the state out; ";
            bool scanned = false;
            crashreaders::LibavformatPackets(disk.files.at(disk.names.at(name)), SIZE_MAX,
                                             &scanned);
            files.push_back({path, static_cast<int>(synced), scanned});
            reads.push_back(Read{s, name, synced});
        }
    }
    if (files.empty())
        return;
    std::set<std::size_t> read;
    for (const Read& r : reads)
        read.insert(r.state);
    for (const Reader reader : crashreaders::kReaders) {
        const auto index = static_cast<std::size_t>(reader);
        const std::vector<Reading> got = crashreaders::ReadFiles(reader, files, scratch_);
        std::set<std::size_t> failed;
        for (std::size_t i = 0; i < reads.size(); ++i) {
            const Reading& want = readings_[reads[i].name][index];
            const std::string wrong =
                CompareFrames(got[i].hashes, got[i].frames, want.hashes, reads[i].synced);
            if (!wrong.empty()) {
                (*faults)[reads[i].state] += reads[i].name + ": " +
                                             crashreaders::ReaderName(reader) + " " + wrong + "; ";
                failed.insert(reads[i].state);
            }
        }
        tally_.readers[index] += read.size();
        tally_.failures[index + 1] += failed.size();
    }
    for (std::size_t i = 0; i < reads.size(); ++i) {
        // Kept for a closer look when asked to, else removed.
        if (!options_.keepFailing.isEmpty() && faults->count(reads[i].state) > 0)
            QFile::rename(files[i].path,
                          options_.keepFailing + "/" + QFileInfo(files[i].path).fileName());
        QFile::remove(files[i].path);
    }
}

void Checker::checkSyncPoint(std::size_t k) {
    const Pending pending = replay_.pendingAt(k);
    const Promised promised = PromisedBefore(replay_, replay_.nextSync(k));
    const auto seed = static_cast<std::uint32_t>(options_.seed * 7919u + k);
    std::vector<Choice> states = replay_.choices(pending, seed);
    const std::set<Choice> known(states.begin(), states.end());
    std::set<std::size_t> first;  // the targeted states, then those libavformat failed on
    for (const Choice& c : pointerWithoutTarget(pending)) {
        const auto at = std::find(states.begin(), states.end(), c);
        first.insert(static_cast<std::size_t>(at - states.begin()));
        if (known.count(c) == 0)
            states.push_back(c);
    }
    tally_.states += states.size();
    std::map<std::size_t, std::string> faults;
    std::size_t failingInProcess = 0;
    for (std::size_t s = 0; s < states.size(); ++s) {
        const std::string fault = checkInProcess(replay_.build(pending, states[s]), promised);
        ++tally_.libavformat;
        if (!promised.frames.empty())
            ++tally_.withFrames;
        if (fault.empty())
            continue;
        faults[s] = fault;
        ++tally_.failures[0];
        if (++failingInProcess <= options_.sample)
            first.insert(s);
    }
    readSample(k, pending, promised, states, sample(states.size(), first, seed), &faults);
    tally_.failingStates += faults.size();
    for (const auto& [s, fault] : faults)
        tally_.faults.push_back({k, "after sync point " + std::to_string(k) + " (" +
                                        replay_.describeSync(k) + "): " + fault + "state: " +
                                        replay_.describe(pending, states[s])});
}

}  // namespace

Tally Check(const std::vector<journal::Event>& events, const QString& scratch,
            const Options& options) {
    const Replay replay(events);
    Tally tally;
    tally.syncPoints = replay.syncPoints();
    Checker checker(replay, scratch, options, &tally);
    if (!checker.prepare()) {
        if (tally.setupError.empty())
            tally.setupError = "cannot write the run's files out";
        return tally;
    }
    for (std::size_t k = 0; k < replay.syncPoints(); ++k)
        checker.checkSyncPoint(k);
    return tally;
}

std::string FaultsBySyncPoint(const Tally& tally) {
    std::string out;
    for (std::size_t i = 0; i < tally.faults.size();) {
        std::size_t j = i;
        while (j < tally.faults.size() && tally.faults[j].syncPoint == tally.faults[i].syncPoint)
            ++j;
        out += "  " + std::to_string(j - i) + " failing states " + tally.faults[i].text + "\n";
        i = j;
    }
    return out;
}

std::string Summary(const std::string& name, const Tally& t) {
    return name + ": " + std::to_string(t.syncPoints) + " sync points, " +
           std::to_string(t.states) + " crash states, all checked in process, " +
           std::to_string(t.withFrames) + " of them with synced frames read by libavformat; "
           "read by ffmpeg " + std::to_string(t.readers[0]) +
           ", mediainfo " + std::to_string(t.readers[1]) + ", GStreamer " +
           std::to_string(t.readers[2]) + "; failing states " +
           std::to_string(t.failingStates) + " (libavformat " + std::to_string(t.failures[0]) +
           ", ffmpeg " + std::to_string(t.failures[1]) + ", mediainfo " +
           std::to_string(t.failures[2]) + ", GStreamer " + std::to_string(t.failures[3]) + ")";
}

}  // namespace powercut
