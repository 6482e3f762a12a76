// The write journal: what a process did to the files of one directory, in order, as the
// preloaded shim tests/fakes/journal records it. Shared by the shim (which writes it) and the
// crash-state replay (which reads it), so it uses nothing but the standard library.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace journal {

enum class Op : std::uint8_t {
    Create = 1,    // a name made with a new empty file (open with O_CREAT): inode, name
    Tmpfile = 2,   // a new file without a name (O_TMPFILE): inode
    Write = 3,     // bytes written at offset: inode, offset, data
    Resize = 4,    // the file's length set (ftruncate, fallocate, O_TRUNC): inode, length
    Fsync = 5,     // inode
    Fdatasync = 6, // inode
    DirSync = 7,   // fsync of the directory
    Link = 8,      // a name given to an inode (linkat, or a rename from elsewhere): inode, name
    Rename = 9,    // name moved to data within the directory: inode, name, data = new name
    Unlink = 10,   // a name removed: inode, name
    Mark = 11,     // a note of the test between the operations ("frame a.avi 3"): name
};

struct Event {
    Op op{};
    std::uint64_t inode = 0;
    std::int64_t at = 0;  // offset of a write, length of a resize
    std::string name;
    std::string data;
};

// One record: op (1 byte), inode (8), at (8), name length (4), data length (4), name, data.
inline std::string Encode(const Event& e) {
    std::string out(1 + 8 + 8 + 4 + 4, '\0');
    const auto nameBytes = static_cast<std::uint32_t>(e.name.size());
    const auto dataBytes = static_cast<std::uint32_t>(e.data.size());
    out[0] = static_cast<char>(e.op);
    __builtin_memcpy(&out[1], &e.inode, 8);
    __builtin_memcpy(&out[9], &e.at, 8);
    __builtin_memcpy(&out[17], &nameBytes, 4);
    __builtin_memcpy(&out[21], &dataBytes, 4);
    return out + e.name + e.data;
}

// The events of a journal file; false when it cannot be read or ends inside a record.
inline bool Read(const std::string& path, std::vector<Event>* events) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        return false;
    bool ok = true;
    unsigned char head[25];
    while (ok && std::fread(head, 1, sizeof head, f) == sizeof head) {
        Event e;
        std::uint32_t nameBytes = 0;
        std::uint32_t dataBytes = 0;
        e.op = static_cast<Op>(head[0]);
        __builtin_memcpy(&e.inode, head + 1, 8);
        __builtin_memcpy(&e.at, head + 9, 8);
        __builtin_memcpy(&nameBytes, head + 17, 4);
        __builtin_memcpy(&dataBytes, head + 21, 4);
        e.name.resize(nameBytes);
        e.data.resize(dataBytes);
        ok = std::fread(e.name.data(), 1, nameBytes, f) == nameBytes &&
             std::fread(e.data.data(), 1, dataBytes, f) == dataBytes;
        events->push_back(std::move(e));
    }
    ok = ok && std::feof(f);
    std::fclose(f);
    return ok;
}

}  // namespace journal
