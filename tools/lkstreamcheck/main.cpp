// lkstreamcheck: streams through the unmodified lkasio64.dll under Windows (or Wine) into the Larkspur
// model attached at the DLL's imports. It registers the DLL with regsvr32, creates the driver through
// CoCreateInstance as hosts do, plays PCM 44.1 kHz, PCM 192 kHz and DSD64 test streams, checks that the
// model received them bit-exact and that every device request matched the SDK's definitions, then
// exercises stop, restart, release and CoFreeUnusedLibraries. One line per check, a final result line;
// exit status 0 only when every check passed.
// Usage: lkstreamcheck.exe [--safety S] [--buffer-size N] <path of lkasio64.dll>
// With --buffer-size it checks only the user's buffer size, N (set in the registry beforehand): the
// sizes offered and a PCM and a DSD stream at that size. --safety S names the safety buffers the
// driver must use (set in the registry beforehand); without it, the registry's value is expected.
#include "lkmodel/lkmodel.h"
#include "platform/asio.h"
#include "tools/lkstreamcheck/checks.h"
#include "tools/lkstreamcheck/host.h"
#include "tools/lkstreamcheck/stream_verify.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace lkcheck;

namespace {

// SafetyBuffers under HKCU\Software\Larkspur\ASIO as the driver takes it: 0 to 2, anything else 0.
int SafetyInRegistry() {
    DWORD value = 0;
    DWORD size = sizeof value;
    if (::RegGetValueW(HKEY_CURRENT_USER, L"Software\\Larkspur\\ASIO", L"SafetyBuffers", RRF_RT_REG_DWORD,
                       nullptr, &value, &size) != ERROR_SUCCESS ||
        value > 2)
        return 0;
    return static_cast<int>(value);
}

int Usage() {
    std::printf("usage: lkstreamcheck.exe [--safety S] [--buffer-size N] <path of lkasio64.dll>\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    int32_t userSize = 0;
    g_safety = SafetyInRegistry();
    int at = 1;
    for (; at + 1 < argc && std::strncmp(argv[at], "--", 2) == 0; at += 2) {
        if (std::strcmp(argv[at], "--buffer-size") == 0 && (userSize = std::atoi(argv[at + 1])) > 0)
            continue;
        if (std::strcmp(argv[at], "--safety") == 0 && std::strlen(argv[at + 1]) == 1 &&
            argv[at + 1][0] >= '0' && argv[at + 1][0] <= '2') {
            g_safety = argv[at + 1][0] - '0';
            continue;
        }
        return Usage();
    }
    if (at != argc - 1)
        return Usage();
    std::printf("safety buffers expected: %d\n", g_safety);
    StartWatchdog(150000);
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
