// The user's buffer size (HKCU\Software\Larkspur\ASIO, BufferSize, set before the run): the DLL offers
// it in PCM and 32 times it in DSD, and streams at that size, bit-exact, one half per write.
#include "lkmodel/lkmodel.h"
#include "tools/lkstreamcheck/checks.h"
#include "tools/lkstreamcheck/host.h"

#include <string>

namespace lkcheck {
namespace {

constexpr wchar_t kDllName[] = L"lkasio64.dll";

bool SizeIs(IASIO* driver, const std::string& what, int32_t want) {
    int32_t minSize = -1, maxSize = -1, preferred = -1, granularity = -1;
    const ASIOError result = driver->getBufferSize(&minSize, &maxSize, &preferred, &granularity);
    return Check(what + ": getBufferSize offers " + std::to_string(want) + " only",
                 result == ASE_OK && minSize == want && maxSize == want && preferred == want &&
                     granularity == 0,
                 "min " + std::to_string(minSize) + ", max " + std::to_string(maxSize) + ", preferred " +
                     std::to_string(preferred) + ", granularity " + std::to_string(granularity));
}

} // namespace

void RunUserBufferSize(const CLSID& clsid, int32_t frames) {
    Step("the user's buffer size");
    g_host.done = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    IASIO* driver = nullptr;
    if (!Check("CoCreateInstance creates the driver",
               SUCCEEDED(::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, clsid,
                                            reinterpret_cast<void**>(&driver))) &&
                   driver) ||
        !Check("the model attaches at the DLL's imports",
               lkmodel_attach(::GetModuleHandleW(kDllName)) == LKMODEL_OK) ||
        !Check("init finds the Larkspur through the model", driver->init(nullptr) == ASIOTrue))
        return;

    ASIOIoFormat format{};
    format.FormatType = kASIOPCMFormat;
    driver->future(kAsioSetIoFormat, &format);
    SizeIs(driver, "PCM", frames);
    format.FormatType = kASIODSDFormat;
    driver->future(kAsioSetIoFormat, &format);
    SizeIs(driver, "DSD", frames * 32);

    // Enough periods for a few hundred milliseconds of each.
    const int periods = frames < 1024 ? 200 : 20;
    PlayStream(driver, {"PCM 44.1 kHz at the user's size", false, 44100.0, periods});
    PlayStream(driver, {"DSD64 at the user's size", true, 2822400.0, periods});
    Check("the final Release returns 0", driver->Release() == 0);
    Check("detaching restores the DLL's imports", lkmodel_detach() == LKMODEL_OK);
    Check("every device request matched the SDK's definitions", lkmodel_requests_refused() == 0,
          std::to_string(lkmodel_requests_refused()) + " refused");
}

} // namespace lkcheck
