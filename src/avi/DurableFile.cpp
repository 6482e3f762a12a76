// A new file whose bytes and name reach the disk in an order a crash cannot tear.
#include "avi/DurableFile.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "av/CaptureLog.h"

namespace avi {

namespace {

constexpr int kDirectoryFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;

// The directory a path names, held by a descriptor: opened at once where the path is short
// enough, else one component after the other, so that no depth is too deep. -1 with errno
// set when it cannot be opened.
int OpenDirectory(const std::string& path) {
    const int fd = ::open(path.c_str(), kDirectoryFlags);
    if (fd >= 0 || errno != ENAMETOOLONG)
        return fd;
    int at = ::open(path[0] == '/' ? "/" : ".", kDirectoryFlags);
    for (std::size_t begin = 0; at >= 0 && begin < path.size();) {
        const std::size_t end = std::min(path.find('/', begin), path.size());
        if (end > begin) {
            const int next = ::openat(at, path.substr(begin, end - begin).c_str(), kDirectoryFlags);
            const int error = errno;
            ::close(at);
            at = next;
            errno = error;
        }
        begin = end + 1;
    }
    return at;
}

}  // namespace

bool SyncFile(int fd, int (*syncFile)(int)) {
    if ((syncFile != nullptr ? syncFile(fd) : ::fsync(fd)) == 0)
        return true;
    if (errno != EINVAL)
        return false;
    static std::atomic<bool> told{false};
    if (!told.exchange(true))
        qCWarning(lcCapture) << "the file system cannot sync files (fsync: EINVAL); frames are "
                                "written but not made durable";
    return true;
}

bool SyncData(int fd, int (*syncFile)(int)) {
    return SyncFile(fd, syncFile != nullptr ? syncFile : &::fdatasync);
}

DurableFile DurableFile::Create(const std::string& path) {
    DurableFile file;
    file.path_ = path;
    const auto slash = path.rfind('/');
    file.leaf_ = slash == std::string::npos ? path : path.substr(slash + 1);
    if (file.leaf_.empty()) {
        errno = ENOENT;
        return file;
    }
    // Every step from here on is taken relative to the directory's descriptor: a path of
    // any length will do, and a directory renamed meanwhile is still the one written to.
    file.directory_ = slash == std::string::npos ? ::open(".", kDirectoryFlags)
                      : slash == 0              ? ::open("/", kDirectoryFlags)
                                                : OpenDirectory(path.substr(0, slash));
    if (file.directory_ < 0)
        return file;
    file.fd_ = ::openat(file.directory_, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0644);
    file.unnamed_ = file.fd_ >= 0;
    if (file.unnamed_)
        return file;
    file.fd_ = ::openat(file.directory_, file.leaf_.c_str(),
                        O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (file.fd_ >= 0)
        file.syncDirectory();
    return file;
}

DurableFile::~DurableFile() { close(); }

void DurableFile::close() {
    if (fd_ >= 0)
        ::close(fd_);
    if (directory_ >= 0)
        ::close(directory_);
    fd_ = directory_ = -1;
}

DurableFile::DurableFile(DurableFile&& other) noexcept { *this = std::move(other); }

DurableFile& DurableFile::operator=(DurableFile&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
        directory_ = std::exchange(other.directory_, -1);
        path_ = std::move(other.path_);
        leaf_ = std::move(other.leaf_);
        unnamed_ = other.unnamed_;
    }
    return *this;
}

void DurableFile::syncDirectory() const {
    // The new name itself must survive a power cut, not only the file's contents. A
    // directory the program may search but not read cannot be synced; its names are then
    // as durable as the file system makes them.
    const int fd = ::openat(directory_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        SyncFile(fd);
        ::close(fd);
    }
}

bool DurableFile::writeAll(const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd_, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0) {
            errno = EIO;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool DurableFile::sync(int (*syncFile)(int)) { return SyncFile(fd_, syncFile); }

bool DurableFile::name() {
    if (!unnamed_)
        return true;
    // linkat never replaces an existing name: a file that appeared meanwhile wins (EEXIST).
    const std::string self = "/proc/self/fd/" + std::to_string(fd_);
    if (::linkat(AT_FDCWD, self.c_str(), directory_, leaf_.c_str(), AT_SYMLINK_FOLLOW) != 0 &&
        (errno == EEXIST || ::linkat(fd_, "", directory_, leaf_.c_str(), AT_EMPTY_PATH) != 0))
        return false;
    unnamed_ = false;
    syncDirectory();
    return true;
}

std::int64_t DurableFile::size() const {
    struct stat st {};
    return fd_ >= 0 && ::fstat(fd_, &st) == 0 ? static_cast<std::int64_t>(st.st_size) : -1;
}

bool DurableFile::linked() const {
    struct stat st {};
    return fd_ >= 0 && ::fstat(fd_, &st) == 0 && st.st_nlink > 0;
}

bool DurableFile::removeName() {
    if (fd_ < 0 || unnamed_)
        return false;
    // Only the file made here goes: the name must still lead to its inode.
    struct stat own {};
    struct stat named {};
    if (::fstat(fd_, &own) != 0 ||
        ::fstatat(directory_, leaf_.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        own.st_dev != named.st_dev || own.st_ino != named.st_ino)
        return false;
    if (::unlinkat(directory_, leaf_.c_str(), 0) != 0)
        return false;
    syncDirectory();
    return true;
}

}  // namespace avi
