// Small registry operations for self-registration. Each opens what it needs and closes it again, so the
// registration reads as a list of keys and values. Results are plain codes: 0 (1 for a key that exists)
// or -1.
#pragma once

#include "platform/platform.h"

// Composed key paths, the module path and a value read back each fit this many wide characters.
constexpr DWORD kRegistryPathChars = 360;

// Writes "parent\child" into out (kRegistryPathChars wide); false when it does not fit.
bool JoinKeyPath(WCHAR* out, LPCWSTR parent, LPCWSTR child);

// 1 when root\path opens, 0 when it does not, -1 without a path.
LONG KeyExists(HKEY root, LPCWSTR path);
// Creates root\parentPath\name unless it exists.
LONG CreateSubKey(HKEY root, LPCWSTR parentPath, LPCWSTR name);
// A REG_SZ value of text's characters without the terminator; a null value name is the default value.
LONG SetStringValue(HKEY root, LPCWSTR path, LPCWSTR valueName, LPCWSTR text);
// Reads a string value of at most capacityBytes into buffer and terminates it there. -1 (with an empty
// buffer) when it is missing, longer, or cannot be terminated within capacityBytes.
LONG ReadStringValue(HKEY root, LPCWSTR path, LPCWSTR valueName, LPWSTR buffer, DWORD capacityBytes);
// Deletes root\parentPath\name with everything below it: 0 when the key is gone, else -1.
LONG DeleteKeyTree(HKEY root, LPCWSTR parentPath, LPCWSTR name);

// One key to delete: its parent's open handle, its own open handle and its name (owned).
struct KeyDeletion {
    HKEY parent;
    HKEY key;
    LPWSTR name;
    KeyDeletion* next;
};

// Appends parent\name and all its subkeys after tail, subkeys first (depth-first post-order), starting
// at the given subkey index; returns the new tail. Takes ownership of name. A key that cannot be opened
// or listed is left out with everything below it. Not reentrant: subkey names pass through one
// process-wide buffer.
KeyDeletion* CollectKeyTree(HKEY parent, HKEY key, DWORD index, LPWSTR name, KeyDeletion* tail);
