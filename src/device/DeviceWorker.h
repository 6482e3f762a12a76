// A thread that talks to one device for a caller that must not wait on a driver that hangs.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>

namespace device {

// Talks to one device node on a thread of its own, so that a driver that hangs in open or
// in an ioctl holds that thread and not its caller (the window's thread). The node is
// opened once, on the worker, and stays open while the worker lives: a dialog that sets a
// control at every step of a slider opens the device once. Callers wait for answers with a
// bound of their own (std::future::wait_for); an answer that comes too late is dropped.
class DeviceWorker {
public:
    // Starts the worker, which opens path. Its end waits at most stopBound for the worker to
    // finish what was posted and close the device, and otherwise leaves it to do so alone
    // when its driver returns.
    DeviceWorker(std::string path, std::chrono::milliseconds stopBound);
    ~DeviceWorker();
    DeviceWorker(const DeviceWorker&) = delete;
    DeviceWorker& operator=(const DeviceWorker&) = delete;

    // Runs job on the worker with the device's descriptor (-1 when the node could not be
    // opened), after the jobs posted before it. A job posted with a key drops one of the
    // same key that has not started yet: of a slider's steps only the newest counts.
    void post(std::function<void(int fd)> job, std::uint32_t key = 0);

    // The answer of query(fd), run on the worker.
    template <class Query>
    auto ask(Query query) -> std::future<decltype(query(0))> {
        using Answer = decltype(query(0));
        auto promise = std::make_shared<std::promise<Answer>>();
        std::future<Answer> answer = promise->get_future();
        post([promise, query = std::move(query)](int fd) { promise->set_value(query(fd)); });
        return answer;
    }

    const std::string& path() const { return path_; }

private:
    struct State;
    const std::string path_;
    const std::chrono::milliseconds stopBound_;
    std::shared_ptr<State> state_;
    std::thread thread_;
};

// Whether a future's answer came within bound.
template <class T>
bool AnsweredWithin(const std::future<T>& answer, std::chrono::milliseconds bound) {
    return answer.wait_for(bound) == std::future_status::ready;
}

}  // namespace device
