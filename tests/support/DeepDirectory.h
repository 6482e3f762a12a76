// Directories deeper than PATH_MAX for tests, made and removed through descriptors.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

// Makes directories below base until the path is length bytes long (as far as it can) and
// returns it. Every level is made from the one above, so any length will do.
inline std::string MakeDeepDirectory(const std::string& base, std::size_t length) {
    std::string path = base;
    int at = ::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    while (at >= 0 && path.size() + 1 < length) {
        const std::string part(std::min<std::size_t>(200, length - path.size() - 1), 'd');
        const int next = ::mkdirat(at, part.c_str(), 0755) == 0
                             ? ::openat(at, part.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                             : -1;
        ::close(at);
        at = next;
        if (at >= 0)
            path += "/" + part;
    }
    if (at >= 0)
        ::close(at);
    return path;
}

// Removes everything below the directory fd, however deep, going by descriptors.
inline void RemoveBelow(int fd) {
    DIR* listing = ::fdopendir(::dup(fd));
    if (listing == nullptr)
        return;
    std::vector<std::pair<std::string, bool>> entries;
    while (const dirent* entry = ::readdir(listing)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            entries.emplace_back(name, entry->d_type == DT_DIR);
    }
    ::closedir(listing);
    for (const auto& [name, isDirectory] : entries) {
        if (isDirectory) {
            const int below = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
            if (below >= 0) {
                RemoveBelow(below);
                ::close(below);
            }
        }
        ::unlinkat(fd, name.c_str(), isDirectory ? AT_REMOVEDIR : 0);
    }
}

// Empties a directory when it goes out of scope, whatever lies below it.
class EmptiedOnExit {
public:
    explicit EmptiedOnExit(const std::string& path)
        : fd_(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}
    ~EmptiedOnExit() {
        if (fd_ >= 0) {
            RemoveBelow(fd_);
            ::close(fd_);
        }
    }
    EmptiedOnExit(const EmptiedOnExit&) = delete;
    EmptiedOnExit& operator=(const EmptiedOnExit&) = delete;

private:
    int fd_;
};
