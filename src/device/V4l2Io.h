// The V4L2 calls the device queries share: an open node, ioctl across signals, and text.
#pragma once

#include <cerrno>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace device::v4l2io {

// An open device node, closed on scope exit.
class DeviceFd {
public:
    explicit DeviceFd(const std::string& path)
        : fd_(::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)) {}
    ~DeviceFd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    DeviceFd(const DeviceFd&) = delete;
    DeviceFd& operator=(const DeviceFd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

inline int Ioctl(int fd, unsigned long request, void* arg) {
    int rc;
    do {
        rc = ::ioctl(fd, request, arg);
    } while (rc < 0 && errno == EINTR);
    return rc;
}

inline std::string Text(const __u8* bytes, std::size_t size) {
    const auto* text = reinterpret_cast<const char*>(bytes);
    return std::string(text, strnlen(text, size));
}

}  // namespace device::v4l2io
