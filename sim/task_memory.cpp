#include "sim/task_memory.h"

#include "platform/platform.h"
#include "sim/failure_injection.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace sim {
namespace {
std::atomic<size_t> g_blocks{0};
} // namespace

size_t TaskMemoryBlocks() {
    return g_blocks.load();
}

} // namespace sim

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper-case hexadecimal, in task memory. An injected failure
// gives E_OUTOFMEMORY, or the injected code itself when it is already an HRESULT failure.
HRESULT WINAPI StringFromCLSID(REFCLSID clsid, LPOLESTR* text) {
    if (!text)
        return E_INVALIDARG;
    *text = nullptr;
    DWORD error = 0;
    if (sim::TakeFailure(sim::Call::StringFromCLSID, &error))
        return FAILED(static_cast<HRESULT>(error)) ? static_cast<HRESULT>(error) : E_OUTOFMEMORY;

    char narrow[40];
    std::snprintf(narrow, sizeof narrow, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", clsid.Data1,
                  clsid.Data2, clsid.Data3, clsid.Data4[0], clsid.Data4[1], clsid.Data4[2], clsid.Data4[3],
                  clsid.Data4[4], clsid.Data4[5], clsid.Data4[6], clsid.Data4[7]);
    auto* wide = static_cast<WCHAR*>(std::malloc(sizeof narrow * sizeof(WCHAR)));
    if (!wide)
        return E_OUTOFMEMORY;
    for (size_t i = 0; i < sizeof narrow; ++i)
        wide[i] = static_cast<WCHAR>(narrow[i]);
    sim::g_blocks.fetch_add(1);
    *text = wide;
    return S_OK;
}

void WINAPI CoTaskMemFree(LPVOID block) {
    if (!block)
        return;
    sim::g_blocks.fetch_sub(1);
    std::free(block);
}
