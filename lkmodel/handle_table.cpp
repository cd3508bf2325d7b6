// The simulated device's handle table and completions on Windows: objects of the model behind handles
// of real events the model owns, and overlapped requests completed the system's way (NTSTATUS in
// Internal, byte count in InternalHigh, the event signalled).
#include "lkmodel/model_state.h"

#include <map>
#include <mutex>
#include <vector>

namespace lkmodel {
namespace {

std::mutex g_mutex;
std::map<HANDLE, std::shared_ptr<sim::KernelObject>>& Table() {
    static auto* table = new std::map<HANDLE, std::shared_ptr<sim::KernelObject>>;
    return *table;
}

} // namespace

std::shared_ptr<sim::KernelObject> ModelObject(HANDLE handle) {
    std::lock_guard lock(g_mutex);
    auto it = Table().find(handle);
    return it == Table().end() ? nullptr : it->second;
}

bool CloseModelHandle(HANDLE handle) {
    std::shared_ptr<sim::KernelObject> object;
    {
        std::lock_guard lock(g_mutex);
        auto it = Table().find(handle);
        if (it == Table().end())
            return false;
        object = std::move(it->second);
        Table().erase(it);
    }
    // What the handle still had pending ends as cancelled, as the handle's clean-up does on Windows.
    ReleaseHeld(handle, nullptr, ERROR_OPERATION_ABORTED);
    object->OnClose();
    ::CloseHandle(handle);
    return true;
}

size_t ModelHandleCount() {
    std::lock_guard lock(g_mutex);
    return Table().size();
}

} // namespace lkmodel

namespace sim {

HANDLE InsertObject(std::shared_ptr<KernelObject> object) {
    HANDLE handle = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!handle)
        return INVALID_HANDLE_VALUE;
    std::lock_guard lock(lkmodel::g_mutex);
    lkmodel::Table()[handle] = std::move(object);
    return handle;
}

std::shared_ptr<KernelObject> ReferenceObject(HANDLE handle) {
    return lkmodel::ModelObject(handle);
}

size_t OpenHandleCount() {
    return lkmodel::ModelHandleCount();
}

void NotifyWaiters() {}

void CompleteOverlapped(OVERLAPPED* overlapped, DWORD status, DWORD bytes) {
    using lkmodel::Fault;
    const Fault fault = lkmodel::CurrentFault();
    if (fault == Fault::Stall && status == ERROR_SUCCESS && lkmodel::HoldCompletion(overlapped, bytes))
        return;
    if (fault == Fault::Unplug && status == ERROR_SUCCESS) {
        status = ERROR_DEVICE_NOT_CONNECTED;
        bytes = 0;
    }
    overlapped->InternalHigh = bytes;
    overlapped->Internal = lkmodel::ToNtStatus(status);
    lkmodel::SignalEvent(overlapped->hEvent);
}

} // namespace sim
