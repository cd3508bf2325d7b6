// asiohost: a minimal Windows ASIO host for checking the installed driver. It lists the drivers under
// HKEY_LOCAL_MACHINE\SOFTWARE\ASIO, creates the named one through COM with its class ID as interface
// ID, asks it the questions a host asks before streaming, and releases it. Windows only.
#include "platform/asio.h"
#include "tools/common/asio_names.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

using lktool::AsioErrorName;

// Hosts hand these buffer sizes to getDriverName and getErrorMessage; a longer text would overrun them.
constexpr size_t kHostNameBytes = 32;
constexpr size_t kHostErrorBytes = 124;

std::string Narrow(const wchar_t* text) {
    std::string out;
    for (; *text; ++text)
        out += *text < 0x80 ? static_cast<char>(*text) : '?';
    return out;
}

std::wstring Wide(const char* text) {
    std::wstring out;
    for (; *text; ++text)
        out += static_cast<wchar_t>(static_cast<unsigned char>(*text));
    return out;
}

struct DriverEntry {
    std::wstring name;
    std::wstring clsidText;
};

// The driver list as hosts read it: every subkey of SOFTWARE\ASIO with a CLSID string value.
int ListDrivers(const std::wstring& wanted, DriverEntry* found) {
    HKEY asio = nullptr;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO", 0, KEY_READ, &asio);
    if (status != ERROR_SUCCESS) {
        std::printf("list: cannot open HKEY_LOCAL_MACHINE\\SOFTWARE\\ASIO (error %ld)\n", status);
        return -1;
    }
    int count = 0;
    bool matched = false;
    wchar_t name[MAX_PATH];
    for (DWORD index = 0; RegEnumKeyW(asio, index, name, MAX_PATH) == ERROR_SUCCESS; ++index) {
        HKEY driver = nullptr;
        wchar_t clsid[128] = {};
        DWORD size = sizeof clsid - sizeof(wchar_t);
        DWORD type = 0;
        if (RegOpenKeyExW(asio, name, 0, KEY_READ, &driver) == ERROR_SUCCESS) {
            if (RegQueryValueExW(driver, L"CLSID", nullptr, &type, reinterpret_cast<BYTE*>(clsid), &size) !=
                    ERROR_SUCCESS ||
                type != REG_SZ)
                clsid[0] = 0;
            RegCloseKey(driver);
        }
        ++count;
        std::printf("list: \"%s\" CLSID %s\n", Narrow(name).c_str(),
                    clsid[0] ? Narrow(clsid).c_str() : "(none)");
        if (!matched && _wcsicmp(name, wanted.c_str()) == 0 && clsid[0]) {
            matched = true;
            *found = DriverEntry{name, clsid};
        }
    }
    RegCloseKey(asio);
    std::printf("list: %d driver(s)\n", count);
    return matched ? count : 0;
}

bool Exercise(IASIO* driver) {
    bool ok = true;
    char name[64] = {};
    driver->getDriverName(name);
    std::printf("name: %s\n", name);
    if (std::strlen(name) >= kHostNameBytes) {
        std::printf("name: longer than a host's %zu-byte buffer\n", kHostNameBytes);
        ok = false;
    }
    std::printf("version: %ld\n", static_cast<long>(driver->getDriverVersion()));

    const ASIOBool initialised = driver->init(nullptr);
    char error[256] = {};
    driver->getErrorMessage(error);
    std::printf("init: %ld\n", static_cast<long>(initialised));
    std::printf("error: %s\n", error);
    if (std::strlen(error) >= kHostErrorBytes) {
        std::printf("error: longer than a host's %zu-byte buffer\n", kHostErrorBytes);
        ok = false;
    }

    int32_t inputs = -1, outputs = -1;
    ASIOError result = driver->getChannels(&inputs, &outputs);
    std::printf("channels: %ld in, %ld out (%s)\n", static_cast<long>(inputs), static_cast<long>(outputs),
                AsioErrorName(result));
    int32_t minSize = -1, maxSize = -1, preferred = -1, granularity = -1;
    result = driver->getBufferSize(&minSize, &maxSize, &preferred, &granularity);
    std::printf("buffer sizes: min %ld, max %ld, preferred %ld, granularity %ld (%s)\n",
                static_cast<long>(minSize), static_cast<long>(maxSize), static_cast<long>(preferred),
                static_cast<long>(granularity), AsioErrorName(result));
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    const std::wstring wanted = Wide(argc > 1 ? argv[1] : "ASIO Larkspur Driver");
    std::setvbuf(stdout, nullptr, _IONBF, 0);

    DriverEntry entry;
    if (ListDrivers(wanted, &entry) <= 0) {
        std::printf("driver: \"%s\" is not listed\n", Narrow(wanted.c_str()).c_str());
        return 1;
    }
    std::printf("driver: \"%s\"\n", Narrow(entry.name.c_str()).c_str());

    CLSID clsid;
    HRESULT hr = CLSIDFromString(entry.clsidText.c_str(), &clsid);
    if (FAILED(hr)) {
        std::printf("clsid: %s does not parse (0x%08lX)\n", Narrow(entry.clsidText.c_str()).c_str(),
                    static_cast<unsigned long>(hr));
        return 1;
    }
    std::printf("clsid: %s\n", Narrow(entry.clsidText.c_str()).c_str());

    hr = CoInitialize(nullptr);
    if (FAILED(hr)) {
        std::printf("CoInitialize: 0x%08lX\n", static_cast<unsigned long>(hr));
        return 1;
    }
    // ASIO drivers answer their own class ID as the interface ID of IASIO.
    IASIO* driver = nullptr;
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, clsid, reinterpret_cast<void**>(&driver));
    std::printf("create: 0x%08lX\n", static_cast<unsigned long>(hr));
    int exitCode = 1;
    if (SUCCEEDED(hr) && driver) {
        const bool ok = Exercise(driver);
        const ULONG left = driver->Release();
        std::printf("release: %lu\n", static_cast<unsigned long>(left));
        exitCode = ok && left == 0 ? 0 : 1;
    }
    CoUninitialize();
    return exitCode;
}
