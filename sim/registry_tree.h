// Inside the simulated registry: the key tree and the handle table, shared by the Reg*W functions and
// the test controls. Everything here is used with RegistryMutex() held.
#pragma once

#include "platform/platform.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sim::registry {

struct Value {
    std::u16string name; // as written
    DWORD type = 0;
    std::vector<BYTE> data;
};

struct Key {
    std::u16string name;   // as created
    Key* parent = nullptr; // null for a root, and once the key is deleted
    int root = 0;
    bool deleted = false;
    // Keyed by the lower-case name: names ignore case, and the map's order is the enumeration order.
    std::map<std::u16string, std::shared_ptr<Key>> subkeys;
    std::map<std::u16string, Value> values;
};

// An open key: the key, and whether the handle may write.
struct Opened {
    std::shared_ptr<Key> key;
    bool writable = false;
};

constexpr size_t kMaxKeyNameChars = 255;

std::mutex& RegistryMutex();

// The key behind a predefined root or an open handle, or ERROR_INVALID_HANDLE / ERROR_KEY_DELETED.
LONG Resolve(HKEY handle, Opened* opened);
bool WritesDenied(int root);

// Walks a relative path ("" is the key itself). ERROR_FILE_NOT_FOUND or ERROR_BAD_PATHNAME.
LONG Find(const std::shared_ptr<Key>& from, const std::u16string& path, std::shared_ptr<Key>* found);
// Like Find, creating what is missing; *created tells whether the last key is new.
LONG Create(const std::shared_ptr<Key>& from, const std::u16string& path, std::shared_ptr<Key>* found,
            bool* created);
// Takes the key out of the tree; handles to it then see ERROR_KEY_DELETED.
void Remove(std::shared_ptr<Key> key);

HKEY InsertHandle(const Opened& opened);
bool CloseKeyHandle(HKEY handle);

} // namespace sim::registry
