// The threads that talk to devices, counted, so that the program can wait for them to end.
#pragma once

#include <chrono>

namespace device {

// Held by every thread that talks to a device (the readers, the device workers) for as long
// as it runs, from before it starts to its very last step. A thread let go while its driver
// hangs goes on running after its owner is gone: it still closes FFmpeg contexts and logs
// when the driver returns, so the program must not tear down what those need under it.
class DeviceThreadToken {
public:
    DeviceThreadToken();
    ~DeviceThreadToken();
    DeviceThreadToken(DeviceThreadToken&& other) noexcept;
    DeviceThreadToken& operator=(DeviceThreadToken&&) = delete;
    DeviceThreadToken(const DeviceThreadToken&) = delete;
    DeviceThreadToken& operator=(const DeviceThreadToken&) = delete;
    // The thread's last step: it counts no more.
    void release();

private:
    bool held_ = true;
};

// Device threads running now.
int DeviceThreadsRunning();
// Waits at most bound for every device thread to end: true when none runs any more.
bool WaitForDeviceThreads(std::chrono::milliseconds bound);

}  // namespace device
