// Runs a piece of a test in a forked child, so that what it changes about its process (a
// resource limit, its user) stays there; the child's exit status is the result.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <functional>

// The exit status of body() run in a forked child, 200 + n when signal n ended the child,
// or -1 when no child could be made. With alarmSeconds, a child still running then is
// ended by SIGALRM (200 + SIGALRM) instead of hanging the test.
inline int ExitOfChild(const std::function<int()>& body, unsigned alarmSeconds = 0) {
    const pid_t pid = ::fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        if (alarmSeconds > 0)
            ::alarm(alarmSeconds);
        ::_exit(body());
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 200 + WTERMSIG(status);
}
