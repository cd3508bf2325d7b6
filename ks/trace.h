// Diagnostic trace of the Kernel Streaming layer. Messages carry a level (1 errors, 3 unreadable pin
// properties, 4 and 5 notable events, 6 entry and exit) and reach the debug output only when the
// process-wide level is at least theirs. The level is 0 in normal operation.
#pragma once

#include "platform/platform.h"

#include <atomic>
#include <cstdarg>

enum : int {
    TRACE_ERROR = 1,
    TRACE_PIN_PROPERTY = 3,
    TRACE_NOTICE = 4,
    TRACE_EVENT = 5,
    TRACE_ENTRY_EXIT = 6,
};

// Longest message, terminator included, in wide characters.
constexpr size_t kTraceMessageChars = 260;

// Read by every thread that traces, the render thread included.
extern std::atomic<int> g_traceLevel;

void SetTraceLevel(int level);
int GetTraceLevel();

// printf-like: %d %i %u %x %X %c %p %s (narrow text) and %ls (wide text), with flags, width, precision
// and the h/l/ll/z length modifiers. Formats the same way on every C library.
void KsTrace(int level, const char* format, ...);

// Formats into out (at most kTraceMessageChars wide characters with the terminator); returns the length.
size_t FormatTraceMessage(WCHAR* out, const char* format, va_list args);
