// A new file whose bytes and name reach the disk in an order a crash cannot tear.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace avi {

// fsync (or the given replacement) of fd. A file system that cannot sync files at all
// (EINVAL, as some FUSE and network mounts answer) counts as success: the recording goes on
// and the log says once that frames are not made durable. False with errno set otherwise.
bool SyncFile(int fd, int (*syncFile)(int) = nullptr);
// A write barrier: SyncFile with fdatasync, which makes the bytes written so far and the
// file's length durable, so that what is written next may point at them or count them.
bool SyncData(int fd, int (*syncFile)(int) = nullptr);

// The steps by which the capture files and snapshots come to be. A new file is made without
// a name where the file system allows (O_TMPFILE) and is given its name once its first bytes
// are durable, so that a kill or a power cut at any moment leaves either no such name or a
// readable file; elsewhere it gets its name at once. It never replaces or follows anything
// that has the name already. Every step that adds or removes a name syncs the directory, so
// the name survives a power cut as well as the bytes. The steps go through a descriptor of
// the directory, opened once: a directory of any depth will do, and one renamed meanwhile
// is still the one the name goes into.
//
// A write past the process's file size limit raises SIGXFSZ, which ends a process that
// has not ignored it: a program that wants such a write to fail instead ignores the signal
// itself, once, at its start.
class DurableFile {
public:
    // A new file for path, named by its last component in the directory the rest names;
    // isOpen() is false (with errno set) when none could be made.
    static DurableFile Create(const std::string& path);
    DurableFile() = default;
    ~DurableFile();
    DurableFile(DurableFile&& other) noexcept;
    DurableFile& operator=(DurableFile&& other) noexcept;
    DurableFile(const DurableFile&) = delete;
    DurableFile& operator=(const DurableFile&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    const std::string& path() const { return path_; }
    // Still to be named (see name()).
    bool unnamed() const { return unnamed_; }

    // Writes all of data at the file's offset, retrying short writes; false with errno set.
    bool writeAll(const std::uint8_t* data, std::size_t size);
    // Makes what was written durable (SyncFile); false with errno set.
    bool sync(int (*syncFile)(int) = nullptr);
    // A write barrier (SyncData); false with errno set.
    bool syncData(int (*syncFile)(int) = nullptr) { return SyncData(fd_, syncFile); }
    // Gives an unnamed file its name and syncs the directory; a file of that name that
    // appeared meanwhile is never replaced (false with errno EEXIST). True for a named file.
    bool name();
    // The file's length now, or -1.
    std::int64_t size() const;
    // Whether the file still has a name in some directory (it was not removed).
    bool linked() const;
    // Removes the file's name, if that name still leads to this file, and syncs the
    // directory: for a file that holds nothing readable. True when the name went.
    bool removeName();

private:
    void syncDirectory() const;
    void close();

    int fd_ = -1;
    int directory_ = -1;  // the directory the file's name goes into
    std::string path_;
    std::string leaf_;  // the name in that directory
    bool unnamed_ = false;
};

}  // namespace avi
