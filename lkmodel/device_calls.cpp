// The driver's device calls as the model answers them: files on the Larkspur's device path, I/O
// control on the model's filter and pins (every request checked first), completions read with
// GetOverlappedResult, cancellation, closing, and KsCreatePin reached through ksuser.dll. A handle the
// model does not own goes to the system untouched.
#include "lkmodel/model_state.h"
#include "lkmodel/request_check.h"
#include "sim/larkspur/targets.h"
#include "sim/setupapi.h"

#include <cstring>
#include <cwchar>
#include <mutex>
#include <string>

namespace lkmodel {
namespace {

constexpr ULONG_PTR kStatusPending = 0x00000103;

std::mutex g_writeMutex;
size_t g_writes = 0;
size_t g_smallestWrite = 0;
size_t g_largestWrite = 0;

void RecordWrite(const void* header) {
    KSSTREAM_HEADER copy;
    std::memcpy(&copy, header, sizeof copy);
    std::lock_guard lock(g_writeMutex);
    if (g_writes == 0 || copy.DataUsed < g_smallestWrite)
        g_smallestWrite = copy.DataUsed;
    if (copy.DataUsed > g_largestWrite)
        g_largestWrite = copy.DataUsed;
    ++g_writes;
}

Target KindOf(const std::shared_ptr<sim::KernelObject>& object) {
    return std::dynamic_pointer_cast<sim::larkspur::FilterTarget>(object) ? Target::Filter : Target::Pin;
}

HMODULE g_ksuser = nullptr;

bool IsKsUser(LPCWSTR name) {
    if (!name)
        return false;
    const size_t length = std::wcslen(name);
    constexpr wchar_t kName[] = L"ksuser.dll";
    constexpr size_t kLength = sizeof kName / sizeof kName[0] - 1;
    return length >= kLength && _wcsicmp(name + length - kLength, kName) == 0 &&
           (length == kLength || name[length - kLength - 1] == L'\\' || name[length - kLength - 1] == L'/');
}

DWORD WINAPI ModelKsCreatePin(HANDLE filter, PKSPIN_CONNECT connect, ACCESS_MASK access, PHANDLE pin) {
    auto object = ModelObject(filter);
    auto target = std::dynamic_pointer_cast<sim::IoTarget>(object);
    if (!target || !pin)
        return ERROR_INVALID_HANDLE;
    if (const DWORD refused = CheckConnect(connect, access))
        return refused;
    if (CurrentFault() == Fault::Unplug)
        return ERROR_DEVICE_NOT_CONNECTED;
    std::shared_ptr<sim::IoTarget> created;
    if (const DWORD error = target->CreatePin(connect, access, &created))
        return error;
    HANDLE handle = sim::InsertObject(std::move(created));
    if (handle == INVALID_HANDLE_VALUE)
        return ERROR_NO_SYSTEM_RESOURCES;
    *pin = handle;
    return ERROR_SUCCESS;
}

HANDLE WINAPI ModelCreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                               DWORD disposition, DWORD flags, HANDLE templateFile) {
    sim::DeviceInterface entry;
    std::u16string path;
    for (const wchar_t* c = name; c && *c; ++c)
        path += static_cast<char16_t>(*c);
    if (!name || !sim::FindDeviceInterface(path, &entry))
        return ::CreateFileW(name, access, share, security, disposition, flags, templateFile);
    if (const DWORD refused = CheckCreateFile(access, disposition, flags)) {
        ::SetLastError(refused);
        return INVALID_HANDLE_VALUE;
    }
    if (CurrentFault() == Fault::Unplug || !entry.present || !entry.filter) {
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = sim::InsertObject(entry.filter);
    ::SetLastError(handle == INVALID_HANDLE_VALUE ? ERROR_NO_SYSTEM_RESOURCES : ERROR_SUCCESS);
    return handle;
}

BOOL Finish(DWORD error) {
    ::SetLastError(error);
    return error == ERROR_SUCCESS;
}

BOOL WINAPI ModelDeviceIoControl(HANDLE handle, DWORD code, LPVOID in, DWORD inSize, LPVOID out,
                                 DWORD outSize, LPDWORD returned, LPOVERLAPPED overlapped) {
    auto object = ModelObject(handle);
    auto target = std::dynamic_pointer_cast<sim::IoTarget>(object);
    if (!target) {
        if (object)
            return Finish(ERROR_INVALID_HANDLE);
        return ::DeviceIoControl(handle, code, in, inSize, out, outSize, returned, overlapped);
    }
    if (const DWORD refused = CheckIoControl(KindOf(object), code, in, inSize, out, outSize, overlapped))
        return Finish(refused);
    const Fault fault = CurrentFault();
    if (fault == Fault::Unplug)
        return Finish(ERROR_DEVICE_NOT_CONNECTED);
    if (fault == Fault::Refuse && code == IOCTL_KS_WRITE_STREAM)
        return Finish(ERROR_NOT_READY);

    DWORD bytes = 0;
    if (fault == Fault::PendFail && code == IOCTL_KS_PROPERTY && overlapped && outSize != 0) {
        // A read's answer is written, but the request ends as a failure: only its status tells. A
        // failed set changes nothing. Size queries are answered at once, so that the reads follow.
        KSPROPERTY property;
        std::memcpy(&property, in, sizeof property);
        if (!(property.Flags & KSPROPERTY_TYPE_SET))
            target->IoControl(code, in, inSize, out, outSize, &bytes, nullptr);
        CompleteLater(overlapped, ERROR_GEN_FAILURE);
        return Finish(ERROR_IO_PENDING);
    }
    if (overlapped) {
        overlapped->Internal = kStatusPending;
        overlapped->InternalHigh = 0;
        if (code == IOCTL_KS_WRITE_STREAM)
            RememberWrite(handle, overlapped);
    }
    const DWORD status = target->IoControl(code, in, inSize, out, outSize, &bytes, overlapped);
    // The request checks have seen a whole header by now.
    if (code == IOCTL_KS_WRITE_STREAM && (status == ERROR_SUCCESS || status == ERROR_IO_PENDING))
        RecordWrite(out);
    if (status == ERROR_IO_PENDING)
        return Finish(ERROR_IO_PENDING);
    if (returned)
        *returned = bytes;
    if (overlapped) {
        overlapped->InternalHigh = bytes;
        overlapped->Internal = ToNtStatus(status);
        // A request that ends at once signals its event only when it succeeded.
        if (status == ERROR_SUCCESS)
            SignalEvent(overlapped->hEvent);
    }
    return Finish(status);
}

// The result of a model request: waits up to `ms` (INFINITE: for good) while it is pending.
BOOL OverlappedResult(LPOVERLAPPED overlapped, LPDWORD bytes, DWORD ms) {
    volatile ULONG_PTR* internal = &overlapped->Internal;
    if (*internal == kStatusPending) {
        if (ms == 0)
            return Finish(ERROR_IO_INCOMPLETE);
        HANDLE event =
            reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(overlapped->hEvent) & ~ULONG_PTR{1});
        const ULONGLONG deadline = ms == INFINITE ? 0 : ::GetTickCount64() + ms;
        while (*internal == kStatusPending) {
            if (deadline && ::GetTickCount64() >= deadline)
                return Finish(WAIT_TIMEOUT);
            if (event)
                ::WaitForSingleObject(event, 10);
            else
                ::Sleep(1);
        }
    }
    if (bytes)
        *bytes = static_cast<DWORD>(overlapped->InternalHigh);
    return Finish(FromNtStatus(*internal));
}

BOOL WINAPI ModelGetOverlappedResult(HANDLE handle, LPOVERLAPPED overlapped, LPDWORD bytes, BOOL wait) {
    if (!ModelObject(handle))
        return ::GetOverlappedResult(handle, overlapped, bytes, wait);
    return OverlappedResult(overlapped, bytes, wait ? INFINITE : 0);
}

BOOL WINAPI ModelGetOverlappedResultEx(HANDLE handle, LPOVERLAPPED overlapped, LPDWORD bytes, DWORD ms,
                                       BOOL alertable) {
    if (!ModelObject(handle))
        return ::GetOverlappedResultEx(handle, overlapped, bytes, ms, alertable);
    return OverlappedResult(overlapped, bytes, ms);
}

// Cancels what a stall holds back of `handle`'s requests and what its pin still has queued (all of
// them when `overlapped` is null); false when there was nothing.
bool CancelModelRequests(const std::shared_ptr<sim::KernelObject>& object, HANDLE handle,
                         OVERLAPPED* overlapped) {
    CountCancel();
    const bool held = ReleaseHeld(handle, overlapped, ERROR_OPERATION_ABORTED) != 0;
    auto target = std::dynamic_pointer_cast<sim::IoTarget>(object);
    const bool queued = target && target->Cancel(overlapped);
    return held || queued;
}

BOOL WINAPI ModelCancelIoEx(HANDLE handle, LPOVERLAPPED overlapped) {
    auto object = ModelObject(handle);
    if (!object)
        return ::CancelIoEx(handle, overlapped);
    return Finish(CancelModelRequests(object, handle, overlapped) ? ERROR_SUCCESS : ERROR_NOT_FOUND);
}

BOOL WINAPI ModelCancelIo(HANDLE handle) {
    auto object = ModelObject(handle);
    if (!object)
        return ::CancelIo(handle);
    CancelModelRequests(object, handle, nullptr);
    return Finish(ERROR_SUCCESS);
}

BOOL WINAPI ModelCloseHandle(HANDLE handle) {
    if (CloseModelHandle(handle))
        return Finish(ERROR_SUCCESS);
    return ::CloseHandle(handle);
}

HMODULE WINAPI ModelLoadLibraryExW(LPCWSTR name, HANDLE file, DWORD flags) {
    HMODULE module = ::LoadLibraryExW(name, file, flags);
    if (IsKsUser(name)) {
        // Where the system has no ksuser.dll, the host's own module stands in: only KsCreatePin is
        // looked up in it, and the model answers that.
        if (!module)
            module = ::GetModuleHandleW(nullptr);
        g_ksuser = module;
    }
    return module;
}

HMODULE WINAPI ModelLoadLibraryW(LPCWSTR name) {
    return ModelLoadLibraryExW(name, nullptr, 0);
}

FARPROC WINAPI ModelGetProcAddress(HMODULE module, LPCSTR name) {
    const bool byName = reinterpret_cast<ULONG_PTR>(name) > 0xFFFF;
    if (module && module == g_ksuser && byName && std::strcmp(name, "KsCreatePin") == 0)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&ModelKsCreatePin));
    return ::GetProcAddress(module, name);
}

} // namespace

void ClearWriteSizes() {
    std::lock_guard lock(g_writeMutex);
    g_writes = g_smallestWrite = g_largestWrite = 0;
}

size_t WriteSizes(size_t* smallest, size_t* largest) {
    std::lock_guard lock(g_writeMutex);
    if (smallest)
        *smallest = g_smallestWrite;
    if (largest)
        *largest = g_largestWrite;
    return g_writes;
}

// SetupAPI answers live in setupapi_calls.cpp.
void* SetupApiReplacement(const char* function);

void* Replacement(const char* dll, const char* function) {
    if (_stricmp(dll, "setupapi.dll") == 0)
        return SetupApiReplacement(function);
    if (_stricmp(dll, "kernel32.dll") != 0)
        return nullptr;
    struct Entry {
        const char* name;
        void* replacement;
    };
    static const Entry kEntries[] = {
        {"CreateFileW", reinterpret_cast<void*>(&ModelCreateFileW)},
        {"DeviceIoControl", reinterpret_cast<void*>(&ModelDeviceIoControl)},
        {"GetOverlappedResult", reinterpret_cast<void*>(&ModelGetOverlappedResult)},
        {"GetOverlappedResultEx", reinterpret_cast<void*>(&ModelGetOverlappedResultEx)},
        {"CancelIoEx", reinterpret_cast<void*>(&ModelCancelIoEx)},
        {"CancelIo", reinterpret_cast<void*>(&ModelCancelIo)},
        {"CloseHandle", reinterpret_cast<void*>(&ModelCloseHandle)},
        {"LoadLibraryExW", reinterpret_cast<void*>(&ModelLoadLibraryExW)},
        {"LoadLibraryW", reinterpret_cast<void*>(&ModelLoadLibraryW)},
        {"GetProcAddress", reinterpret_cast<void*>(&ModelGetProcAddress)},
    };
    for (const Entry& entry : kEntries)
        if (std::strcmp(entry.name, function) == 0)
            return entry.replacement;
    return nullptr;
}

} // namespace lkmodel
