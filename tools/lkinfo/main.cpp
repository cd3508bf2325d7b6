// lkinfo: shows what the Larkspur ASIO driver reports about itself and the device.
#include "tools/common/driver_loader.h"
#include "tools/lkinfo/report.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

void Usage(std::FILE* out) {
    std::fprintf(out, "usage: lkinfo [--driver PATH] [--no-device]\n"
                      "Loads the driver as an ASIO host does and prints what it reports.\n"
                      "  --no-device  tell the simulated machine that no device is attached\n");
}

using AttachNoDeviceFn = void (*)();
using DescribeFn = size_t (*)(char*, size_t);

// The text an exported describing function of the library writes; empty when it has none.
std::string LibraryText(const lktool::DriverLibrary& library, const char* symbol) {
    auto describe = reinterpret_cast<DescribeFn>(library.Symbol(symbol));
    if (!describe)
        return {};
    std::string text(describe(nullptr, 0) + 1, '\0');
    text.resize(describe(text.data(), text.size()));
    return text;
}

} // namespace

int main(int argc, char** argv) {
    std::string driverPath = lktool::DefaultDriverPath(argv[0]);
    bool noDevice = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--driver") == 0 && i + 1 < argc) {
            driverPath = argv[++i];
        } else if (std::strcmp(argv[i], "--no-device") == 0) {
            noDevice = true;
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            Usage(stdout);
            return 0;
        } else {
            Usage(stderr);
            return 2;
        }
    }

    lktool::DriverLibrary library;
    if (!library.Load(driverPath)) {
        std::fprintf(stderr, "lkinfo: %s\n", library.error().c_str());
        return 3;
    }
    if (noDevice) {
        auto attachNoDevice = reinterpret_cast<AttachNoDeviceFn>(library.Symbol("LkSimAttachNoDevice"));
        if (!attachNoDevice) {
            std::fprintf(stderr, "lkinfo: --no-device needs a driver library with the simulated machine\n");
            return 2;
        }
        attachNoDevice();
    }
    IASIO* driver = library.CreateDriver();
    if (!driver) {
        std::fprintf(stderr, "lkinfo: %s\n", library.error().c_str());
        return 3;
    }
    // The simulated device's render pins (when the library carries the simulation), and where the
    // driver's buffer size and safety buffers come from.
    lkinfo::PrintReport(driver, stdout, LibraryText(library, "LkSimDescribeRenderPins"),
                        LibraryText(library, "LkDescribeBufferSizeSetting"),
                        LibraryText(library, "LkDescribeSafetyBuffersSetting"));
    driver->Release();
    return 0;
}
