// Driving a simulated Larkspur with a stepped clock from a test: polling with a limit, and a stop whose
// drain the test completes write by write.
#pragma once

#include "platform/asio.h"
#include "sim/larkspur/device.h"

#include <functional>

namespace testing_support {

// Polls `condition` every millisecond; false after `timeoutMs`.
bool WaitUntil(const std::function<bool()>& condition, unsigned timeoutMs = 5000);

// Calls stop() on another thread while completing the device's writes, so the drain can run its course.
void StopCompletingWrites(IASIO* driver, sim::larkspur::Device& device);

} // namespace testing_support
