// Lowers the process's soft file-size limit while an object lives (tests of full files).
#pragma once

#include <sys/resource.h>

// The soft limit only, so that it can be raised again. SIGXFSZ is ignored by the test main,
// as by the capture window itself, so a write past the limit fails instead of killing.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        ok_ = ::getrlimit(RLIMIT_FSIZE, &saved_) == 0;
        rlimit lower = saved_;
        lower.rlim_cur = bytes;
        ok_ = ok_ && ::setrlimit(RLIMIT_FSIZE, &lower) == 0;
    }
    ~FileSizeLimit() {
        if (ok_)
            ::setrlimit(RLIMIT_FSIZE, &saved_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
    bool ok() const { return ok_; }

private:
    rlimit saved_{};
    bool ok_ = false;
};
