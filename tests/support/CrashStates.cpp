// Crash states of a write journal: what stays after a power cut that follows each sync.
#include "support/CrashStates.h"

#include <algorithm>
#include <random>
#include <set>
#include <stdexcept>

namespace crash {

namespace {

using journal::Op;

bool IsName(Op op) {
    return op == Op::Create || op == Op::Link || op == Op::Rename || op == Op::Unlink;
}

// "0-3,7" for the kept entries of keep[from, to) counted from from.
std::string Ranges(const std::vector<bool>& keep, std::size_t from, std::size_t to) {
    std::string out;
    for (std::size_t i = from; i < to; ++i) {
        if (!keep[i])
            continue;
        std::size_t j = i;
        while (j + 1 < to && keep[j + 1])
            ++j;
        out += (out.empty() ? "" : ",") + std::to_string(i - from);
        if (j > i)
            out += "-" + std::to_string(j - from);
        i = j;
    }
    return out;
}

}  // namespace

void SparseFile::write(std::int64_t at, const std::string& data) {
    std::int64_t done = 0;
    const auto total = static_cast<std::int64_t>(data.size());
    while (done < total) {
        const std::int64_t s = (at + done) / kSectorBytes;
        const std::int64_t in = (at + done) % kSectorBytes;
        const std::int64_t n = std::min(kSectorBytes - in, total - done);
        std::string& bytes = sectors_[s];
        bytes.resize(kSectorBytes, '\0');
        bytes.replace(static_cast<std::size_t>(in), static_cast<std::size_t>(n), data,
                      static_cast<std::size_t>(done), static_cast<std::size_t>(n));
        done += n;
    }
    length_ = std::max(length_, at + total);
}

void SparseFile::resize(std::int64_t length) {
    if (length < length_) {
        // What lies past the new end reads as zeros when the file grows again.
        sectors_.erase(sectors_.lower_bound((length + kSectorBytes - 1) / kSectorBytes),
                       sectors_.end());
        if (const auto last = sectors_.find(length / kSectorBytes); last != sectors_.end())
            std::fill(last->second.begin() + length % kSectorBytes, last->second.end(), '\0');
    }
    length_ = length;
}

std::string SparseFile::read(std::int64_t at, std::int64_t n) const {
    std::string out;
    for (std::int64_t end = std::min(at + n, length_); at < end;) {
        const std::int64_t s = at / kSectorBytes;
        const std::int64_t in = at % kSectorBytes;
        const std::int64_t take = std::min(kSectorBytes - in, end - at);
        const auto it = sectors_.find(s);
        if (it == sectors_.end())
            out.append(static_cast<std::size_t>(take), '\0');
        else
            out.append(it->second, static_cast<std::size_t>(in), static_cast<std::size_t>(take));
        at += take;
    }
    return out;
}

std::string SparseFile::sector(std::int64_t s) const {
    const auto it = sectors_.find(s);
    return it == sectors_.end() ? std::string(kSectorBytes, '\0') : it->second;
}

void SparseFile::putSector(std::int64_t s, const std::string& bytes, std::int64_t length) {
    sectors_[s] = bytes;
    length_ = std::max(length_, length);
}

void ApplyName(const journal::Event& e, std::map<std::string, std::uint64_t>* names) {
    switch (e.op) {
    case Op::Create:
    case Op::Link: (*names)[e.name] = e.inode; break;
    case Op::Rename:
        names->erase(e.name);
        (*names)[e.data] = e.inode;
        break;
    case Op::Unlink: names->erase(e.name); break;
    default: break;
    }
}

Replay::Replay(std::vector<journal::Event> events) : events_(std::move(events)) {
    for (std::size_t i = 0; i < events_.size(); ++i)
        if (IsSync(events_[i].op))
            syncs_.push_back(i);
}

std::size_t Replay::nextSync(std::size_t k) const {
    return k < syncs_.size() ? syncs_[k] : events_.size();
}

Pending Replay::pendingAt(std::size_t k) const {
    const std::size_t end = nextSync(k);
    // What sync point k made durable: per file its last sync, for names the directory's.
    std::map<std::uint64_t, std::size_t> fileSynced;  // one past the file's last sync
    std::size_t namesSynced = 0;
    for (std::size_t i = 0; k > 0 && i <= syncEvent(k); ++i) {
        const journal::Event& e = events_[i];
        if (e.op == Op::Fsync || e.op == Op::Fdatasync)
            fileSynced[e.inode] = i + 1;
        else if (e.op == Op::DirSync)
            namesSynced = i + 1;
    }
    Pending p;
    std::map<std::uint64_t, SparseFile> cache;  // every file as the page cache holds it
    for (std::size_t i = 0; i < end; ++i) {
        const journal::Event& e = events_[i];
        if (IsName(e.op)) {
            if (i < namesSynced)
                ApplyName(e, &p.durable.names);
            else
                p.nameOps.push_back(i);
        }
        if (e.op == Op::Create || e.op == Op::Tmpfile) {
            cache[e.inode];
            p.durable.files[e.inode];
        }
        if (e.op != Op::Write && e.op != Op::Resize)
            continue;
        SparseFile& file = cache[e.inode];
        if (e.op == Op::Write)
            file.write(e.at, e.data);
        else
            file.resize(e.at);
        if (i < fileSynced[e.inode]) {
            p.durable.files[e.inode] = file;
            continue;
        }
        if (e.op == Op::Resize) {
            p.units.push_back(Unit{i, e.inode, -1, {}, file.size()});
            continue;
        }
        // A sector reaches the disk whole, with what the page cache held in it.
        const std::int64_t last =
            (e.at + static_cast<std::int64_t>(e.data.size()) - 1) / kSectorBytes;
        for (std::int64_t s = e.at / kSectorBytes; s <= last; ++s)
            p.units.push_back(Unit{i, e.inode, s, file.sector(s),
                                   std::min(file.size(), (s + 1) * kSectorBytes)});
    }
    return p;
}

std::vector<Choice> Replay::choices(const Pending& pending, std::uint32_t seed) const {
    const std::size_t n = pending.units.size();
    std::vector<std::vector<bool>> subsets;
    if (n <= kEverySubsetUpTo) {
        for (std::uint32_t mask = 0; mask < (1u << n); ++mask) {
            std::vector<bool> keep(n);
            for (std::size_t i = 0; i < n; ++i)
                keep[i] = (mask >> i) & 1u;
            subsets.push_back(std::move(keep));
        }
    } else {
        for (std::size_t i = 0; i <= n; ++i) {
            std::vector<bool> prefix(n, false);
            std::vector<bool> suffix(n, false);
            std::fill(prefix.begin(), prefix.begin() + static_cast<std::ptrdiff_t>(i), true);
            std::fill(suffix.end() - static_cast<std::ptrdiff_t>(i), suffix.end(), true);
            subsets.push_back(std::move(prefix));
            subsets.push_back(std::move(suffix));
        }
        for (std::size_t i = 0; i < n; ++i) {
            std::vector<bool> omission(n, true);
            omission[i] = false;
            subsets.push_back(std::move(omission));
        }
        std::mt19937 random(seed);
        std::bernoulli_distribution coin(0.5);
        for (int r = 0; r < kRandomSubsets; ++r) {
            std::vector<bool> keep(n);
            for (std::size_t i = 0; i < n; ++i)
                keep[i] = coin(random);
            subsets.push_back(std::move(keep));
        }
    }
    std::set<Choice> unique;
    for (const auto& keep : subsets)
        for (std::size_t names = 0; names <= pending.nameOps.size(); ++names)
            unique.insert(Choice{keep, names});
    return {unique.begin(), unique.end()};
}

Disk Replay::build(const Pending& pending, const Choice& choice) const {
    Disk disk = pending.durable;
    for (std::size_t i = 0; i < pending.units.size(); ++i) {
        if (!choice.keep[i])
            continue;
        const Unit& u = pending.units[i];
        SparseFile& file = disk.files[u.inode];
        if (u.sector < 0)
            file.resize(u.length);
        else
            file.putSector(u.sector, u.bytes, u.length);
    }
    for (std::size_t j = 0; j < choice.names; ++j)
        ApplyName(events_[pending.nameOps[j]], &disk.names);
    return disk;
}

Disk Replay::finalDisk() const {
    Disk disk;
    for (const journal::Event& e : events_)
        ApplyToPageCache(e, &disk);
    return disk;
}

std::vector<std::string> Replay::marksBefore(std::size_t end) const {
    std::vector<std::string> marks;
    for (std::size_t i = 0; i < end && i < events_.size(); ++i)
        if (events_[i].op == Op::Mark)
            marks.push_back(events_[i].name);
    return marks;
}

std::string Replay::nameOf(std::uint64_t inode) const {
    std::string name;
    for (const journal::Event& e : events_)
        if (e.inode == inode && (e.op == Op::Create || e.op == Op::Link))
            name = e.name;
        else if (e.inode == inode && e.op == Op::Rename)
            name = e.data;
    return name;
}

std::string Replay::describeSync(std::size_t k) const {
    if (k == 0)
        return "the start";
    const std::size_t i = syncEvent(k);
    const journal::Event& e = events_[i];
    const std::string what = e.op == Op::DirSync     ? "fsync of the directory"
                             : e.op == Op::Fdatasync ? "fdatasync of " + nameOf(e.inode)
                                                     : "fsync of " + nameOf(e.inode);
    return what + " (event " + std::to_string(i) + ")";
}

std::string Replay::describe(const Pending& pending, const Choice& choice) const {
    std::string out;
    if (!pending.nameOps.empty())
        out += "name operations kept: " + std::to_string(choice.names) + " of " +
               std::to_string(pending.nameOps.size()) + "; ";
    for (std::size_t i = 0; i < pending.units.size();) {
        std::size_t j = i;
        while (j < pending.units.size() && pending.units[j].event == pending.units[i].event)
            ++j;
        const journal::Event& e = events_[pending.units[i].event];
        std::string kept = Ranges(choice.keep, i, j);
        if (kept.empty())
            kept = "none";
        else if (std::all_of(choice.keep.begin() + static_cast<std::ptrdiff_t>(i),
                             choice.keep.begin() + static_cast<std::ptrdiff_t>(j),
                             [](bool b) { return b; }))
            kept = "all";
        out += (e.op == Op::Resize ? "resize" : "write") + std::string(" event ") +
               std::to_string(pending.units[i].event) + " of " + nameOf(e.inode) + " at " +
               std::to_string(e.at) +
               (e.op == Op::Write ? " (" + std::to_string(e.data.size()) + " bytes, sectors " +
                                        kept + " of " + std::to_string(j - i) + " kept)"
                                  : std::string(kept == "none" ? " lost" : " kept")) +
               "; ";
        i = j;
    }
    return out.empty() ? "nothing pending" : out;
}

void ApplyToPageCache(const journal::Event& e, Disk* disk) {
    ApplyName(e, &disk->names);
    if (e.op == Op::Create || e.op == Op::Tmpfile)
        disk->files[e.inode];
    else if (e.op == Op::Write)
        disk->files[e.inode].write(e.at, e.data);
    else if (e.op == Op::Resize)
        disk->files[e.inode].resize(e.at);
}

bool IsSync(Op op) { return op == Op::Fsync || op == Op::Fdatasync || op == Op::DirSync; }

}  // namespace crash
