// lkstreamcheck: streams through the unmodified lkasio64.dll under Windows (or Wine) into the Larkspur
// model attached at the DLL's imports. It registers the DLL with regsvr32, creates the driver through
// CoCreateInstance as hosts do, plays PCM 44.1 kHz, PCM 192 kHz and DSD64 test streams, checks that the
// model received them bit-exact and that every device request matched the SDK's definitions, then
// exercises stop, restart, release and CoFreeUnusedLibraries. One line per check, a final result line;
// exit status 0 only when every check passed.
// Usage: lkstreamcheck.exe [--buffer-size N] <path of lkasio64.dll>
// With --buffer-size it checks only the user's buffer size, N (set in the registry beforehand): the
// sizes offered and a PCM and a DSD stream at that size.
#include "lkmodel/lkmodel.h"
#include "platform/asio.h"
#include "tools/lkstreamcheck/checks.h"
#include "tools/lkstreamcheck/stream_verify.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace lkcheck;

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    int32_t userSize = 0;
    if (argc == 4 && std::strcmp(argv[1], "--buffer-size") == 0)
        userSize = std::atoi(argv[2]);
    if (argc != 2 && userSize <= 0) {
        std::printf("usage: lkstreamcheck.exe [--buffer-size N] <path of lkasio64.dll>\n");
        return 2;
    }
    StartWatchdog(100000);
    const std::wstring dll = Widen(argv[argc - 1]);
    if (!userSize)
        CheckDllGuids(dll);

    Step("registration");
    CLSID clsid{};
    if (!Check("regsvr32 registers the DLL", Register(dll), "regsvr32 failed") ||
        !Check("the ASIO driver list names its class", FindDriverClass(&clsid),
               "no CLSID under SOFTWARE\\ASIO"))
        return Finish();
    CoInitialize(nullptr);
    if (userSize) {
        RunUserBufferSize(clsid, userSize);
        return Finish();
    }

    RunStreams(clsid);
    CheckTheChecks();
    // The failure paths need a driver that streams at all.
    if (Failures() == 0)
        RunFailurePaths(clsid);
    return Finish();
}
