// The device clock's thread under Windows: the simulation's Linux scheduling call, answered with the
// system's own thread priority.
#include "sim/threads.h"

namespace sim {

bool RaiseToRealTime(int) {
    return ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL) != 0;
}

} // namespace sim
