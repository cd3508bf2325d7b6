#include "sim/library.h"

#include "sim/failure_injection.h"
#include "sim/kernel_objects.h"

#include <mutex>

namespace sim {
namespace {

constexpr DWORD kErrorNotFound = ERROR_MOD_NOT_FOUND;

struct Module {
    std::u16string name; // lower case
    bool system;
    unsigned references = 0;
};

std::mutex g_mutex;
std::vector<Module> g_modules{{u"ksuser.dll", true}};
std::vector<LibraryLoad> g_loads;
size_t g_plantedCalls = 0;

std::u16string Lower(const WCHAR* name) {
    std::u16string out;
    for (; *name; ++name)
        out += (*name >= u'A' && *name <= u'Z') ? static_cast<WCHAR>(*name - u'A' + u'a') : *name;
    return out;
}

// Module handles are small tagged indices into the module table; never null.
HMODULE ToHandle(size_t index) {
    return reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x7FFE0000u + 0x1000u * (index + 1)));
}
Module* FromHandle(HMODULE module) {
    const uintptr_t value = reinterpret_cast<uintptr_t>(module);
    if (value < 0x7FFE1000u || (value - 0x7FFE0000u) % 0x1000u != 0)
        return nullptr;
    const size_t index = (value - 0x7FFE0000u) / 0x1000u - 1;
    return index < g_modules.size() ? &g_modules[index] : nullptr;
}

DWORD WINAPI PlantedKsCreatePin(HANDLE, PKSPIN_CONNECT, ACCESS_MASK, PHANDLE) {
    std::lock_guard lock(g_mutex);
    ++g_plantedCalls;
    return ERROR_ACCESS_DENIED;
}

HMODULE Load(LPCWSTR name, DWORD flags) {
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const std::u16string wanted = Lower(name);
    const bool systemOnly = (flags & LOAD_LIBRARY_SEARCH_SYSTEM32) != 0;
    std::lock_guard lock(g_mutex);
    // A default search takes a module of that name that is already loaded, then the host's directory,
    // then the system directory.
    size_t found = g_modules.size();
    for (int pass = 0; pass < 3 && found == g_modules.size(); ++pass) {
        if (systemOnly && pass < 2)
            continue;
        for (size_t i = 0; i < g_modules.size(); ++i) {
            const Module& m = g_modules[i];
            if (m.name != wanted)
                continue;
            if ((pass == 0 && m.references > 0) || (pass == 1 && !m.system) || (pass == 2 && m.system)) {
                found = i;
                break;
            }
        }
    }
    if (found == g_modules.size()) {
        SetLastError(kErrorNotFound);
        return nullptr;
    }
    ++g_modules[found].references;
    g_loads.push_back({name, flags, g_modules[found].system});
    return ToHandle(found);
}

} // namespace

DWORD WINAPI KsCreatePin(HANDLE filter, PKSPIN_CONNECT connect, ACCESS_MASK access, PHANDLE pin) {
    DWORD error = 0;
    if (TakeFailure(Call::KsCreatePin, &error))
        return error;
    if (!connect || !pin)
        return ERROR_INVALID_PARAMETER;
    auto target = ReferenceObjectAs<IoTarget>(filter);
    if (!target)
        return ERROR_INVALID_HANDLE;
    std::shared_ptr<IoTarget> created;
    error = target->CreatePin(connect, access, &created);
    if (error != ERROR_SUCCESS)
        return error;
    if (!created)
        return ERROR_GEN_FAILURE;
    *pin = InsertObject(std::move(created));
    return ERROR_SUCCESS;
}

void PlantLibraryBesideHost(const std::u16string& name) {
    std::lock_guard lock(g_mutex);
    g_modules.push_back({Lower(name.c_str()), false});
}

void RemovePlantedLibraries() {
    std::lock_guard lock(g_mutex);
    // Entries stay so that handles keep their meaning; they just can no longer be found.
    for (Module& m : g_modules)
        if (!m.system)
            m.name.clear();
}

size_t PlantedCodeCalls() {
    std::lock_guard lock(g_mutex);
    return g_plantedCalls;
}

std::vector<LibraryLoad> LibraryLoads() {
    std::lock_guard lock(g_mutex);
    return g_loads;
}

size_t LoadedLibraryCount() {
    std::lock_guard lock(g_mutex);
    size_t count = 0;
    for (const Module& m : g_modules)
        count += m.references > 0 ? 1 : 0;
    return count;
}

} // namespace sim

using namespace sim;

HMODULE WINAPI LoadLibraryW(LPCWSTR name) {
    DWORD error = 0;
    if (TakeFailure(Call::LoadLibraryW, &error)) {
        SetLastError(error);
        return nullptr;
    }
    return Load(name, 0);
}

HMODULE WINAPI LoadLibraryExW(LPCWSTR name, HANDLE reserved, DWORD flags) {
    DWORD error = 0;
    if (TakeFailure(Call::LoadLibraryExW, &error)) {
        SetLastError(error);
        return nullptr;
    }
    if (reserved) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return Load(name, flags);
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name) {
    DWORD error = 0;
    if (TakeFailure(Call::GetProcAddress, &error)) {
        SetLastError(error);
        return nullptr;
    }
    std::lock_guard lock(g_mutex);
    const Module* m = FromHandle(module);
    if (!m || m->references == 0) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    if (name && std::string(name) == "KsCreatePin" && m->name == u"ksuser.dll") {
        auto function = m->system ? &sim::KsCreatePin : &PlantedKsCreatePin;
        return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
    }
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

BOOL WINAPI FreeLibrary(HMODULE module) {
    std::lock_guard lock(g_mutex);
    Module* m = FromHandle(module);
    if (!m || m->references == 0) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    --m->references;
    return TRUE;
}
