// Threads, time and the multimedia scheduler of the simulated Windows, with what tests need to control
// and observe them.
#pragma once

#include "platform/platform.h"

#include <string>

namespace sim {

// timeGetTime returns `milliseconds` from now on (until cleared); otherwise the time since start.
void SetTimeOverride(DWORD milliseconds);
void ClearTimeOverride();

// Scheduler tasks joined and reverted so far, and the name of the last task asked for.
int MmcssJoins();
int MmcssReverts();
std::string LastMmcssTask();

// Raises the calling thread to a real-time scheduling policy at `priority` (1..99) where the system
// permits; false when it does not. RestoreScheduling puts back what the thread had before.
bool RaiseToRealTime(int priority);
void RestoreScheduling();
// Whether joining the "Pro Audio" scheduler task raises the thread to real time (default: yes).
void SetProAudioRealTime(bool enabled);
// The real-time priority of a thread in the "Pro Audio" task.
constexpr int kProAudioPriority = 10;

// Threads created with CreateThread that have not returned yet.
int RunningThreads();

// True while the calling thread runs inside a simulated system call; the allocation counting of the
// tests leaves out what the simulated system allocates for itself.
bool InSimulatedKernel();

class KernelScope {
public:
    KernelScope();
    ~KernelScope();
    KernelScope(const KernelScope&) = delete;
    KernelScope& operator=(const KernelScope&) = delete;
};

} // namespace sim
