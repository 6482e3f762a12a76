// The threads that talk to devices, counted, so that the program can wait for them to end.
#include "device/DeviceThreads.h"

#include <condition_variable>
#include <mutex>

namespace device {

namespace {

struct Count {
    std::mutex mutex;
    std::condition_variable changed;
    int running = 0;
};

// Never destroyed: a thread that outlives the program's end still finds it.
Count& Threads() {
    static Count* const count = new Count;
    return *count;
}

}  // namespace

DeviceThreadToken::DeviceThreadToken() {
    std::lock_guard lock(Threads().mutex);
    ++Threads().running;
}

DeviceThreadToken::DeviceThreadToken(DeviceThreadToken&& other) noexcept
    : held_(other.held_) {
    other.held_ = false;
}

DeviceThreadToken::~DeviceThreadToken() { release(); }

void DeviceThreadToken::release() {
    if (!held_)
        return;
    held_ = false;
    Count& threads = Threads();
    std::lock_guard lock(threads.mutex);
    --threads.running;
    threads.changed.notify_all();
}

int DeviceThreadsRunning() {
    std::lock_guard lock(Threads().mutex);
    return Threads().running;
}

bool WaitForDeviceThreads(std::chrono::milliseconds bound) {
    Count& threads = Threads();
    std::unique_lock lock(threads.mutex);
    return threads.changed.wait_for(lock, bound, [&] { return threads.running == 0; });
}

}  // namespace device
