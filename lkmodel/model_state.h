// What the parts of the Windows attachment share: the model's handle table (real event handles the
// model owns, so no model handle can equal a system one), the device's faults and the completions it
// holds back, and the replacements for the driver's device calls.
#pragma once

#include "platform/platform.h"
#include "sim/kernel_objects.h"

#include <memory>

namespace lkmodel {

enum class Fault { None, Unplug, Stall, PendFail, Refuse };

// The object behind a model handle, or null for a handle the model does not own.
std::shared_ptr<sim::KernelObject> ModelObject(HANDLE handle);
// Closes a model handle; false when the model does not own it.
bool CloseModelHandle(HANDLE handle);
size_t ModelHandleCount();

Fault CurrentFault();
void SetFault(Fault fault);
// NTSTATUS kept in OVERLAPPED.Internal for a Win32 result, and back.
ULONG_PTR ToNtStatus(DWORD error);
DWORD FromNtStatus(ULONG_PTR status);
// Signals an OVERLAPPED's event; the low bit of the handle only tags it.
void SignalEvent(HANDLE event);
// A write the model accepted as pending, so that a cancel or close on its handle can find it.
void RememberWrite(HANDLE handle, OVERLAPPED* overlapped);
// Under a stall, keeps a write's successful completion back; false for anything else.
bool HoldCompletion(OVERLAPPED* overlapped, DWORD bytes);
// Ends the writes of `handle` held back by a stall (only `overlapped` when not null) with `error`;
// returns how many.
size_t ReleaseHeld(HANDLE handle, OVERLAPPED* overlapped, DWORD error);
// A property request that pends and then fails with `error` a moment later.
void CompleteLater(OVERLAPPED* overlapped, DWORD error);
size_t CancelCalls();
// The sizes of the writes the device took, since the last clear.
void ClearWriteSizes();
size_t WriteSizes(size_t* smallest, size_t* largest);
void CountCancel();

// The replacement for each device call, by DLL and function name; null when the model has none.
void* Replacement(const char* dll, const char* function);

} // namespace lkmodel
