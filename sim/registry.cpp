#include "sim/registry.h"

#include "sim/char_case.h"
#include "sim/registry_tree.h"
#include "sim/text.h"

#include <cstdio>
#include <cstring>
#include <unordered_map>

namespace sim::registry {
namespace {

constexpr int kRootCount = 3;
const char16_t* const kRootNames[kRootCount] = {u"HKCR", u"HKLM", u"HKCU"};

struct State {
    std::shared_ptr<Key> roots[kRootCount];
    bool denied[kRootCount] = {};
    std::unordered_map<uintptr_t, Opened> handles;
    uintptr_t nextHandle = 0x20000;
    std::vector<std::u16string> deleted;
};

State& TheState();

int RootIndex(HKEY handle) {
    if (handle == HKEY_CLASSES_ROOT)
        return 0;
    if (handle == HKEY_LOCAL_MACHINE)
        return 1;
    if (handle == HKEY_CURRENT_USER)
        return 2;
    return -1;
}

std::shared_ptr<Key> NewRoot(int index) {
    auto root = std::make_shared<Key>();
    root->name = kRootNames[index];
    root->root = index;
    return root;
}

// Splits at backslashes; one trailing backslash is tolerated, a leading one or an empty name is not.
bool SplitPath(const std::u16string& path, std::vector<std::u16string>* names) {
    names->clear();
    if (path.empty())
        return true;
    for (size_t start = 0;;) {
        const size_t end = path.find(u'\\', start);
        std::u16string name = path.substr(start, end == std::u16string::npos ? end : end - start);
        if (name.empty())
            return end == std::u16string::npos && start > 0;
        names->push_back(std::move(name));
        if (end == std::u16string::npos)
            return true;
        start = end + 1;
    }
}

// What a clean system has: the class registrations' key, the machine's and the user's software keys.
void MakeClean(State* state) {
    *state = State{};
    for (int i = 0; i < kRootCount; ++i)
        state->roots[i] = NewRoot(i);
    bool created = false;
    std::shared_ptr<Key> key;
    Create(state->roots[0], u"CLSID", &key, &created);
    Create(state->roots[1], u"SOFTWARE", &key, &created);
    Create(state->roots[2], u"Software", &key, &created);
}

State& TheState() {
    static State state = [] {
        State s;
        MakeClean(&s);
        return s;
    }();
    return state;
}

std::u16string FullPath(const Key& key) {
    std::u16string path = key.name;
    for (const Key* k = key.parent; k; k = k->parent)
        path = k->name + u"\\" + path;
    return path;
}

} // namespace

std::mutex& RegistryMutex() {
    static std::mutex mutex;
    return mutex;
}

bool WritesDenied(int root) {
    return TheState().denied[root];
}

LONG Resolve(HKEY handle, Opened* opened) {
    State& state = TheState();
    const int root = RootIndex(handle);
    if (root >= 0) {
        *opened = Opened{state.roots[root], !state.denied[root]};
        return ERROR_SUCCESS;
    }
    auto it = state.handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == state.handles.end())
        return ERROR_INVALID_HANDLE;
    *opened = it->second;
    opened->writable = opened->writable && !state.denied[opened->key->root];
    return opened->key->deleted ? ERROR_KEY_DELETED : ERROR_SUCCESS;
}

LONG Find(const std::shared_ptr<Key>& from, const std::u16string& path, std::shared_ptr<Key>* found) {
    std::vector<std::u16string> names;
    if (!SplitPath(path, &names))
        return ERROR_BAD_PATHNAME;
    std::shared_ptr<Key> key = from;
    for (const std::u16string& name : names) {
        auto it = key->subkeys.find(LowerText(name));
        if (it == key->subkeys.end())
            return ERROR_FILE_NOT_FOUND;
        key = it->second;
    }
    *found = key;
    return ERROR_SUCCESS;
}

LONG Create(const std::shared_ptr<Key>& from, const std::u16string& path, std::shared_ptr<Key>* found,
            bool* created) {
    std::vector<std::u16string> names;
    if (!SplitPath(path, &names))
        return ERROR_BAD_PATHNAME;
    for (const std::u16string& name : names) {
        if (name.size() > kMaxKeyNameChars)
            return ERROR_INVALID_PARAMETER;
    }
    *created = false;
    std::shared_ptr<Key> key = from;
    for (const std::u16string& name : names) {
        std::shared_ptr<Key>& slot = key->subkeys[LowerText(name)];
        if (!slot) {
            slot = std::make_shared<Key>();
            slot->name = name;
            slot->parent = key.get();
            slot->root = key->root;
            *created = true;
        } else {
            *created = false;
        }
        key = slot;
    }
    *found = key;
    return ERROR_SUCCESS;
}

void Remove(std::shared_ptr<Key> key) {
    TheState().deleted.push_back(FullPath(*key));
    key->parent->subkeys.erase(LowerText(key->name));
    key->parent = nullptr;
    key->deleted = true;
}

HKEY InsertHandle(const Opened& opened) {
    State& state = TheState();
    const uintptr_t value = state.nextHandle;
    state.nextHandle += 4;
    state.handles.emplace(value, opened);
    return reinterpret_cast<HKEY>(value);
}

bool CloseKeyHandle(HKEY handle) {
    if (RootIndex(handle) >= 0)
        return true;
    return TheState().handles.erase(reinterpret_cast<uintptr_t>(handle)) == 1;
}

} // namespace sim::registry

namespace sim {

using namespace registry;

namespace {

std::shared_ptr<Key> FindFromRoot(HKEY root, const std::u16string& path) {
    Opened opened;
    std::shared_ptr<Key> key;
    if (Resolve(root, &opened) != ERROR_SUCCESS || Find(opened.key, path, &key) != ERROR_SUCCESS)
        return nullptr;
    return key;
}

std::shared_ptr<Key> CreateFromRoot(HKEY root, const std::u16string& path) {
    Opened opened;
    std::shared_ptr<Key> key;
    bool created = false;
    if (Resolve(root, &opened) != ERROR_SUCCESS || Create(opened.key, path, &key, &created) != ERROR_SUCCESS)
        return nullptr;
    return key;
}

void DumpKey(const Key& key, const std::string& indent, std::string* out) {
    *out += indent + "[" + ToUtf8(key.name) + "]\n";
    for (const auto& [folded, value] : key.values) {
        char type[16];
        std::snprintf(type, sizeof type, "%u", static_cast<unsigned>(value.type));
        std::string data;
        for (BYTE b : value.data) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%02x", b);
            data += hex;
        }
        *out += indent + "  " + ToUtf8(value.name) + " (" + type + ") " + data + "\n";
    }
    for (const auto& [folded, sub] : key.subkeys)
        DumpKey(*sub, indent + "  ", out);
}

} // namespace

void ResetRegistry() {
    std::lock_guard lock(RegistryMutex());
    MakeClean(&TheState());
}

void DenyRegistryWrites(HKEY root, bool deny) {
    std::lock_guard lock(RegistryMutex());
    const int index = RootIndex(root);
    if (index >= 0)
        TheState().denied[index] = deny;
}

bool RegistryKeyExists(HKEY root, const std::u16string& path) {
    std::lock_guard lock(RegistryMutex());
    return FindFromRoot(root, path) != nullptr;
}

void RegistryCreateKey(HKEY root, const std::u16string& path) {
    std::lock_guard lock(RegistryMutex());
    CreateFromRoot(root, path);
}

void RegistrySetValue(HKEY root, const std::u16string& path, const std::u16string& name, DWORD type,
                      const std::vector<BYTE>& data) {
    std::lock_guard lock(RegistryMutex());
    if (auto key = CreateFromRoot(root, path))
        key->values[LowerText(name)] = Value{name, type, data};
}

void RegistrySetString(HKEY root, const std::u16string& path, const std::u16string& name,
                       const std::u16string& text) {
    const auto* bytes = reinterpret_cast<const BYTE*>(text.data());
    RegistrySetValue(root, path, name, REG_SZ, std::vector<BYTE>(bytes, bytes + text.size() * sizeof(WCHAR)));
}

std::optional<RegistryValue> RegistryGetValue(HKEY root, const std::u16string& path,
                                              const std::u16string& name) {
    std::lock_guard lock(RegistryMutex());
    auto key = FindFromRoot(root, path);
    if (!key)
        return std::nullopt;
    auto it = key->values.find(LowerText(name));
    if (it == key->values.end())
        return std::nullopt;
    return RegistryValue{it->second.type, it->second.data};
}

std::optional<std::u16string> RegistryGetString(HKEY root, const std::u16string& path,
                                                const std::u16string& name) {
    auto value = RegistryGetValue(root, path, name);
    if (!value)
        return std::nullopt;
    std::u16string text(value->data.size() / sizeof(WCHAR), u'\0');
    std::memcpy(text.data(), value->data.data(), text.size() * sizeof(WCHAR));
    return text.substr(0, text.find(u'\0'));
}

std::vector<std::u16string> RegistrySubkeys(HKEY root, const std::u16string& path) {
    std::lock_guard lock(RegistryMutex());
    std::vector<std::u16string> names;
    if (auto key = FindFromRoot(root, path)) {
        for (const auto& [folded, sub] : key->subkeys)
            names.push_back(sub->name);
    }
    return names;
}

std::vector<std::u16string> RegistryValueNames(HKEY root, const std::u16string& path) {
    std::lock_guard lock(RegistryMutex());
    std::vector<std::u16string> names;
    if (auto key = FindFromRoot(root, path)) {
        for (const auto& [folded, value] : key->values)
            names.push_back(value.name);
    }
    return names;
}

std::string RegistryDump() {
    std::lock_guard lock(RegistryMutex());
    std::string out;
    for (const auto& root : TheState().roots)
        DumpKey(*root, "", &out);
    return out;
}

size_t OpenRegistryKeyCount() {
    std::lock_guard lock(RegistryMutex());
    return TheState().handles.size();
}

std::vector<std::u16string> DeletedRegistryKeys() {
    std::lock_guard lock(RegistryMutex());
    return TheState().deleted;
}

} // namespace sim
