// Writes that the device takes and then fails, which the model has no fault for: lkstreamcheck wraps
// the DLL's DeviceIoControl entry (already the model's) and, while armed, ends each stream write as a
// request that pended and then failed.
#pragma once

#include "platform/platform.h"

namespace lkcheck {

// Put the wrapper in `driver`'s import entry after the model was attached; false when it could not.
bool HookWrites(HMODULE driver);
// Put the model's entry back, before the model detaches.
void UnhookWrites();
void FailWrites(bool fail);
// Stream writes failed since the hook was put in.
long WritesFailed();

} // namespace lkcheck
