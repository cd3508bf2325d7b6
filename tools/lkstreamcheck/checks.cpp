#include "tools/lkstreamcheck/checks.h"

#include "lkmodel/lkmodel.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <vector>

namespace lkcheck {
namespace {

std::atomic<int> g_passed{0};
std::atomic<int> g_failed{0};
const char* g_step = "start";
DWORD g_watchdogMs = 0;

DWORD WINAPI Watchdog(LPVOID) {
    ::Sleep(g_watchdogMs);
    std::printf("FAIL: the run took longer than %lu ms (in: %s)\n", static_cast<unsigned long>(g_watchdogMs),
                g_step);
    std::printf("lkstreamcheck: %d passed, %d failed\n", g_passed.load(), g_failed.load() + 1);
    std::printf("result: FAIL\n");
    std::fflush(stdout);
    ::TerminateProcess(::GetCurrentProcess(), 3);
    return 0;
}

struct Bounded {
    void (*work)(void*);
    void* context;
};

DWORD WINAPI RunWork(LPVOID parameter) {
    auto* bounded = static_cast<Bounded*>(parameter);
    bounded->work(bounded->context);
    return 0;
}

void Report() {
    std::printf("lkstreamcheck: %d passed, %d failed\n", g_passed.load(), g_failed.load());
}

} // namespace

void Step(const char* name) {
    g_step = name;
    std::printf("-- %s\n", name);
}

bool Check(const std::string& name, bool passed, const std::string& problem) {
    if (passed) {
        ++g_passed;
        std::printf("ok:   %s\n", name.c_str());
    } else {
        ++g_failed;
        std::printf("FAIL: %s%s%s\n", name.c_str(), problem.empty() ? "" : ": ", problem.c_str());
    }
    return passed;
}

int Failures() {
    return g_failed.load();
}

int Finish() {
    Report();
    const bool passed = g_failed.load() == 0 && g_passed.load() > 0;
    std::printf("result: %s\n", passed ? "PASS" : "FAIL");
    std::fflush(stdout);
    // The driver's threads may still be winding down in a failed run; do not wait for them at exit.
    ::TerminateProcess(::GetCurrentProcess(), passed ? 0 : 1);
    return passed ? 0 : 1;
}

void StartWatchdog(DWORD ms) {
    g_watchdogMs = ms;
    HANDLE thread = ::CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr);
    if (thread)
        ::CloseHandle(thread);
}

bool RunBounded(DWORD ms, void (*work)(void*), void* context) {
    auto* bounded = new (std::nothrow) Bounded{work, context};
    if (!bounded)
        return false;
    HANDLE thread = ::CreateThread(nullptr, 0, RunWork, bounded, 0, nullptr);
    if (!thread) {
        delete bounded;
        return false;
    }
    const bool done = ::WaitForSingleObject(thread, ms) == WAIT_OBJECT_0;
    ::CloseHandle(thread);
    if (done)
        delete bounded;
    return done;
}

std::wstring Widen(const char* text) {
    std::wstring out;
    for (; *text; ++text)
        out += static_cast<wchar_t>(static_cast<unsigned char>(*text));
    return out;
}

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text)
        out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

void CheckDllGuids(const std::wstring& dll) {
    Step("GUIDs in the DLL");
    std::vector<unsigned char> bytes;
    if (FILE* file = _wfopen(dll.c_str(), L"rb")) {
        unsigned char chunk[65536];
        size_t read = 0;
        while ((read = std::fread(chunk, 1, sizeof chunk, file)) > 0)
            bytes.insert(bytes.end(), chunk, chunk + read);
        std::fclose(file);
    }
    if (!Check("the DLL can be read", !bytes.empty(), Narrow(dll)))
        return;
    auto contains = [&](const GUID& guid) {
        const auto* pattern = reinterpret_cast<const unsigned char*>(&guid);
        for (size_t i = 0; i + sizeof guid <= bytes.size(); ++i)
            if (std::memcmp(bytes.data() + i, pattern, sizeof guid) == 0)
                return true;
        return false;
    };
    struct Named {
        const char* name;
        GUID guid;
    };
    // The SDK headers' own values, independent of the project's definitions.
    const Named kSent[] = {
        {"KSPROPSETID_Pin", {STATIC_KSPROPSETID_Pin}},
        {"KSPROPSETID_Connection", {STATIC_KSPROPSETID_Connection}},
        {"KSPROPSETID_Audio", {STATIC_KSPROPSETID_Audio}},
        {"KSPROPSETID_Topology", {STATIC_KSPROPSETID_Topology}},
        {"KSINTERFACESETID_Standard", {STATIC_KSINTERFACESETID_Standard}},
        {"KSMEDIUMSETID_Standard", {STATIC_KSMEDIUMSETID_Standard}},
        {"KSDATAFORMAT_TYPE_AUDIO", {STATIC_KSDATAFORMAT_TYPE_AUDIO}},
        {"KSDATAFORMAT_SUBTYPE_PCM", {STATIC_KSDATAFORMAT_SUBTYPE_PCM}},
        {"KSDATAFORMAT_SPECIFIER_WAVEFORMATEX", {STATIC_KSDATAFORMAT_SPECIFIER_WAVEFORMATEX}},
        {"KSCATEGORY_AUDIO", {STATIC_KSCATEGORY_AUDIO}},
        {"KSCATEGORY_RENDER", {STATIC_KSCATEGORY_RENDER}},
    };
    for (const Named& named : kSent)
        Check(std::string(named.name) + " has the SDK's bytes in the DLL", contains(named.guid), "not found");
    const GUID topologyNode = {STATIC_KSPROPSETID_TopologyNode};
    Check("no KSPROPSETID_TopologyNode bytes in the DLL (the import library's wrong topology set)",
          !contains(topologyNode), "found");
}

bool Register(const std::wstring& dll) {
    std::wstring command = L"regsvr32.exe /s \"" + dll + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &process))
        return false;
    const bool ended = ::WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0;
    DWORD code = 1;
    ::GetExitCodeProcess(process.hProcess, &code);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return ended && code == 0;
}

bool FindDriverClass(CLSID* clsid) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO\\ASIO Larkspur Driver", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return false;
    wchar_t text[64] = {};
    DWORD size = sizeof text - sizeof(wchar_t);
    DWORD type = 0;
    const bool read = ::RegQueryValueExW(key, L"CLSID", nullptr, &type, reinterpret_cast<BYTE*>(text),
                                         &size) == ERROR_SUCCESS &&
                      type == REG_SZ;
    ::RegCloseKey(key);
    return read && SUCCEEDED(::CLSIDFromString(text, clsid));
}

} // namespace lkcheck
