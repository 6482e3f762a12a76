// The states a disk may hold after a power cut, rebuilt from a write journal
// (support/WriteJournal.h).
//
// Sync point 0 is the start of the journal; sync point k > 0 is the k-th successful fsync,
// fdatasync or directory fsync. A power cut after sync point k (and before k + 1) leaves:
// - of each file, every write and resize up to the last sync of that file at or before k;
// - of the writes and resizes since then, issued before sync point k + 1, any subset, taken
//   sector by sector: every 512-byte sector a write touched is a unit that the disk holds
//   either as it was or as the page cache held it right after that write (so a write that
//   spans sectors may be torn); a resize is one unit;
// - the names as ext4's default ordered mode keeps them: every name operation up to the last
//   fsync of the directory at or before k, then some prefix of the later ones (the journal
//   commits them in order; none is durable before its directory is synced).
// The subsets taken are every one when at most 12 units changed, otherwise every prefix,
// every suffix, every single-unit omission and 200 seeded random subsets; each is combined
// with every prefix of the pending name operations.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "support/WriteJournal.h"

namespace crash {

constexpr std::int64_t kSectorBytes = 512;
constexpr std::size_t kEverySubsetUpTo = 12;
constexpr int kRandomSubsets = 200;

// A file's contents by 512-byte sector; sectors never written read as zeros (the recorder
// leaves holes of a GiB in files that cross a RIFF boundary through the test knob).
class SparseFile {
public:
    void write(std::int64_t at, const std::string& data);
    void resize(std::int64_t length);
    std::int64_t size() const { return length_; }
    // Up to n bytes from at, cut at the end of the file.
    std::string read(std::int64_t at, std::int64_t n) const;
    // The whole sector s as it stands (zeros past the end).
    std::string sector(std::int64_t s) const;
    // Puts a whole sector back and makes the file at least `length` long.
    void putSector(std::int64_t s, const std::string& bytes, std::int64_t length);
    // Where the first sector holding data at or after `at` begins, or the file's size.
    std::int64_t nextData(std::int64_t at) const {
        const auto it = sectors_.lower_bound(at / kSectorBytes);
        return it == sectors_.end() ? length_ : std::max(at, it->first * kSectorBytes);
    }
    // The sectors that hold data, for writing the file out with its holes.
    const std::map<std::int64_t, std::string>& sectors() const { return sectors_; }
    bool operator==(const SparseFile& o) const {
        return length_ == o.length_ && sectors_ == o.sectors_;
    }

private:
    std::map<std::int64_t, std::string> sectors_;
    std::int64_t length_ = 0;
};

// What a disk holds: names in the directory and the contents of files by inode.
struct Disk {
    std::map<std::string, std::uint64_t> names;
    std::map<std::uint64_t, SparseFile> files;
};

// One sector of a pending write, or a pending resize (sector -1).
struct Unit {
    std::size_t event = 0;
    std::uint64_t inode = 0;
    std::int64_t sector = -1;
    std::string bytes;        // the sector as the page cache held it after the event
    std::int64_t length = 0;  // the file's length after the event
};

// Which pending units and how many pending name operations a crash state keeps.
struct Choice {
    std::vector<bool> keep;
    std::size_t names = 0;
    bool operator==(const Choice& o) const = default;
    bool operator<(const Choice& o) const {
        return names != o.names ? names < o.names : keep < o.keep;
    }
};

struct Pending {
    Disk durable;
    std::vector<Unit> units;
    std::vector<std::size_t> nameOps;  // events, in order
};

class Replay {
public:
    explicit Replay(std::vector<journal::Event> events);

    const std::vector<journal::Event>& events() const { return events_; }
    std::size_t syncPoints() const { return syncs_.size() + 1; }
    // The journal index of sync point k's sync event (none for k = 0).
    std::size_t syncEvent(std::size_t k) const { return syncs_.at(k - 1); }
    // Where the operations that may be lost after sync point k end: sync point k + 1, or
    // the end of the journal.
    std::size_t nextSync(std::size_t k) const;

    Pending pendingAt(std::size_t k) const;
    // The subsets of the rules above for sync point k; seed makes the random ones repeatable.
    std::vector<Choice> choices(const Pending& pending, std::uint32_t seed) const;
    Disk build(const Pending& pending, const Choice& choice) const;
    // Everything the journal did, as the page cache held it at its end.
    Disk finalDisk() const;
    // The Mark events before `end`, in order.
    std::vector<std::string> marksBefore(std::size_t end) const;

    // Sync point k in words: "fsync of brslt000.avi (event 41)".
    std::string describeSync(std::size_t k) const;
    // A crash state in words: the name operations kept, and per pending write which of its
    // sectors reached the disk.
    std::string describe(const Pending& pending, const Choice& choice) const;
    // The name an inode has (or last had) in the journal, "" for none.
    std::string nameOf(std::uint64_t inode) const;

private:
    std::vector<journal::Event> events_;
    std::vector<std::size_t> syncs_;
};

// Whether the operation is a sync: of a file (fsync, fdatasync) or of the directory.
bool IsSync(journal::Op op);
// Applies a name operation of the journal to a set of names.
void ApplyName(const journal::Event& e, std::map<std::string, std::uint64_t>* names);
// Applies an event as the page cache takes it: names, writes and resizes at once, in full.
// What a killed process leaves is the page cache after its last event, since the kernel
// keeps every write it made.
void ApplyToPageCache(const journal::Event& e, Disk* disk);

}  // namespace crash
