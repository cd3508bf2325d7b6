#include "tools/common/driver_loader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace lktool {

namespace {
using GetClassObjectFn = HRESULT (*)(REFCLSID, REFIID, void**);
}

DriverLibrary::~DriverLibrary() {
    // The library stays mapped: a driver object or its render thread may outlive this wrapper.
}

bool DriverLibrary::Load(const std::string& path) {
    m_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!m_handle) {
        const char* why = dlerror();
        m_error = "cannot load driver library " + path + ": " + (why ? why : "unknown error");
        return false;
    }
    return true;
}

void* DriverLibrary::Symbol(const char* name) const {
    return m_handle ? dlsym(m_handle, name) : nullptr;
}

IASIO* DriverLibrary::CreateDriver() {
    auto getClassObject = reinterpret_cast<GetClassObjectFn>(Symbol("DllGetClassObject"));
    if (!getClassObject) {
        m_error = "the driver library exports no DllGetClassObject";
        return nullptr;
    }
    IClassFactory* factory = nullptr;
    HRESULT hr = getClassObject(CLSID_ASIOLarkspur, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (FAILED(hr) || !factory) {
        m_error = "DllGetClassObject failed: " + HresultText(hr);
        return nullptr;
    }
    IASIO* driver = nullptr;
    hr = factory->CreateInstance(nullptr, CLSID_ASIOLarkspur, reinterpret_cast<void**>(&driver));
    factory->Release();
    if (FAILED(hr) || !driver) {
        m_error = "CreateInstance failed: " + HresultText(hr);
        return nullptr;
    }
    return driver;
}

std::string DefaultDriverPath(const char* argv0) {
    if (const char* env = std::getenv("LKASIO_DRIVER"); env && *env)
        return env;
    std::string self = argv0 ? argv0 : "";
    char resolved[4096];
    if (ssize_t n = readlink("/proc/self/exe", resolved, sizeof resolved - 1); n > 0) {
        resolved[n] = '\0';
        self = resolved;
    }
    const size_t slash = self.rfind('/');
    return (slash == std::string::npos ? std::string(".") : self.substr(0, slash)) + "/lkasio64.so";
}

std::string HresultText(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}

} // namespace lktool
