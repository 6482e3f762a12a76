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

std::string ParentDirectory(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash + 1);
}

void SyncParentDirectory(const std::string& path) {
    // The new name itself must survive a power cut, not only the file's contents.
    const int fd = ::open(ParentDirectory(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        SyncFile(fd);
        ::close(fd);
    }
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

DurableFile DurableFile::Create(const std::string& path) {
    DurableFile file;
    file.path_ = path;
    if (path.empty()) {
        errno = ENOENT;
        return file;
    }
    file.fd_ = ::open(ParentDirectory(path).c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0644);
    file.unnamed_ = file.fd_ >= 0;
    if (file.unnamed_)
        return file;
    file.fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (file.fd_ >= 0)
        SyncParentDirectory(path);
    return file;
}

DurableFile::~DurableFile() {
    if (fd_ >= 0)
        ::close(fd_);
}

DurableFile::DurableFile(DurableFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)),
      unnamed_(other.unnamed_) {}

DurableFile& DurableFile::operator=(DurableFile&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        path_ = std::move(other.path_);
        unnamed_ = other.unnamed_;
    }
    return *this;
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
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path_.c_str(), AT_SYMLINK_FOLLOW) != 0 &&
        (errno == EEXIST || ::linkat(fd_, "", AT_FDCWD, path_.c_str(), AT_EMPTY_PATH) != 0))
        return false;
    unnamed_ = false;
    SyncParentDirectory(path_);
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
    if (::fstat(fd_, &own) != 0 || ::lstat(path_.c_str(), &named) != 0 ||
        own.st_dev != named.st_dev || own.st_ino != named.st_ino)
        return false;
    if (::unlink(path_.c_str()) != 0)
        return false;
    SyncParentDirectory(path_);
    return true;
}

}  // namespace avi
