// A thread that talks to one device for a caller that must not wait on a driver that hangs.
#include "device/DeviceWorker.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

#include "av/CaptureLog.h"
#include "device/DeviceThreads.h"

namespace device {

// What the worker shares with its handle; either may end first.
struct DeviceWorker::State {
    struct Job {
        std::function<void(int)> run;
        std::uint32_t key = 0;
    };
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Job> jobs;
    bool stop = false;   // no more jobs come: end once the queue is done
    bool ended = false;  // the worker has closed the device and does no more

    void work(const std::string& path) {
        const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        for (;;) {
            Job job;
            {
                std::unique_lock lock(mutex);
                changed.wait(lock, [this] { return stop || !jobs.empty(); });
                if (jobs.empty())
                    break;
                job = std::move(jobs.front());
                jobs.pop_front();
            }
            job.run(fd);
        }
        if (fd >= 0)
            ::close(fd);
        std::lock_guard lock(mutex);
        ended = true;
        changed.notify_all();
    }
};

DeviceWorker::DeviceWorker(std::string path, std::chrono::milliseconds stopBound)
    : path_(std::move(path)), stopBound_(stopBound), state_(std::make_shared<State>()) {
    thread_ = std::thread(
        [state = state_, path = path_, token = DeviceThreadToken()]() mutable {
            state->work(path);
            state.reset();
            token.release();
        });
}

DeviceWorker::~DeviceWorker() {
    bool ended;
    {
        std::unique_lock lock(state_->mutex);
        state_->stop = true;
        state_->changed.notify_all();
        ended = state_->changed.wait_for(lock, stopBound_, [this] { return state_->ended; });
    }
    if (ended) {
        thread_.join();
        return;
    }
    qCWarning(lcCapture).noquote() << "the device" << QString::fromStdString(path_)
                                   << "is still busy in its driver; it is closed when the "
                                      "driver returns";
    thread_.detach();
}

void DeviceWorker::post(std::function<void(int fd)> job, std::uint32_t key) {
    std::lock_guard lock(state_->mutex);
    if (key != 0)
        std::erase_if(state_->jobs, [key](const State::Job& queued) { return queued.key == key; });
    state_->jobs.push_back({std::move(job), key});
    state_->changed.notify_all();
}

}  // namespace device
