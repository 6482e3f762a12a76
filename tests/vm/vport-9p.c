// Mounts a 9P share that the host serves on a virtio-serial port, in a run-in-vm guest:
//   vport-9p DEVICE TARGET ro|rw OPTIONS
// The port is the only transport of this kernel that comes back from a suspend to RAM
// (virtio-9p's queue is not restored after the device is reset on wake-up), but the kernel
// cannot write to the port itself, so this program mounts 9p's fd transport on one end of a
// socket pair and, in the background, copies between the other end and the port for as long
// as the guest runs. It is built static for the initramfs.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

enum { kChunk = 1 << 20 };

// Writes all of buf, waiting while the other side is full.
static int WriteAll(int fd, const char* buf, size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, buf, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            struct pollfd p = {fd, POLLOUT, 0};
            poll(&p, 1, -1);
            continue;
        }
        if (n <= 0)
            return -1;
        buf += n;
        size -= (size_t)n;
    }
    return 0;
}

// Copies both ways until either side fails; the port may report a closed host for a moment
// around a suspend, which is waited out.
static void Relay(int port, int sock) {
    static char buf[kChunk];
    struct pollfd fds[2] = {{port, POLLIN, 0}, {sock, POLLIN, 0}};
    for (;;) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        for (int i = 0; i < 2; ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            const int from = fds[i].fd, to = fds[1 - i].fd;
            ssize_t n = read(from, buf, sizeof buf);
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (n == 0 && from == port) {
                usleep(10000);  // host side not connected right now
                continue;
            }
            if (n <= 0 || WriteAll(to, buf, (size_t)n) != 0)
                return;
        }
    }
}

int main(int argc, char** argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: %s DEVICE TARGET ro|rw OPTIONS\n", argv[0]);
        return 2;
    }
    const int port = open(argv[1], O_RDWR | O_CLOEXEC);
    int pair[2];
    if (port < 0 || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        fprintf(stderr, "vport-9p: %s: %s\n", argv[1], strerror(errno));
        return 1;
    }
    const pid_t relay = fork();
    if (relay < 0)
        return 1;
    if (relay == 0) {
        close(pair[0]);
        setsid();
        signal(SIGHUP, SIG_IGN);
        signal(SIGTERM, SIG_IGN);
        // Paging the relay in through the share it carries could never finish.
        mlockall(MCL_CURRENT | MCL_FUTURE);
        Relay(port, pair[1]);
        fprintf(stderr, "vport-9p: the relay for %s ended\n", argv[2]);
        return 1;
    }
    close(pair[1]);
    close(port);
    char options[4096];
    snprintf(options, sizeof options, "trans=fd,rfdno=%d,wfdno=%d,%s", pair[0], pair[0], argv[4]);
    const unsigned long flags = strcmp(argv[3], "ro") == 0 ? MS_RDONLY : 0;
    if (mount("9p", argv[2], "9p", flags, options) != 0) {
        fprintf(stderr, "vport-9p: mount %s: %s\n", argv[2], strerror(errno));
        kill(relay, SIGKILL);
        return 1;
    }
    return 0;
}
