// The main run: attach the model, play the three streams, restart, an input-only stream, the format
// values, release, unload, and create the driver once more after the DLL was unloaded.
#include "lkmodel/lkmodel.h"
#include "tools/lkstreamcheck/checks.h"
#include "tools/lkstreamcheck/host.h"

#include <cstdio>
#include <string>

namespace lkcheck {
namespace {

constexpr wchar_t kDllName[] = L"lkasio64.dll";

IASIO* Create(const CLSID& clsid) {
    IASIO* driver = nullptr;
    const HRESULT hr =
        ::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, clsid, reinterpret_cast<void**>(&driver));
    char text[64];
    std::snprintf(text, sizeof text, "hr %#lx", static_cast<unsigned long>(hr));
    return Check("CoCreateInstance creates the driver", SUCCEEDED(hr) && driver, text) ? driver : nullptr;
}

bool AttachAndInit(IASIO* driver) {
    HMODULE module = ::GetModuleHandleW(kDllName);
    if (!Check("the DLL is loaded in the process", module != nullptr))
        return false;
    if (!Check("the model attaches at the DLL's imports", lkmodel_attach(module) == LKMODEL_OK))
        return false;
    Check("a second attach is refused", lkmodel_attach(module) == LKMODEL_ALREADY_ATTACHED);
    const ASIOBool initialised = driver->init(nullptr);
    char error[128] = {};
    driver->getErrorMessage(error);
    return Check("init finds the Larkspur through the model", initialised == ASIOTrue, error);
}

} // namespace

void RunStreams(const CLSID& clsid) {
    g_host.done = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);

    Step("attaching");
    Check("attaching to a null module fails cleanly", lkmodel_attach(nullptr) == LKMODEL_NOT_LOADED);
    Check("attaching to an address with no module fails cleanly",
          lkmodel_attach(reinterpret_cast<HMODULE>(static_cast<ULONG_PTR>(0x10000))) == LKMODEL_NOT_LOADED);
    Check("detaching while not attached fails cleanly", lkmodel_detach() == LKMODEL_NOT_ATTACHED);
    IASIO* driver = Create(clsid);
    if (!driver || !AttachAndInit(driver))
        return;

    Step("streams");
    PlayStream(driver, {"PCM 44.1 kHz", false, 44100.0, 20});
    PlayStream(driver, {"PCM 192 kHz", false, 192000.0, 60});
    PlayStream(driver, {"DSD64", true, 2822400.0, 30});
    Step("restart");
    PlayStream(driver, {"PCM 44.1 kHz again", false, 44100.0, 12});
    Step("inputs only");
    PlayInputOnly(driver, {"PCM 44.1 kHz", false, 44100.0, 20});
    PlayInputOnly(driver, {"DSD64", true, 2822400.0, 20});
    CheckIoFormats(driver);

    Step("release and unload");
    Check("the final Release returns 0", driver->Release() == 0);
    Check("no model handle is left open", lkmodel_open_handles() == 0,
          std::to_string(lkmodel_open_handles()) + " open");
    ::CoFreeUnusedLibraries();
    Check("CoFreeUnusedLibraries unloads the DLL", ::GetModuleHandleW(kDllName) == nullptr);
    Check("detaching from an unloaded DLL succeeds", lkmodel_detach() == LKMODEL_OK);

    Step("loaded again");
    driver = Create(clsid);
    if (!driver || !AttachAndInit(driver))
        return;
    PlayStream(driver, {"PCM 48 kHz after reload", false, 48000.0, 12});
    Check("the final Release returns 0 again", driver->Release() == 0);
    Check("no model handle is left open again", lkmodel_open_handles() == 0);
    Check("detaching from the loaded DLL restores its imports", lkmodel_detach() == LKMODEL_OK);

    Step("requests");
    const size_t checked = lkmodel_requests_checked();
    const size_t refused = lkmodel_requests_refused();
    std::printf("requests: %zu checked against the SDK's definitions, %zu refused\n", checked, refused);
    Check("every device request matched the SDK's definitions", checked > 0 && refused == 0,
          std::to_string(refused) + " refused");
}

} // namespace lkcheck
