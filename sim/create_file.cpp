// CreateFileW on a device path: opens the simulated filter behind a device interface.
#include "sim/setupapi.h"

#include "sim/failure_injection.h"

#include <mutex>

namespace sim {
namespace {

std::mutex g_opensMutex;
std::vector<FileOpen> g_opens;

HANDLE Record(FileOpen open, HANDLE handle) {
    open.handle = handle;
    std::lock_guard lock(g_opensMutex);
    g_opens.push_back(std::move(open));
    return handle;
}

} // namespace

std::vector<FileOpen> FileOpens() {
    std::lock_guard lock(g_opensMutex);
    return g_opens;
}

void ClearFileOpens() {
    std::lock_guard lock(g_opensMutex);
    g_opens.clear();
}

} // namespace sim

using namespace sim;

// Several opens of one path succeed and share the device's filter object, as a KS filter allows
// several handles (it does not enforce the share mode).
HANDLE WINAPI CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition,
                          DWORD flags, HANDLE) {
    FileOpen open{name ? std::u16string(name) : std::u16string(),
                  access,
                  share,
                  disposition,
                  flags,
                  INVALID_HANDLE_VALUE};
    auto fail = [&](DWORD error) {
        SetLastError(error);
        return Record(std::move(open), INVALID_HANDLE_VALUE);
    };
    DWORD error = 0;
    if (TakeFailure(Call::CreateFileW, &error))
        return fail(error);
    if (!name)
        return fail(ERROR_PATH_NOT_FOUND);
    if (disposition != OPEN_EXISTING)
        return fail(ERROR_ACCESS_DENIED); // a device cannot be created or truncated
    DeviceInterface entry;
    if (!FindDeviceInterface(open.path, &entry) || !entry.present || !entry.filter)
        return fail(ERROR_FILE_NOT_FOUND);
    if (entry.openError != ERROR_SUCCESS)
        return fail(entry.openError);
    SetLastError(ERROR_SUCCESS);
    return Record(std::move(open), InsertObject(entry.filter));
}
