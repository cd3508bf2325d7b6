// The one lock and condition under which waitable objects change state and waiters look at them.
#pragma once

#include <condition_variable>
#include <mutex>

namespace sim {

std::mutex& WaitMutex();
std::condition_variable& WaitCondition();

} // namespace sim
