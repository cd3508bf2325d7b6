#include "sim/larkspur/fault.h"

#include "sim/kernel_objects.h"
#include "sim/larkspur/targets.h"

#include <cstdlib>
#include <cstring>

namespace sim::larkspur {

bool ParseFault(const char* text, Fault* fault) {
    if (!text || !fault)
        return false;
    static const struct {
        const char* name;
        FaultKind kind;
    } kinds[] = {{"unplug", FaultKind::Unplug},
                 {"stall", FaultKind::Stall},
                 {"refuse", FaultKind::Refuse},
                 {"hang", FaultKind::Hang},
                 {"fail", FaultKind::Fail}};
    const char* at = std::strchr(text, '@');
    if (!at || at[1] < '0' || at[1] > '9')
        return false;
    char* end = nullptr;
    const unsigned long delay = std::strtoul(at + 1, &end, 10);
    if (*end != '\0' || delay > 86400000ul)
        return false;
    for (const auto& entry : kinds) {
        if (std::strlen(entry.name) == static_cast<size_t>(at - text) &&
            std::strncmp(text, entry.name, at - text) == 0) {
            *fault = {entry.kind, static_cast<unsigned>(delay)};
            return true;
        }
    }
    return false;
}

void HungRequests::Hold(OVERLAPPED* overlapped) {
    std::lock_guard lock(m_mutex);
    m_held.push_back(overlapped);
}

void HungRequests::CancelAll() {
    std::vector<OVERLAPPED*> held;
    {
        std::lock_guard lock(m_mutex);
        held.swap(m_held);
    }
    for (OVERLAPPED* overlapped : held)
        sim::CompleteOverlapped(overlapped, kErrorOperationAborted, 0);
}

FaultKind PinFault::Active(const Fault& fault, std::chrono::steady_clock::time_point now) const {
    std::chrono::steady_clock::time_point at;
    return Deadline(fault, &at) && now >= at ? fault.kind : FaultKind::None;
}

bool PinFault::Deadline(const Fault& fault, std::chrono::steady_clock::time_point* at) const {
    if (fault.kind == FaultKind::None || !m_runSince)
        return false;
    *at = *m_runSince + std::chrono::milliseconds(fault.delayMs);
    return true;
}

DWORD GateRequest(bool unplugged, bool hung, OVERLAPPED* overlapped, HungRequests& held) {
    if (unplugged)
        return kErrorDeviceNotConnected;
    if (!hung)
        return ERROR_SUCCESS;
    // A synchronous request would block its caller for good; it times out instead.
    if (!overlapped)
        return kErrorSemTimeout;
    held.Hold(overlapped);
    return ERROR_IO_PENDING;
}

} // namespace sim::larkspur
