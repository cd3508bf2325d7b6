// lkpanelcheck: a small Windows host for checking the driver's settings panel under Wine. It creates
// the installed driver through COM, attaches the Larkspur model to it (so that init finds a device
// under Wine), and then either
//   sizes               prints getBufferSize in PCM and in DSD, or
//   panel SIZE DIR [SAFETY]
//                       creates buffers, opens the panel (twice), writes DIR\panel.ready and waits for
//                       DIR\panel.go while it runs the panel (so a screenshot can be taken), then picks
//                       SIZE in the panel's size list and SAFETY (0 to 2, default 2) in its safety
//                       buffers list and presses OK, all by window messages, and prints what the panel
//                       showed, what the host was told and the sizes and latencies afterwards.
// Windows only.
#include "lkmodel/lkmodel.h"
#include "platform/asio.h"
#include "platform/windows/control_panel_ids.h"
#include "tools/common/asio_names.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using lktool::AsioErrorName;

constexpr wchar_t kClsid[] = L"{5B2E7C40-9A13-4D6F-8E21-3C7A94D0B518}";
constexpr DWORD kWaitForGoMs = 60000;

int g_resetRequests = 0;
int g_latencyMessages = 0;

void BufferSwitch(int32_t, ASIOBool) {}
void SampleRateDidChange(ASIOSampleRate) {}
int32_t AsioMessage(int32_t selector, int32_t value, void*, double*) {
    switch (selector) {
    case kAsioSelectorSupported:
        return value == kAsioResetRequest || value == kAsioLatenciesChanged ? 1 : 0;
    case kAsioResetRequest:
        ++g_resetRequests;
        return 1;
    case kAsioLatenciesChanged:
        ++g_latencyMessages;
        return 1;
    default:
        return 0;
    }
}
ASIOTime* BufferSwitchTimeInfo(ASIOTime* params, int32_t, ASIOBool) {
    return params;
}

void PrintSizes(IASIO* driver, const char* label) {
    int32_t minSize = -1, maxSize = -1, preferred = -1, granularity = -1;
    const ASIOError result = driver->getBufferSize(&minSize, &maxSize, &preferred, &granularity);
    std::printf("%s: min %ld, max %ld, preferred %ld, granularity %ld (%s)\n", label,
                static_cast<long>(minSize), static_cast<long>(maxSize), static_cast<long>(preferred),
                static_cast<long>(granularity), AsioErrorName(result));
}

void PrintLatencies(IASIO* driver, const char* label) {
    int32_t input = -1, output = -1;
    const ASIOError result = driver->getLatencies(&input, &output);
    std::printf("%s: input %ld, output %ld (%s)\n", label, static_cast<long>(input),
                static_cast<long>(output), AsioErrorName(result));
}

// The user's SafetyBuffers as the registry holds it, or -1 when there is none.
long StoredSafety() {
    DWORD value = 0;
    DWORD size = sizeof value;
    if (RegGetValueW(HKEY_CURRENT_USER, L"Software\\Larkspur\\ASIO", L"SafetyBuffers", RRF_RT_REG_DWORD,
                     nullptr, &value, &size) != ERROR_SUCCESS)
        return -1;
    return static_cast<long>(value);
}

void SetFormat(IASIO* driver, ASIOIoFormatType type) {
    ASIOIoFormat format{};
    format.FormatType = type;
    driver->future(kAsioSetIoFormat, &format);
}

// Dialog windows of this thread: the panel runs on the thread that opened it.
struct DialogSearch {
    int count = 0;
    HWND last = nullptr;
};

BOOL CALLBACK CountDialog(HWND window, LPARAM param) {
    wchar_t className[16] = {};
    GetClassNameW(window, className, 16);
    if (std::wcscmp(className, L"#32770") == 0) {
        auto* search = reinterpret_cast<DialogSearch*>(param);
        ++search->count;
        search->last = window;
    }
    return TRUE;
}

DialogSearch FindPanels() {
    DialogSearch search;
    EnumThreadWindows(GetCurrentThreadId(), &CountDialog, reinterpret_cast<LPARAM>(&search));
    return search;
}

void Pump() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

std::string ItemText(HWND dialog, int id) {
    char text[256] = {};
    GetDlgItemTextA(dialog, id, text, sizeof text);
    return text;
}

bool FileExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Runs the panel until DIR\panel.go appears; false after kWaitForGoMs.
bool ShowUntilGo(const std::string& dir) {
    if (FILE* ready = std::fopen((dir + "\\panel.ready").c_str(), "w"))
        std::fclose(ready);
    const DWORD start = GetTickCount();
    while (!FileExists(dir + "\\panel.go")) {
        if (GetTickCount() - start > kWaitForGoMs)
            return false;
        Pump();
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    }
    Pump();
    return true;
}

// Prints the entries of the panel's list `id` and picks the one `matches` takes, as a user's choice
// would, by messages.
template <typename Match> bool Choose(HWND dialog, int id, const char* label, Match matches) {
    HWND list = GetDlgItem(dialog, id);
    const LRESULT count = SendMessageW(list, CB_GETCOUNT, 0, 0);
    std::printf("%s:", label);
    int found = -1;
    for (LRESULT i = 0; i < count; ++i) {
        char text[64] = {};
        if (SendMessageA(list, CB_GETLBTEXTLEN, i, 0) >= static_cast<LRESULT>(sizeof text))
            continue;
        SendMessageA(list, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
        std::printf(" [%s]", text);
        if (found < 0 && matches(static_cast<int>(i), text))
            found = static_cast<int>(i);
    }
    std::printf("\n");
    if (found < 0)
        return false;
    SendMessageW(list, CB_SETCURSEL, static_cast<WPARAM>(found), 0);
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), reinterpret_cast<LPARAM>(list));
    return true;
}

bool ChooseSize(HWND dialog, int frames) {
    return Choose(dialog, IDC_PANEL_BUFFER_SIZE, "panel sizes",
                  [frames](int, const char* text) { return std::atoi(text) == frames; });
}

// The safety list holds none, 1 and 2 in that order.
bool ChooseSafety(HWND dialog, int safety) {
    return Choose(dialog, IDC_PANEL_SAFETY, "panel safety buffers",
                  [safety](int index, const char*) { return index == safety; });
}

int PanelCheck(IASIO* driver, int frames, int safety, const std::string& dir) {
    std::printf("init: %ld\n", static_cast<long>(driver->init(nullptr)));
    std::printf("setSampleRate 48000: %s\n", AsioErrorName(driver->setSampleRate(48000.0)));
    PrintSizes(driver, "before");
    int32_t minSize = 0, maxSize = 0, preferred = 0, granularity = 0;
    driver->getBufferSize(&minSize, &maxSize, &preferred, &granularity);
    ASIOCallbacks callbacks = {&BufferSwitch, &SampleRateDidChange, &AsioMessage, &BufferSwitchTimeInfo};
    ASIOBufferInfo infos[2] = {{ASIOFalse, 0, {nullptr, nullptr}}, {ASIOFalse, 1, {nullptr, nullptr}}};
    std::printf("createBuffers %ld: %s\n", static_cast<long>(preferred),
                AsioErrorName(driver->createBuffers(infos, 2, preferred, &callbacks)));

    std::printf("controlPanel: %s\n", AsioErrorName(driver->controlPanel()));
    const DialogSearch first = FindPanels();
    std::printf("panel windows: %d\n", first.count);
    if (first.count != 1)
        return 1;
    HWND dialog = first.last;
    std::printf("second controlPanel: %s\n", AsioErrorName(driver->controlPanel()));
    const DialogSearch second = FindPanels();
    std::printf("panel windows after the second call: %d (%s window)\n", second.count,
                second.last == dialog ? "the same" : "another");
    std::printf("panel visible: %d\n", IsWindowVisible(dialog) ? 1 : 0);

    if (!ShowUntilGo(dir)) {
        std::printf("panel.go did not appear\n");
        return 1;
    }
    std::printf("panel driver: %s\n", ItemText(dialog, IDC_PANEL_DRIVER).c_str());
    std::printf("panel device: %s\n", ItemText(dialog, IDC_PANEL_DEVICE).c_str());
    std::printf("panel rate: %s\n", ItemText(dialog, IDC_PANEL_RATE).c_str());
    std::printf("panel size: %s\n", ItemText(dialog, IDC_PANEL_BUFFER_SIZE).c_str());
    std::printf("panel latency: %s\n", ItemText(dialog, IDC_PANEL_LATENCY).c_str());
    std::printf("panel safety label: %s\n", ItemText(dialog, IDC_PANEL_SAFETY_LABEL).c_str());
    std::printf("panel safety: %s\n", ItemText(dialog, IDC_PANEL_SAFETY).c_str());
    std::printf("panel output latency: %s\n", ItemText(dialog, IDC_PANEL_OUTPUT_LATENCY).c_str());
    std::printf("panel drop-outs: %s\n", ItemText(dialog, IDC_PANEL_DROPOUTS).c_str());

    if (!ChooseSize(dialog, frames)) {
        std::printf("the panel offers no size %d\n", frames);
        return 1;
    }
    std::printf("chosen size: %s\n", ItemText(dialog, IDC_PANEL_BUFFER_SIZE).c_str());
    std::printf("chosen latency: %s\n", ItemText(dialog, IDC_PANEL_LATENCY).c_str());
    if (!ChooseSafety(dialog, safety)) {
        std::printf("the panel offers no safety choice %d\n", safety);
        return 1;
    }
    std::printf("chosen safety: %s\n", ItemText(dialog, IDC_PANEL_SAFETY).c_str());
    std::printf("chosen output latency: %s\n", ItemText(dialog, IDC_PANEL_OUTPUT_LATENCY).c_str());
    SendMessageW(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
    Pump();
    std::printf("panel open after OK: %d\n", IsWindow(dialog) ? 1 : 0);
    std::printf("reset requests: %d\n", g_resetRequests);
    std::printf("latency messages: %d\n", g_latencyMessages);

    std::printf("safety stored: %ld\n", StoredSafety());

    PrintSizes(driver, "with the buffers");
    PrintLatencies(driver, "latencies with the buffers");
    driver->disposeBuffers();
    PrintSizes(driver, "after the reset");
    PrintLatencies(driver, "latencies after the reset");
    SetFormat(driver, kASIODSDFormat);
    PrintSizes(driver, "after the reset, dsd");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const std::string command = argc > 1 ? argv[1] : "";
    if (command != "sizes" && !(command == "panel" && argc > 3)) {
        std::printf("usage: lkpanelcheck sizes | panel SIZE DIR [SAFETY]\n");
        return 2;
    }
    CLSID clsid;
    if (FAILED(CLSIDFromString(kClsid, &clsid)) || FAILED(CoInitialize(nullptr))) {
        std::printf("COM set-up failed\n");
        return 1;
    }
    IASIO* driver = nullptr;
    HRESULT hr =
        CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, clsid, reinterpret_cast<void**>(&driver));
    std::printf("create: 0x%08lX\n", static_cast<unsigned long>(hr));
    int exitCode = 1;
    if (SUCCEEDED(hr) && driver) {
        const int attached = lkmodel_attach(GetModuleHandleW(L"lkasio64.dll"));
        std::printf("model: %s\n", attached == LKMODEL_OK ? "attached" : "not attached");
        if (command == "sizes") {
            PrintSizes(driver, "pcm");
            SetFormat(driver, kASIODSDFormat);
            PrintSizes(driver, "dsd");
            exitCode = 0;
        } else {
            exitCode = PanelCheck(driver, std::atoi(argv[2]), argc > 4 ? std::atoi(argv[4]) : 2, argv[3]);
        }
        std::printf("release: %lu\n", static_cast<unsigned long>(driver->Release()));
        if (attached == LKMODEL_OK)
            lkmodel_detach();
    }
    CoUninitialize();
    return exitCode;
}
