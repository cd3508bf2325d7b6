// The Reg*W functions over the simulated registry, with the Windows contracts the driver relies on.
#include "sim/char_case.h"
#include "sim/failure_injection.h"
#include "sim/registry.h"
#include "sim/registry_tree.h"

#include <cstring>
#include <iterator>

using namespace sim::registry;

namespace {

constexpr REGSAM kKeySetValue = 0x0002;
constexpr REGSAM kKeyCreateSubKey = 0x0004;
constexpr REGSAM kDelete = 0x00010000;
constexpr REGSAM kWriteDac = 0x00040000;
constexpr REGSAM kWriteOwner = 0x00080000;
constexpr REGSAM kWriteAccess = kKeySetValue | kKeyCreateSubKey | kDelete | kWriteDac | kWriteOwner;
constexpr REGSAM kMaximumAllowed = 0x02000000;

std::u16string Text(LPCWSTR text) {
    return text ? std::u16string(text) : std::u16string();
}

bool Injected(sim::Call call, LONG* status) {
    DWORD error = 0;
    if (!sim::TakeFailure(call, &error))
        return false;
    *status = static_cast<LONG>(error);
    return true;
}

// MAXIMUM_ALLOWED gives a handle that writes only where writes are allowed; asking for write access
// explicitly under a denied root is refused.
LONG OpenKey(HKEY key, LPCWSTR subKey, REGSAM desired, PHKEY result) {
    std::lock_guard lock(RegistryMutex());
    Opened from;
    LONG status = Resolve(key, &from);
    if (status != ERROR_SUCCESS)
        return status;
    std::shared_ptr<Key> found;
    status = Find(from.key, Text(subKey), &found);
    if (status != ERROR_SUCCESS)
        return status;
    const bool denied = WritesDenied(found->root);
    bool writable = !denied;
    if (!(desired & kMaximumAllowed)) {
        const bool wantsWrite = (desired & kWriteAccess) != 0;
        if (wantsWrite && denied)
            return ERROR_ACCESS_DENIED;
        writable = wantsWrite;
    }
    *result = InsertHandle(Opened{found, writable});
    return ERROR_SUCCESS;
}

} // namespace

// A null or empty subkey gives back the very handle passed in (not a new one).
LONG WINAPI RegOpenKeyW(HKEY key, LPCWSTR subKey, PHKEY result) {
    if (!result)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    LONG status;
    if (Injected(sim::Call::RegOpenKeyW, &status))
        return status;
    if (!subKey || !*subKey) {
        *result = key;
        return ERROR_SUCCESS;
    }
    return OpenKey(key, subKey, kMaximumAllowed, result);
}

LONG WINAPI RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD, REGSAM desired, PHKEY result) {
    if (!result)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    LONG status;
    if (Injected(sim::Call::RegOpenKeyExW, &status))
        return status;
    return OpenKey(key, subKey, desired, result);
}

// Opens the key when it exists; creating one (and any missing key above it) needs write access.
LONG WINAPI RegCreateKeyW(HKEY key, LPCWSTR subKey, PHKEY result) {
    if (!result)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    LONG status;
    if (Injected(sim::Call::RegCreateKeyW, &status))
        return status;
    std::lock_guard lock(RegistryMutex());
    Opened from;
    status = Resolve(key, &from);
    if (status != ERROR_SUCCESS)
        return status;
    std::shared_ptr<Key> found;
    status = Find(from.key, Text(subKey), &found);
    if (status == ERROR_FILE_NOT_FOUND) {
        if (!from.writable)
            return ERROR_ACCESS_DENIED;
        bool created = false;
        status = Create(from.key, Text(subKey), &found, &created);
    }
    if (status != ERROR_SUCCESS)
        return status;
    *result = InsertHandle(Opened{found, !WritesDenied(found->root)});
    return ERROR_SUCCESS;
}

// The data is stored as given: a REG_SZ value keeps a terminating null only when the caller sent one.
LONG WINAPI RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD, DWORD type, const BYTE* data, DWORD size) {
    LONG status;
    if (Injected(sim::Call::RegSetValueExW, &status))
        return status;
    if (!data && size > 0)
        return ERROR_INVALID_PARAMETER;
    std::lock_guard lock(RegistryMutex());
    Opened opened;
    status = Resolve(key, &opened);
    if (status != ERROR_SUCCESS)
        return status;
    if (!opened.writable)
        return ERROR_ACCESS_DENIED;
    const std::u16string name = Text(valueName);
    opened.key->values[sim::LowerText(name)] = Value{name, type, std::vector<BYTE>(data, data + size)};
    return ERROR_SUCCESS;
}

// Without a buffer only the size is reported; a buffer too small gets ERROR_MORE_DATA and the size
// needed. Nothing is terminated that was not stored terminated.
LONG WINAPI RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, BYTE* data,
                             LPDWORD size) {
    LONG status;
    if (Injected(sim::Call::RegQueryValueExW, &status))
        return status;
    if (reserved || (data && !size))
        return ERROR_INVALID_PARAMETER;
    std::lock_guard lock(RegistryMutex());
    Opened opened;
    status = Resolve(key, &opened);
    if (status != ERROR_SUCCESS)
        return status;
    auto it = opened.key->values.find(sim::LowerText(Text(valueName)));
    if (it == opened.key->values.end())
        return ERROR_FILE_NOT_FOUND;
    const Value& value = it->second;
    const DWORD needed = static_cast<DWORD>(value.data.size());
    if (type)
        *type = value.type;
    if (data && *size < needed) {
        *size = needed;
        return ERROR_MORE_DATA;
    }
    if (data && needed > 0)
        std::memcpy(data, value.data.data(), needed);
    if (size)
        *size = needed;
    return ERROR_SUCCESS;
}

// Subkeys come in name order, ignoring case; nameSize counts characters with the terminator.
LONG WINAPI RegEnumKeyW(HKEY key, DWORD index, LPWSTR name, DWORD nameSize) {
    LONG status;
    if (Injected(sim::Call::RegEnumKeyW, &status))
        return status;
    std::lock_guard lock(RegistryMutex());
    Opened opened;
    status = Resolve(key, &opened);
    if (status != ERROR_SUCCESS)
        return status;
    if (index >= opened.key->subkeys.size())
        return ERROR_NO_MORE_ITEMS;
    if (!name)
        return ERROR_INVALID_PARAMETER;
    auto it = opened.key->subkeys.begin();
    std::advance(it, index);
    const std::u16string& subkey = it->second->name;
    if (subkey.size() + 1 > nameSize)
        return ERROR_MORE_DATA;
    WideTraits::copy(name, subkey.data(), subkey.size());
    name[subkey.size()] = 0;
    return ERROR_SUCCESS;
}

// Only a key without subkeys can go; an empty subkey names the key itself. Open handles to the key
// stay valid as handles but see ERROR_KEY_DELETED.
LONG WINAPI RegDeleteKeyW(HKEY key, LPCWSTR subKey) {
    LONG status;
    if (Injected(sim::Call::RegDeleteKeyW, &status))
        return status;
    if (!subKey)
        return ERROR_INVALID_PARAMETER;
    std::lock_guard lock(RegistryMutex());
    Opened opened;
    status = Resolve(key, &opened);
    if (status != ERROR_SUCCESS)
        return status;
    std::shared_ptr<Key> target;
    status = Find(opened.key, subKey, &target);
    if (status != ERROR_SUCCESS)
        return status;
    if (!target->parent || WritesDenied(target->root) || !target->subkeys.empty())
        return ERROR_ACCESS_DENIED;
    Remove(target);
    return ERROR_SUCCESS;
}

// Closing a predefined root is allowed and does nothing.
LONG WINAPI RegCloseKey(HKEY key) {
    LONG status;
    if (Injected(sim::Call::RegCloseKey, &status))
        return status;
    std::lock_guard lock(RegistryMutex());
    return CloseKeyHandle(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}
