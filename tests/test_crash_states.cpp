// The crash-state replay on small journals written by hand: which writes a power cut may
// lose, how sectors tear, which names survive, and how many states it builds.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "support/CrashStates.h"

namespace {

using crash::Choice;
using crash::Replay;
using journal::Event;
using journal::Op;

Event Write(std::uint64_t inode, std::int64_t at, std::string data) {
    return Event{Op::Write, inode, at, {}, std::move(data)};
}
Event Sync(std::uint64_t inode) { return Event{Op::Fsync, inode, 0, {}, {}}; }
Event Name(Op op, std::uint64_t inode, std::string name) {
    return Event{op, inode, 0, std::move(name), {}};
}

// A file in short: a letter per 512-byte sector (its first byte; '0' for zeros), and for
// a shorter last piece its bytes.
std::string Sketch(const std::string& bytes) {
    std::string out;
    for (std::size_t at = 0; at < bytes.size(); at += 512) {
        const std::string sector = bytes.substr(at, 512);
        out += sector.size() < 512 ? sector : std::string(1, sector[0] ? sector[0] : '0');
        if (sector.size() == 512 && sector.find("PPPP") != std::string::npos)
            out.back() = 'P';
    }
    return out;
}

// The distinct contents file 1 may have after sync point k, sketched.
std::set<std::string> Contents(const Replay& r, std::size_t k) {
    const crash::Pending p = r.pendingAt(k);
    std::set<std::string> out;
    for (const Choice& c : r.choices(p, 1)) {
        const crash::Disk d = r.build(p, c);
        const auto f = d.files.find(1);
        out.insert(f == d.files.end() ? "-" : Sketch(f->second.read(0, f->second.size())));
    }
    return out;
}

TEST(CrashStates, AWriteSinceTheLastSyncMayBeLostOrTornAtSectors) {
    const std::string a(512, 'a');
    const std::string b(512, 'b');
    // One sync, then a write over two sectors and a four-byte pointer into the first.
    const Replay r({Name(Op::Create, 1, "f"), Write(1, 0, a + a), Sync(1),
                    Write(1, 0, b + b), Write(1, 4, "PPPP")});
    EXPECT_EQ(r.syncPoints(), 2u);
    // P: the second write's sector with the pointer in it.
    EXPECT_EQ(Contents(r, 1), (std::set<std::string>{"aa", "ba", "ab", "bb", "Pa", "Pb"}))
        << "each sector holds the page cache as after one of the writes, or its old bytes";
    // Before the sync only the first write may be there, in part: its first sector alone
    // makes a shorter file, its second alone leaves a hole.
    EXPECT_EQ(Contents(r, 0), (std::set<std::string>{"", "a", "0a", "aa"}));
}

TEST(CrashStates, NamesLastOnlyOnceTheirDirectoryIsSynced) {
    // Written unnamed, synced, linked, then the directory synced: as the recorder names files.
    const Replay r({Event{Op::Tmpfile, 1, 0, {}, {}}, Write(1, 0, "data"), Sync(1),
                    Name(Op::Link, 1, "f.avi"), Event{Op::DirSync, 0, 0, {}, {}},
                    Event{Op::Rename, 1, 0, "f.avi", "g.avi"}, Event{Op::DirSync, 0, 0, {}, {}}});
    struct Row {
        std::size_t k;
        std::set<std::set<std::string>> names;
    };
    const Row rows[] = {
        {0, {{}}},
        {1, {{}, {"f.avi"}}},  // the link may or may not have been committed
        {2, {{"f.avi"}, {"g.avi"}}},
        {3, {{"g.avi"}}},
    };
    for (const Row& row : rows) {
        const crash::Pending p = r.pendingAt(row.k);
        std::set<std::set<std::string>> seen;
        for (const Choice& c : r.choices(p, 1)) {
            std::set<std::string> names;
            for (const auto& [name, inode] : r.build(p, c).names)
                names.insert(name);
            seen.insert(names);
        }
        EXPECT_EQ(seen, row.names) << "after sync point " << row.k;
    }
}

TEST(CrashStates, AnotherFilesSyncDoesNotMakeAWriteDurable) {
    const Replay r({Name(Op::Create, 1, "f"), Name(Op::Create, 2, "g"), Write(1, 0, "x"),
                    Sync(2)});
    EXPECT_EQ(Contents(r, 1), (std::set<std::string>{"", "x"}));
}

TEST(CrashStates, ManySectorsGetPrefixesSuffixesOmissionsAndRandomSubsets) {
    const std::size_t sectors = 40;
    const Replay r({Name(Op::Create, 1, "f"), Event{Op::DirSync, 0, 0, {}, {}},
                    Write(1, 0, std::string(512 * sectors, 'z'))});
    const crash::Pending p = r.pendingAt(1);
    ASSERT_EQ(p.units.size(), sectors);
    const std::vector<Choice> choices = r.choices(p, 7);
    // n + 1 prefixes and suffixes (none and all shared), n omissions, 200 random ones.
    EXPECT_GE(choices.size(), 3 * sectors + crash::kRandomSubsets - 10);
    EXPECT_LE(choices.size(), 3 * sectors + crash::kRandomSubsets);
    EXPECT_EQ(choices, r.choices(p, 7)) << "the random subsets are seeded";
}

TEST(CrashStates, AResizeIsAUnitOfItsOwnAndHolesReadAsZeros) {
    crash::SparseFile f;
    f.write(1 << 30, "end");
    EXPECT_EQ(f.size(), (1 << 30) + 3);
    EXPECT_EQ(f.sectors().size(), 1u);
    EXPECT_EQ(f.read(5, 2), std::string(2, '\0'));
    f.resize(10);
    f.resize(1 << 30);
    EXPECT_EQ(f.read((1 << 30) - 1, 4), std::string(1, '\0'));

    const Replay r({Name(Op::Create, 1, "f"), Write(1, 0, "abcdef"), Sync(1),
                    Event{Op::Resize, 1, 2, {}, {}}});
    EXPECT_EQ(Contents(r, 1), (std::set<std::string>{"abcdef", "ab"}));
}

}  // namespace
