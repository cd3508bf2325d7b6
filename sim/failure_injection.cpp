#include "sim/failure_injection.h"

#include <mutex>

namespace sim {
namespace {

struct Pending {
    unsigned skip = 0;
    unsigned count = 0;
    DWORD error = 0;
};

std::mutex g_mutex;
Pending g_pending[static_cast<size_t>(Call::Count)];

} // namespace

void FailNext(Call call, DWORD error, unsigned count, unsigned skip) {
    std::lock_guard lock(g_mutex);
    g_pending[static_cast<size_t>(call)] = Pending{skip, count, error};
}

bool TakeFailure(Call call, DWORD* error) {
    std::lock_guard lock(g_mutex);
    Pending& p = g_pending[static_cast<size_t>(call)];
    if (p.count == 0)
        return false;
    if (p.skip > 0) {
        --p.skip;
        return false;
    }
    --p.count;
    if (error)
        *error = p.error;
    return true;
}

bool FailurePlanned(Call call) {
    std::lock_guard lock(g_mutex);
    return g_pending[static_cast<size_t>(call)].count > 0;
}

void ClearFailures() {
    std::lock_guard lock(g_mutex);
    for (Pending& p : g_pending)
        p = Pending{};
}

} // namespace sim
