#include "sim/wait_lock.h"

namespace sim {

// Never destroyed: simulated threads may still signal while the process exits.
std::mutex& WaitMutex() {
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}

std::condition_variable& WaitCondition() {
    static std::condition_variable* condition = new std::condition_variable;
    return *condition;
}

} // namespace sim
