#include "sim/wait_lock.h"

namespace sim {

std::mutex& WaitMutex() {
    static std::mutex mutex;
    return mutex;
}

std::condition_variable& WaitCondition() {
    static std::condition_variable condition;
    return condition;
}

} // namespace sim
