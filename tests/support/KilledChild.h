// A child process killed with SIGKILL part-way through writing, so that no destructor,
// trailer or exit handler of it runs: a crash or a power cut as the files see it.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

struct KilledChild {
    int reported = 0;          // frames the child said were in the file before it was killed
    bool killed = false;       // false when the child ended on its own first
};

// Forks; the child runs work(report) and calls report() for every frame that reached the
// file. The parent waits for `frames` reports (giving up once none comes for timeoutMs),
// sleeps pauseUs more so that the kill lands inside the next frame, then kills the child.
// A child that should wait to be killed ends its work with ::pause().
inline KilledChild KillAfterReports(int frames, int timeoutMs,
                                    const std::function<void(const std::function<void()>&)>& work,
                                    useconds_t pauseUs = 0) {
    KilledChild result;
    int report[2];
    if (::pipe(report) != 0)
        return result;
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(report[0]);
        ::close(report[1]);
        return result;
    }
    if (pid == 0) {
        ::close(report[0]);
        work([&] { (void)!::write(report[1], "1", 1); });
        ::_exit(3);
    }
    ::close(report[1]);
    pollfd p{report[0], POLLIN, 0};
    char c;
    while (result.reported < frames && ::poll(&p, 1, timeoutMs) > 0 &&
           ::read(report[0], &c, 1) == 1)
        ++result.reported;
    if (pauseUs > 0)
        ::usleep(pauseUs);
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(report[0]);
    result.killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    return result;
}
