#include "sim/larkspur/fault.h"

#include "sim/kernel_objects.h"
#include "sim/larkspur/targets.h"

#include <algorithm>
#include <cstring>

namespace sim::larkspur {

namespace {

// "name@MS" exactly, from `text` up to `end`; false for anything else.
bool ParseTimed(const char* text, const char* end, const char** name, size_t* nameLength, unsigned* ms) {
    const char* at = std::find(text, end, '@');
    if (at == end || at + 1 == end || at[1] < '0' || at[1] > '9')
        return false;
    unsigned long value = 0;
    for (const char* c = at + 1; c != end; ++c) {
        if (*c < '0' || *c > '9')
            return false;
        value = value * 10 + static_cast<unsigned long>(*c - '0');
        if (value > 86400000ul)
            return false;
    }
    *name = text;
    *nameLength = static_cast<size_t>(at - text);
    *ms = static_cast<unsigned>(value);
    return true;
}

bool Named(const char* name, size_t length, const char* wanted) {
    return std::strlen(wanted) == length && std::strncmp(name, wanted, length) == 0;
}

} // namespace

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
    const char* end = text + std::strlen(text);
    const char* comma = std::find(text, end, ',');
    const char* name = nullptr;
    size_t length = 0;
    Fault parsed;
    if (!ParseTimed(text, comma, &name, &length, &parsed.delayMs))
        return false;
    for (const auto& entry : kinds)
        if (Named(name, length, entry.name))
            parsed.kind = entry.kind;
    if (parsed.kind == FaultKind::None)
        return false;
    if (comma != end) {
        // Only an unplug comes back, and only after it struck.
        if (parsed.kind != FaultKind::Unplug ||
            !ParseTimed(comma + 1, end, &name, &length, &parsed.replugDelayMs) ||
            !Named(name, length, "replug") || parsed.replugDelayMs <= parsed.delayMs)
            return false;
    }
    *fault = parsed;
    return true;
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
