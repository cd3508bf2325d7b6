#include "tools/lkstreamcheck/failing_writes.h"

#include <atomic>
#include <cstring>

namespace lkcheck {
namespace {

using IoControl = BOOL(WINAPI*)(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);

// IOCTL_KS_WRITE_STREAM: CTL_CODE(FILE_DEVICE_KS, 4, METHOD_NEITHER, FILE_WRITE_ACCESS).
constexpr DWORD kWriteStream = (0x2F << 16) | (0x2 << 14) | (4 << 2) | 3;
constexpr ULONG_PTR kStatusUnsuccessful = 0xC0000001;

void** g_slot = nullptr;
IoControl g_model = nullptr;
std::atomic<bool> g_fail{false};
std::atomic<long> g_failed{0};

BOOL WINAPI FailingIoControl(HANDLE handle, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                             LPDWORD returned, LPOVERLAPPED overlapped) {
    if (!g_fail.load() || code != kWriteStream || !overlapped)
        return g_model(handle, code, in, inSize, out, outSize, returned, overlapped);
    // Pended, then failed: the status the result calls read, and the event the driver waits on.
    ++g_failed;
    overlapped->InternalHigh = 0;
    overlapped->Internal = kStatusUnsuccessful;
    if (overlapped->hEvent)
        ::SetEvent(reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(overlapped->hEvent) & ~ULONG_PTR{1}));
    ::SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

bool WriteSlot(void** slot, void* value) {
    DWORD old = 0;
    if (!::VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &old))
        return false;
    *slot = value;
    ::VirtualProtect(slot, sizeof *slot, old, &old);
    return true;
}

// The import entry through which `module` calls DeviceIoControl.
void** FindSlot(HMODULE module) {
    auto* base = reinterpret_cast<BYTE*>(module);
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    if (!module || dos->e_magic != IMAGE_DOS_SIGNATURE)
        return nullptr;
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (nt->Signature != IMAGE_NT_SIGNATURE || directory.VirtualAddress == 0)
        return nullptr;
    for (auto* import = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
         import->Name != 0; ++import) {
        const DWORD namesRva = import->OriginalFirstThunk ? import->OriginalFirstThunk : import->FirstThunk;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA64*>(base + namesRva);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA64*>(base + import->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL64(names->u1.Ordinal))
                continue;
            auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), "DeviceIoControl") == 0)
                return reinterpret_cast<void**>(&slots->u1.Function);
        }
    }
    return nullptr;
}

} // namespace

bool HookWrites(HMODULE driver) {
    void** slot = FindSlot(driver);
    if (!slot || g_slot)
        return false;
    g_model = reinterpret_cast<IoControl>(*slot);
    if (!WriteSlot(slot, reinterpret_cast<void*>(&FailingIoControl)))
        return false;
    g_slot = slot;
    g_failed = 0;
    return true;
}

void UnhookWrites() {
    g_fail = false;
    if (g_slot)
        WriteSlot(g_slot, reinterpret_cast<void*>(g_model));
    g_slot = nullptr;
}

void FailWrites(bool fail) {
    g_fail = fail;
}

long WritesFailed() {
    return g_failed.load();
}

} // namespace lkcheck
