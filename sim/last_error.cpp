// Per-thread last error, as on Windows.
#include "platform/platform.h"

namespace {
thread_local DWORD t_lastError = 0;
}

DWORD WINAPI GetLastError() {
    return t_lastError;
}

void WINAPI SetLastError(DWORD error) {
    t_lastError = error;
}
