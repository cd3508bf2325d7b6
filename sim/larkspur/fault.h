// Faults the simulated Larkspur can play, so hosts and tests meet a device that goes wrong mid-stream.
// A fault strikes a pin a given time after the pin starts running:
//   unplug - the device is gone: writes in flight and every later request fail, new pins too;
//   stall  - the pin takes writes but completes none;
//   refuse - the pin refuses every new write at once;
//   hang   - the device answers nothing any more, property requests included: every request pends
//            until its handle is closed;
//   fail   - writes complete with an error status.
// Unplug and hang then hold for the whole device. An unplug may come back ("replug") a given time after
// the same start: the device is then present again and a new pin streams; the lost pin stays dead. The
// default device reads LKSIM_FAULT=kind@MS or unplug@MS,replug@MS2.
#pragma once

#include "platform/platform.h"

#include <chrono>
#include <mutex>
#include <optional>
#include <vector>

namespace sim::larkspur {

enum class FaultKind { None, Unplug, Stall, Refuse, Hang, Fail };

struct Fault {
    FaultKind kind = FaultKind::None;
    unsigned delayMs = 0;
    // For an unplug: when the device comes back, counted like delayMs; 0 for never.
    unsigned replugDelayMs = 0;
};

// "unplug@250", "unplug@250,replug@900" (replug later than the unplug) and the like; false, with
// `fault` untouched, for anything else.
bool ParseFault(const char* text, Fault* fault);

// What requests get from a device that is gone, from a hung device asked synchronously, and what
// refused or failed writes get.
constexpr DWORD kErrorDeviceNotConnected = 1167;
constexpr DWORD kErrorSemTimeout = 121;
constexpr DWORD kErrorGenFailure = 31;

// Overlapped requests a hung device holds; completed as cancelled when the handle closes.
class HungRequests {
public:
    void Hold(OVERLAPPED* overlapped);
    void CancelAll();

private:
    std::mutex m_mutex;
    std::vector<OVERLAPPED*> m_held;
};

// The fault clock of one pin: when it started running, and what has struck since.
class PinFault {
public:
    void Started(std::chrono::steady_clock::time_point at) { m_runSince = at; }
    void Stopped() { m_runSince.reset(); }
    // The fault in force now for a pin with this configuration, or None.
    FaultKind Active(const Fault& fault, std::chrono::steady_clock::time_point now) const;
    // When the configured fault will strike, if the pin runs.
    bool Deadline(const Fault& fault, std::chrono::steady_clock::time_point* at) const;

private:
    std::optional<std::chrono::steady_clock::time_point> m_runSince;
};

// The answer of a gone or hung device to any request: ERROR_SUCCESS lets the request through.
DWORD GateRequest(bool unplugged, bool hung, OVERLAPPED* overlapped, HungRequests& held);

} // namespace sim::larkspur
