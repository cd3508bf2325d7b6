#include "tests/support/stepped_device.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace testing_support {

bool WaitUntil(const std::function<bool()>& condition, unsigned timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void StopCompletingWrites(IASIO* driver, sim::larkspur::Device& device) {
    std::atomic<bool> done{false};
    std::thread stopper([&] {
        driver->stop();
        done = true;
    });
    while (!done.load()) {
        device.CompleteWrites(1);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    stopper.join();
}

} // namespace testing_support
