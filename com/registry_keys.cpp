#include "com/registry_keys.h"

#include <new>

namespace {

// Subkey names met while collecting a tree; CollectKeyTree copies each before it descends.
WCHAR g_subkeyName[kRegistryPathChars];

LPWSTR CopyText(LPCWSTR text) {
    const size_t length = WideTraits::length(text);
    WCHAR* copy = new (std::nothrow) WCHAR[length + 1];
    if (copy)
        WideTraits::copy(copy, text, length + 1);
    return copy;
}

bool HasPath(LPCWSTR path) {
    return path && *path;
}

// The registry does not promise a terminator; a value that fills the whole capacity must bring its own.
bool Terminate(LPWSTR buffer, DWORD bytesRead, DWORD capacityBytes) {
    const DWORD chars = bytesRead / sizeof(WCHAR);
    const DWORD capacityChars = capacityBytes / sizeof(WCHAR);
    if (chars < capacityChars) {
        buffer[chars] = 0;
        return true;
    }
    return chars > 0 && buffer[chars - 1] == 0;
}

} // namespace

bool JoinKeyPath(WCHAR* out, LPCWSTR parent, LPCWSTR child) {
    if (!parent || !child)
        return false;
    const size_t parentLength = WideTraits::length(parent);
    const size_t childLength = WideTraits::length(child);
    if (parentLength + 1 + childLength + 1 > kRegistryPathChars)
        return false;
    WideTraits::copy(out, parent, parentLength);
    out[parentLength] = TEXT('\\');
    WideTraits::copy(out + parentLength + 1, child, childLength);
    out[parentLength + 1 + childLength] = 0;
    return true;
}

LONG KeyExists(HKEY root, LPCWSTR path) {
    if (!HasPath(path))
        return -1;
    HKEY key = nullptr;
    if (RegOpenKeyW(root, path, &key) != ERROR_SUCCESS)
        return 0;
    RegCloseKey(key);
    return 1;
}

LONG CreateSubKey(HKEY root, LPCWSTR parentPath, LPCWSTR name) {
    WCHAR path[kRegistryPathChars];
    if (!JoinKeyPath(path, parentPath, name))
        return -1;
    if (KeyExists(root, path) == 1)
        return 0;
    HKEY parent = nullptr;
    if (RegOpenKeyW(root, parentPath, &parent) != ERROR_SUCCESS)
        return -1;
    HKEY child = nullptr;
    const LONG status = RegCreateKeyW(parent, name, &child);
    if (status == ERROR_SUCCESS)
        RegCloseKey(child);
    RegCloseKey(parent);
    return status == ERROR_SUCCESS ? 0 : -1;
}

LONG SetStringValue(HKEY root, LPCWSTR path, LPCWSTR valueName, LPCWSTR text) {
    if (!HasPath(path))
        return -1;
    HKEY key = nullptr;
    if (RegOpenKeyW(root, path, &key) != ERROR_SUCCESS)
        return -1;
    const DWORD size = static_cast<DWORD>(WideTraits::length(text) * sizeof(WCHAR));
    const LONG status = RegSetValueExW(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? 0 : -1;
}

LONG ReadStringValue(HKEY root, LPCWSTR path, LPCWSTR valueName, LPWSTR buffer, DWORD capacityBytes) {
    if (!buffer || capacityBytes < sizeof(WCHAR))
        return -1;
    buffer[0] = 0;
    if (!HasPath(path))
        return -1;
    HKEY key = nullptr;
    if (RegOpenKeyW(root, path, &key) != ERROR_SUCCESS)
        return -1;
    LONG result = -1;
    DWORD size = 0;
    if (RegQueryValueExW(key, valueName, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS &&
        size <= capacityBytes) {
        // The value may have changed since its size was asked; only a complete read is used.
        DWORD read = capacityBytes;
        if (RegQueryValueExW(key, valueName, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &read) ==
                ERROR_SUCCESS &&
            Terminate(buffer, read, capacityBytes))
            result = 0;
    }
    if (result != 0)
        buffer[0] = 0;
    RegCloseKey(key);
    return result;
}

KeyDeletion* CollectKeyTree(HKEY parent, HKEY key, DWORD index, LPWSTR name, KeyDeletion* tail) {
    if (!key && RegOpenKeyExW(parent, name, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
        delete[] name;
        return tail;
    }
    // Every subkey is listed before this key, so deleting in list order never meets a key that still
    // has subkeys. Nothing is deleted while listing, so the indices stay valid.
    for (;; ++index) {
        if (RegEnumKeyW(key, index, g_subkeyName, kRegistryPathChars) != ERROR_SUCCESS)
            break;
        LPWSTR subkeyName = CopyText(g_subkeyName);
        // A subkey left out keeps this key from being deleted, which DeleteKeyTree reports.
        if (subkeyName)
            tail = CollectKeyTree(key, nullptr, 0, subkeyName, tail);
    }
    KeyDeletion* entry = new (std::nothrow) KeyDeletion{parent, key, name, nullptr};
    if (!entry) {
        RegCloseKey(key);
        delete[] name;
        return tail;
    }
    tail->next = entry;
    return entry;
}

LONG DeleteKeyTree(HKEY root, LPCWSTR parentPath, LPCWSTR name) {
    if (!HasPath(name))
        return -1;
    HKEY parent = nullptr;
    if (RegOpenKeyW(root, parentPath, &parent) != ERROR_SUCCESS)
        return -1;
    bool deleted = false;
    LPWSTR ownName = CopyText(name);
    if (ownName) {
        KeyDeletion head{};
        CollectKeyTree(parent, nullptr, 0, ownName, &head);
        for (KeyDeletion* entry = head.next; entry;) {
            RegCloseKey(entry->key);
            const LONG status = RegDeleteKeyW(entry->parent, entry->name);
            // Only the named key has the caller's parent; it can go only once everything below is gone.
            if (entry->parent == parent)
                deleted = status == ERROR_SUCCESS;
            KeyDeletion* next = entry->next;
            delete[] entry->name;
            delete entry;
            entry = next;
        }
    }
    RegCloseKey(parent);
    return deleted ? 0 : -1;
}
