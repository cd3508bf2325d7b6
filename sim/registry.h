// The simulated registry: keys and typed values under HKEY_CLASSES_ROOT, HKEY_LOCAL_MACHINE and
// HKEY_CURRENT_USER, reached through the Reg*W functions with their Windows contracts. These are the
// test's own controls: they bypass handles, access rights and failure injection.
#pragma once

#include "platform/platform.h"

#include <optional>
#include <string>
#include <vector>

#ifndef ERROR_BAD_PATHNAME
#define ERROR_BAD_PATHNAME 161L
#endif
#ifndef ERROR_KEY_DELETED
#define ERROR_KEY_DELETED 1018L
#endif

namespace sim {

// The registry of a clean system: HKEY_CLASSES_ROOT\CLSID, HKEY_LOCAL_MACHINE\SOFTWARE and
// HKEY_CURRENT_USER\Software, writes
// allowed everywhere, the deletion log empty. Handles opened before become invalid.
void ResetRegistry();

// While denied, every write under the root (creating a key, setting a value, deleting a key, opening
// a key for writing) fails with ERROR_ACCESS_DENIED; reading still works.
void DenyRegistryWrites(HKEY root, bool deny);

struct RegistryValue {
    DWORD type = 0;
    std::vector<BYTE> data;
};

// Paths are relative to the root, "" is the root itself; the value name "" is the default value.
bool RegistryKeyExists(HKEY root, const std::u16string& path);
// Creates the key and any missing key above it.
void RegistryCreateKey(HKEY root, const std::u16string& path);
void RegistrySetValue(HKEY root, const std::u16string& path, const std::u16string& name, DWORD type,
                      const std::vector<BYTE>& data);
// A REG_SZ value stored as the driver writes one: the characters without a terminating null.
void RegistrySetString(HKEY root, const std::u16string& path, const std::u16string& name,
                       const std::u16string& text);
std::optional<RegistryValue> RegistryGetValue(HKEY root, const std::u16string& path,
                                              const std::u16string& name);
// The value's characters up to the first null or the end of the data.
std::optional<std::u16string> RegistryGetString(HKEY root, const std::u16string& path,
                                                const std::u16string& name);
// Names as they were created, in the order RegEnumKeyW gives them (by name, ignoring case).
std::vector<std::u16string> RegistrySubkeys(HKEY root, const std::u16string& path);
std::vector<std::u16string> RegistryValueNames(HKEY root, const std::u16string& path);

// A whole tree as text, one key or value a line, to compare states.
std::string RegistryDump();

// Key handles that are open now.
size_t OpenRegistryKeyCount();

// Keys deleted through RegDeleteKeyW since the reset, in order, as "HKCR\...", "HKLM\..." or "HKCU\..."
// paths.
std::vector<std::u16string> DeletedRegistryKeys();

} // namespace sim
