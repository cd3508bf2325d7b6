// The captured debug output channel (OutputDebugStringW), so tests can read the trace.
#pragma once

#include <string>
#include <vector>

namespace sim {

// Every message written since the last clear, in order, as UTF-8.
std::vector<std::string> DebugOutput();
void ClearDebugOutput();

// Also copy every message to standard error (off by default; LKSIM_TRACE_STDERR=1 turns it on).
void EchoDebugOutput(bool on);

} // namespace sim
