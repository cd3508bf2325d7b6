// lkinfo: shows what the Larkspur ASIO driver reports about itself and the device.
#include "tools/common/driver_loader.h"
#include "tools/lkinfo/report.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

void Usage(std::FILE* out) {
    std::fprintf(out, "usage: lkinfo [--driver PATH]\n"
                      "Loads the driver as an ASIO host does and prints what it reports.\n");
}

} // namespace

int main(int argc, char** argv) {
    std::string driverPath = lktool::DefaultDriverPath(argv[0]);
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--driver") == 0 && i + 1 < argc) {
            driverPath = argv[++i];
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
    IASIO* driver = library.CreateDriver();
    if (!driver) {
        std::fprintf(stderr, "lkinfo: %s\n", library.error().c_str());
        return 3;
    }
    lkinfo::PrintReport(driver, stdout);
    driver->Release();
    return 0;
}
