// The checks of lkstreamcheck and how they are reported: "ok:" or "FAIL:", and a final result line.
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <string>

namespace lkcheck {

void Step(const char* name);
bool Check(const std::string& name, bool passed, const std::string& problem = "");
int Failures();
// Prints the totals and the result line; returns the exit status.
int Finish();
// Ends the run with a failure when it takes longer than `ms` (a hung driver must not hang CI).
void StartWatchdog(DWORD ms);
// Runs `work` on a thread of its own; false when it did not return within `ms` (it is left running).
bool RunBounded(DWORD ms, void (*work)(void*), void* context);

std::wstring Widen(const char* text);
std::string Narrow(const std::wstring& text);

// The GUIDs the driver sends, as the SDK headers define them, are in the DLL's bytes; the wrong value
// of mingw-w64's import library (the topology-node set in place of the topology set) is not.
void CheckDllGuids(const std::wstring& dll);
bool Register(const std::wstring& dll);
bool FindDriverClass(CLSID* clsid);

void RunStreams(const CLSID& clsid);
// Feeds the model's request checks wrong requests of each kind (after the driver's run: these
// refusals are not the driver's).
void CheckTheChecks();
void RunFailurePaths(const CLSID& clsid);
// Streams at the size the user set in the registry; `frames` is that size, in PCM frames.
void RunUserBufferSize(const CLSID& clsid, int32_t frames);

} // namespace lkcheck
