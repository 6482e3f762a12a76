// The write journal for tests, loaded with LD_PRELOAD: records, in order, what the process
// does to the files of one directory, so that a test can rebuild every state a disk may hold
// after a power cut (tests/support/CrashStates.h).
//
// While a journal is open (brisolt_journal_begin), descriptors of regular files whose name
// lies directly in the watched directory, or that were made there without a name (O_TMPFILE),
// and descriptors of the directory itself are followed:
//   open/openat (64-bit and fortified variants): Create for a name that did not exist
//     (O_CREAT), Tmpfile, Resize to 0 for O_TRUNC;
//   write, writev, pwrite, pwritev, pwritev2 (and 64-bit variants): Write with the offset
//     and the bytes that the call reports written;
//   ftruncate, fallocate: Resize to the length the file has after the call;
//   fsync, fdatasync: Fsync/Fdatasync of a file, DirSync of the directory (successful only);
//   link, linkat, rename, renameat, renameat2, unlink, unlinkat: Link, Rename, Unlink of
//     names in the directory.
// Every other descriptor and path passes straight to libc. Writes through mmap are not seen
// (the recorder does not map its files). The journal is written with libc's own write.
//
// C interface, found by the test with dlsym:
//   int brisolt_journal_begin(const char* dir, const char* journalPath)  0, or -1 (errno)
//   void brisolt_journal_mark(const char* text)   a Mark event between operations
//   void brisolt_journal_fail_beyond(long long length)  a full disk: writes to followed
//       files past `length` bytes fail with ENOSPC (one that crosses it is cut short
//       there); -1 lifts it
//   void brisolt_journal_end(void)                closes the journal
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "support/WriteJournal.h"

namespace {

template <typename F>
F Next(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

#define REAL(name, type) static const auto real_##name = Next<type>(#name)

using WriteFn = ssize_t (*)(int, const void*, size_t);

struct Followed {
    std::uint64_t inode = 0;
    bool directory = false;
};

// Everything below is guarded by g_mutex; a followed call holds it across the real call and
// its record, so the journal's order is the order in which the calls took effect.
std::recursive_mutex g_mutex;
bool g_active = false;
int g_journal = -1;
std::string g_dir;  // the watched directory, resolved
std::map<int, Followed> g_fds;
std::int64_t g_failBeyond = -1;

std::string Resolved(const std::string& path) {
    char buf[PATH_MAX];
    return ::realpath(path.c_str(), buf) != nullptr ? std::string(buf) : std::string();
}

std::string FdPath(int fd) {
    char buf[PATH_MAX];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

std::string Leaf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The directory a path names its entry in, resolved, as openat-style calls read it.
std::string ParentOf(int dirfd, const char* path) {
    std::string p = path != nullptr ? path : "";
    const auto slash = p.rfind('/');
    std::string parent = slash == std::string::npos ? "." : p.substr(0, slash + 1);
    if (parent.empty() || parent[0] != '/') {
        const std::string base = dirfd == AT_FDCWD ? Resolved(".") : FdPath(dirfd);
        parent = base + "/" + parent;
    }
    return Resolved(parent);
}

bool InWatched(int dirfd, const char* path) {
    return g_active && path != nullptr && ParentOf(dirfd, path) == g_dir;
}

void Record(const journal::Event& e) {
    REAL(write, WriteFn);
    const std::string bytes = journal::Encode(e);
    std::size_t done = 0;
    while (g_journal >= 0 && done < bytes.size()) {
        const ssize_t n = real_write(g_journal, bytes.data() + done, bytes.size() - done);
        if (n <= 0 && errno != EINTR)
            std::abort();  // a journal with holes would prove nothing
        done += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
}

void Record(journal::Op op, std::uint64_t inode, std::int64_t at = 0, std::string name = {},
            std::string data = {}) {
    Record(journal::Event{op, inode, at, std::move(name), std::move(data)});
}

const Followed* FollowedFd(int fd) {
    if (!g_active)
        return nullptr;
    const auto it = g_fds.find(fd);
    return it == g_fds.end() || fd == g_journal ? nullptr : &it->second;
}

std::int64_t LengthOf(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 ? st.st_size : -1;
}

// After a successful open: follow the descriptor when it belongs to the watched directory.
int Adopt(int fd, int flags, bool created) {
    if (fd < 0 || !g_active)
        return fd;
    const int saved = errno;
    g_fds.erase(fd);
    struct stat st {};
    const std::string path = FdPath(fd);
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && path == g_dir) {
        g_fds[fd] = Followed{st.st_ino, true};
    } else if (S_ISREG(st.st_mode) && path.rfind(g_dir + "/", 0) == 0 &&
               path.find('/', g_dir.size() + 1) == std::string::npos) {
        g_fds[fd] = Followed{st.st_ino, false};
        if ((flags & O_TMPFILE) == O_TMPFILE)
            Record(journal::Op::Tmpfile, st.st_ino);
        else if (created)
            Record(journal::Op::Create, st.st_ino, 0, Leaf(path));
        else if (flags & O_TRUNC)
            Record(journal::Op::Resize, st.st_ino, 0);
    }
    errno = saved;
    return fd;
}

bool WillCreate(int dirfd, const char* path, int flags) {
    struct stat st {};
    return (flags & O_CREAT) && (flags & O_TMPFILE) != O_TMPFILE &&
           ::fstatat(dirfd, path, &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT;
}

template <typename Open>
int OpenFollowed(int dirfd, const char* path, int flags, Open open) {
    std::lock_guard lock(g_mutex);
    const bool created = g_active && WillCreate(dirfd, path, flags);
    return Adopt(open(), flags, created);
}

mode_t ModeOf(int flags, va_list args) {
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(args, mode_t) : 0;
}

std::string Gather(const struct iovec* iov, int count, std::size_t bytes) {
    std::string out;
    for (int i = 0; i < count && out.size() < bytes; ++i)
        out.append(static_cast<const char*>(iov[i].iov_base),
                   std::min(iov[i].iov_len, bytes - out.size()));
    return out;
}

size_t Capped(size_t count, ssize_t room) {
    return room < 0 ? count : std::min(count, static_cast<size_t>(room));
}

// A vectored write of at most room bytes (all when room < 0).
template <typename Call>
ssize_t Vectored(const struct iovec* iov, int count, ssize_t room, Call call) {
    if (room < 0)
        return call(iov, count);
    std::vector<struct iovec> cut;
    for (int i = 0; i < count && room > 0; ++i) {
        cut.push_back(iov[i]);
        cut.back().iov_len = Capped(iov[i].iov_len, room);
        room -= static_cast<ssize_t>(cut.back().iov_len);
    }
    return call(cut.data(), static_cast<int>(cut.size()));
}

// A write at `at` (or at the descriptor's offset when at < 0) through `call`, which is given
// the most bytes the disk takes (-1: no limit).
template <typename Call>
ssize_t WriteFollowed(int fd, std::int64_t at, Call call,
                      const std::function<std::string(std::size_t)>& bytes) {
    std::lock_guard lock(g_mutex);
    const Followed* f = FollowedFd(fd);
    if (f == nullptr || f->directory)
        return call(-1);
    if (at < 0)
        at = (::fcntl(fd, F_GETFL) & O_APPEND) ? LengthOf(fd) : ::lseek(fd, 0, SEEK_CUR);
    if (g_failBeyond >= 0 && at >= g_failBeyond) {
        errno = ENOSPC;
        return -1;
    }
    const ssize_t n = call(g_failBeyond >= 0 ? g_failBeyond - at : -1);
    if (n > 0) {
        const int saved = errno;
        Record(journal::Op::Write, f->inode, at, {}, bytes(static_cast<std::size_t>(n)));
        errno = saved;
    }
    return n;
}

template <typename Call>
int ResizeFollowed(int fd, Call call) {
    std::lock_guard lock(g_mutex);
    const int rc = call();
    const Followed* f = FollowedFd(fd);
    if (rc == 0 && f != nullptr && !f->directory) {
        const int saved = errno;
        Record(journal::Op::Resize, f->inode, LengthOf(fd));
        errno = saved;
    }
    return rc;
}

template <typename Call>
int SyncFollowed(int fd, journal::Op op, Call call) {
    std::lock_guard lock(g_mutex);
    const int rc = call();
    const Followed* f = FollowedFd(fd);
    if (rc == 0 && f != nullptr)
        Record(f->directory ? journal::Op::DirSync : op, f->inode);
    return rc;
}

std::uint64_t InodeAt(int dirfd, const char* path) {
    struct stat st {};
    return ::fstatat(dirfd, path, &st, AT_SYMLINK_NOFOLLOW) == 0 ? st.st_ino : 0;
}

int LinkFollowed(int newdir, const char* newpath, const std::function<int()>& call) {
    std::lock_guard lock(g_mutex);
    const int rc = call();
    if (rc == 0 && InWatched(newdir, newpath))
        Record(journal::Op::Link, InodeAt(newdir, newpath), 0, Leaf(newpath));
    return rc;
}

int RenameFollowed(int olddir, const char* oldpath, int newdir, const char* newpath,
                   const std::function<int()>& call) {
    std::lock_guard lock(g_mutex);
    const bool from = InWatched(olddir, oldpath);
    const std::uint64_t moved = from ? InodeAt(olddir, oldpath) : 0;
    const int rc = call();
    if (rc != 0)
        return rc;
    const bool to = InWatched(newdir, newpath);
    if (from && to)
        Record(journal::Op::Rename, moved, 0, Leaf(oldpath), Leaf(newpath));
    else if (from)
        Record(journal::Op::Unlink, moved, 0, Leaf(oldpath));
    else if (to)
        Record(journal::Op::Link, InodeAt(newdir, newpath), 0, Leaf(newpath));
    return rc;
}

int UnlinkFollowed(int dirfd, const char* path, int flags, const std::function<int()>& call) {
    std::lock_guard lock(g_mutex);
    const bool watched = !(flags & AT_REMOVEDIR) && InWatched(dirfd, path);
    const std::uint64_t inode = watched ? InodeAt(dirfd, path) : 0;
    const int rc = call();
    if (rc == 0 && watched)
        Record(journal::Op::Unlink, inode, 0, Leaf(path));
    return rc;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int brisolt_journal_begin(const char* dir,
                                                                   const char* journalPath) {
    std::lock_guard lock(g_mutex);
    if (g_active || dir == nullptr || journalPath == nullptr) {
        errno = EBUSY;
        return -1;
    }
    g_dir = Resolved(dir);
    g_journal = ::open(journalPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (g_dir.empty() || g_journal < 0 || ParentOf(AT_FDCWD, journalPath) == g_dir) {
        if (g_journal >= 0)
            ::close(g_journal);
        g_journal = -1;
        errno = EINVAL;
        return -1;
    }
    g_fds.clear();
    g_active = true;
    return 0;
}

__attribute__((visibility("default"))) void brisolt_journal_mark(const char* text) {
    std::lock_guard lock(g_mutex);
    if (g_active)
        Record(journal::Op::Mark, 0, 0, text);
}

__attribute__((visibility("default"))) void brisolt_journal_fail_beyond(long long length) {
    std::lock_guard lock(g_mutex);
    g_failBeyond = length;
}

__attribute__((visibility("default"))) void brisolt_journal_end(void) {
    std::lock_guard lock(g_mutex);
    g_active = false;
    g_failBeyond = -1;
    g_fds.clear();
    if (g_journal >= 0)
        ::close(g_journal);
    g_journal = -1;
}

// ---- opening ----------------------------------------------------------------------------

using OpenFn = int (*)(const char*, int, ...);
using OpenatFn = int (*)(int, const char*, int, ...);
using Open2Fn = int (*)(const char*, int);
using Openat2Fn = int (*)(int, const char*, int);

// open and openat with their 64-bit twins; then the fortified forms, which take no mode.
#define OPEN(name, Fn, dir, ...)                                                             \
    int name(__VA_ARGS__, int flags, ...) {                                                  \
        va_list args;                                                                        \
        va_start(args, flags);                                                               \
        const mode_t mode = ModeOf(flags, args);                                             \
        va_end(args);                                                                        \
        REAL(name, Fn);                                                                      \
        return OpenFollowed(dir, path, flags, [&] { return CALL_##Fn(name); });              \
    }
#define CALL_OpenFn(name) real_##name(path, flags, mode)
#define CALL_OpenatFn(name) real_##name(dir, path, flags, mode)
OPEN(open, OpenFn, AT_FDCWD, const char* path)
OPEN(open64, OpenFn, AT_FDCWD, const char* path)
OPEN(openat, OpenatFn, dir, int dir, const char* path)
OPEN(openat64, OpenatFn, dir, int dir, const char* path)

#define OPEN2(name, Fn, dir, ...)                                                            \
    int name(__VA_ARGS__, int flags) {                                                       \
        REAL(name, Fn);                                                                      \
        return OpenFollowed(dir, path, flags, [&] { return CALL_##Fn(name); });              \
    }
#define CALL_Open2Fn(name) real_##name(path, flags)
#define CALL_Openat2Fn(name) real_##name(dir, path, flags)
OPEN2(__open_2, Open2Fn, AT_FDCWD, const char* path)
OPEN2(__open64_2, Open2Fn, AT_FDCWD, const char* path)
OPEN2(__openat_2, Openat2Fn, dir, int dir, const char* path)
OPEN2(__openat64_2, Openat2Fn, dir, int dir, const char* path)

int close(int fd) {
    using CloseFn = int (*)(int);
    REAL(close, CloseFn);
    std::lock_guard lock(g_mutex);
    g_fds.erase(fd);
    return real_close(fd);
}

// ---- writing ----------------------------------------------------------------------------

ssize_t write(int fd, const void* buf, size_t count) {
    REAL(write, WriteFn);
    return WriteFollowed(
        fd, -1, [&](ssize_t room) { return real_write(fd, buf, Capped(count, room)); },
        [&](std::size_t n) { return std::string(static_cast<const char*>(buf), n); });
}

#define PWRITE(name, off_type)                                                               \
    ssize_t name(int fd, const void* buf, size_t count, off_type at) {                       \
        using Fn = ssize_t (*)(int, const void*, size_t, off_type);                          \
        REAL(name, Fn);                                                                      \
        return WriteFollowed(                                                                \
            fd, at, [&](ssize_t room) { return real_##name(fd, buf, Capped(count, room), at); }, \
            [&](std::size_t n) { return std::string(static_cast<const char*>(buf), n); });   \
    }
PWRITE(pwrite, off_t)
PWRITE(pwrite64, off64_t)

ssize_t writev(int fd, const struct iovec* iov, int count) {
    using WritevFn = ssize_t (*)(int, const struct iovec*, int);
    REAL(writev, WritevFn);
    return WriteFollowed(
        fd, -1,
        [&](ssize_t room) {
            return Vectored(iov, count, room,
                            [&](const iovec* v, int c) { return real_writev(fd, v, c); });
        },
        [&](std::size_t n) { return Gather(iov, count, n); });
}

#define PWRITEV(name, off_type)                                                              \
    ssize_t name(int fd, const struct iovec* iov, int count, off_type at) {                  \
        using Fn = ssize_t (*)(int, const struct iovec*, int, off_type);                     \
        REAL(name, Fn);                                                                      \
        return WriteFollowed(                                                                \
            fd, at, [&](ssize_t room) {                                                      \
                return Vectored(iov, count, room, [&](const iovec* v, int c) {               \
                    return real_##name(fd, v, c, at);                                        \
                });                                                                          \
            },                                                                               \
            [&](std::size_t n) { return Gather(iov, count, n); });                           \
    }
PWRITEV(pwritev, off_t)
PWRITEV(pwritev64, off64_t)

#define PWRITEV2(name, off_type)                                                             \
    ssize_t name(int fd, const struct iovec* iov, int count, off_type at, int flags) {       \
        using Fn = ssize_t (*)(int, const struct iovec*, int, off_type, int);                \
        REAL(name, Fn);                                                                      \
        return WriteFollowed(                                                                \
            fd, (flags & RWF_APPEND) ? -1 : at,                                              \
            [&](ssize_t room) {                                                              \
                return Vectored(iov, count, room, [&](const iovec* v, int c) {               \
                    return real_##name(fd, v, c, at, flags);                                 \
                });                                                                          \
            },                                                                               \
            [&](std::size_t n) { return Gather(iov, count, n); });                           \
    }
PWRITEV2(pwritev2, off_t)
PWRITEV2(pwritev64v2, off64_t)

int ftruncate(int fd, off_t length) {
    using Fn = int (*)(int, off_t);
    REAL(ftruncate, Fn);
    return ResizeFollowed(fd, [&] { return real_ftruncate(fd, length); });
}

int ftruncate64(int fd, off64_t length) {
    using Fn = int (*)(int, off64_t);
    REAL(ftruncate64, Fn);
    return ResizeFollowed(fd, [&] { return real_ftruncate64(fd, length); });
}

int fallocate(int fd, int mode, off_t at, off_t length) {
    using Fn = int (*)(int, int, off_t, off_t);
    REAL(fallocate, Fn);
    return ResizeFollowed(fd, [&] { return real_fallocate(fd, mode, at, length); });
}

int fallocate64(int fd, int mode, off64_t at, off64_t length) {
    using Fn = int (*)(int, int, off64_t, off64_t);
    REAL(fallocate64, Fn);
    return ResizeFollowed(fd, [&] { return real_fallocate64(fd, mode, at, length); });
}

// ---- barriers ---------------------------------------------------------------------------

int fsync(int fd) {
    using Fn = int (*)(int);
    REAL(fsync, Fn);
    return SyncFollowed(fd, journal::Op::Fsync, [&] { return real_fsync(fd); });
}

int fdatasync(int fd) {
    using Fn = int (*)(int);
    REAL(fdatasync, Fn);
    return SyncFollowed(fd, journal::Op::Fdatasync, [&] { return real_fdatasync(fd); });
}

// ---- names ------------------------------------------------------------------------------

int linkat(int olddir, const char* oldpath, int newdir, const char* newpath, int flags) {
    using Fn = int (*)(int, const char*, int, const char*, int);
    REAL(linkat, Fn);
    return LinkFollowed(newdir, newpath,
                        [&] { return real_linkat(olddir, oldpath, newdir, newpath, flags); });
}

int link(const char* oldpath, const char* newpath) {
    using Fn = int (*)(const char*, const char*);
    REAL(link, Fn);
    return LinkFollowed(AT_FDCWD, newpath, [&] { return real_link(oldpath, newpath); });
}

int renameat2(int olddir, const char* oldpath, int newdir, const char* newpath,
              unsigned int flags) {
    using Fn = int (*)(int, const char*, int, const char*, unsigned int);
    REAL(renameat2, Fn);
    return RenameFollowed(olddir, oldpath, newdir, newpath, [&] {
        return real_renameat2(olddir, oldpath, newdir, newpath, flags);
    });
}

int renameat(int olddir, const char* oldpath, int newdir, const char* newpath) {
    using Fn = int (*)(int, const char*, int, const char*);
    REAL(renameat, Fn);
    return RenameFollowed(olddir, oldpath, newdir, newpath,
                          [&] { return real_renameat(olddir, oldpath, newdir, newpath); });
}

int rename(const char* oldpath, const char* newpath) {
    using Fn = int (*)(const char*, const char*);
    REAL(rename, Fn);
    return RenameFollowed(AT_FDCWD, oldpath, AT_FDCWD, newpath,
                          [&] { return real_rename(oldpath, newpath); });
}

int unlinkat(int dir, const char* path, int flags) {
    using Fn = int (*)(int, const char*, int);
    REAL(unlinkat, Fn);
    return UnlinkFollowed(dir, path, flags, [&] { return real_unlinkat(dir, path, flags); });
}

int unlink(const char* path) {
    using Fn = int (*)(const char*);
    REAL(unlink, Fn);
    return UnlinkFollowed(AT_FDCWD, path, 0, [&] { return real_unlink(path); });
}

}  // extern "C"
