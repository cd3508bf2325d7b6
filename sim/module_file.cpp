#include "sim/module_file.h"

#include "platform/platform.h"
#include "sim/char_case.h"
#include "sim/failure_injection.h"

#include <mutex>

namespace sim {
namespace {

const std::u16string kDefaultModulePath = u"C:\\Program Files\\Larkspur\\ASIO\\lkasio64.dll";

std::mutex g_mutex;
std::u16string g_modulePath = kDefaultModulePath;

// Fixed handles: the module's and the process's image bases.
HMODULE const kModuleHandle = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x180000000ull));
HMODULE const kProcessHandle = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x140000000ull));

std::u16string BaseName(const std::u16string& path) {
    const size_t slash = path.find_last_of(u"\\/");
    return slash == std::u16string::npos ? path : path.substr(slash + 1);
}

} // namespace

void SetModulePath(const std::u16string& path) {
    std::lock_guard lock(g_mutex);
    g_modulePath = path;
}

void ResetModulePath() {
    SetModulePath(kDefaultModulePath);
}

std::u16string ModulePath() {
    std::lock_guard lock(g_mutex);
    return g_modulePath;
}

std::u16string ProcessPath() {
    return u"C:\\Program Files\\Host\\host.exe";
}

} // namespace sim

// A name without a folder matches the module's file name, with ".dll" added when it has no extension;
// a name with a folder must match the whole path. Letter case does not matter.
HMODULE WINAPI GetModuleHandleW(LPCWSTR name) {
    DWORD error = 0;
    if (sim::TakeFailure(sim::Call::GetModuleHandleW, &error)) {
        SetLastError(error);
        return nullptr;
    }
    if (!name)
        return sim::kProcessHandle;
    std::u16string wanted(name);
    const std::u16string path = sim::ModulePath();
    bool found;
    if (wanted.find_first_of(u"\\/") != std::u16string::npos) {
        found = sim::EqualIgnoringCase(wanted, path);
    } else {
        if (wanted.find(u'.') == std::u16string::npos)
            wanted += u".dll";
        found = sim::EqualIgnoringCase(wanted, sim::BaseName(path));
    }
    if (!found) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return sim::kModuleHandle;
}

// A path that does not fit is cut to size - 1 characters and terminated; the result is then `size`
// with ERROR_INSUFFICIENT_BUFFER, as on current Windows.
DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR name, DWORD size) {
    DWORD error = 0;
    if (sim::TakeFailure(sim::Call::GetModuleFileNameW, &error)) {
        SetLastError(error);
        return 0;
    }
    std::u16string path;
    if (module == sim::kModuleHandle) {
        path = sim::ModulePath();
    } else if (module == nullptr || module == sim::kProcessHandle) {
        path = sim::ProcessPath();
    } else {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    if (size == 0 || !name) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path.size() >= size) {
        WideTraits::copy(name, path.data(), size - 1);
        name[size - 1] = 0;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    WideTraits::copy(name, path.data(), path.size());
    name[path.size()] = 0;
    return static_cast<DWORD>(path.size());
}
