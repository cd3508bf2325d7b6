// The driver's settings window on Windows: one modeless dialog per process, from the DLL's resources,
// living on the thread that opened it (the host's, whose message loop runs it).
#include "platform/control_panel.h"
#include "platform/windows/control_panel_ids.h"

#include <cstdio>

namespace {

// The open panel and the driver it serves. The model is cleared when that driver goes away.
SRWLOCK g_lock = SRWLOCK_INIT;
HWND g_window = nullptr;
DWORD g_windowThread = 0;
ControlPanelModel* g_model = nullptr;

// What the dialog shows; touched only on the window's thread.
ControlPanelFacts g_facts;

class Locked {
public:
    Locked() { AcquireSRWLockExclusive(&g_lock); }
    ~Locked() { ReleaseSRWLockExclusive(&g_lock); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
};

ControlPanelModel* CurrentModel() {
    Locked lock;
    return g_model;
}

HMODULE ThisModule() {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&OpenControlPanel), &module);
    return module;
}

void SetText(HWND dialog, int id, const char* text) {
    SetDlgItemTextA(dialog, id, text);
}

constexpr const char* kSafetyChoices[] = {"none (lowest latency)", "1", "2"};
static_assert(sizeof kSafetyChoices / sizeof kSafetyChoices[0] == ControlPanelFacts::kMaxSafetyChoice + 1);
// Refreshes the drop-out count while the panel is open.
constexpr UINT_PTR kDropOutTimer = 1;
constexpr UINT kDropOutRefreshMs = 1000;

int Selected(HWND dialog, int id) {
    return static_cast<int>(SendDlgItemMessageW(dialog, id, CB_GETCURSEL, 0, 0));
}

void ShowLatency(HWND dialog) {
    const int index = Selected(dialog, IDC_PANEL_BUFFER_SIZE);
    char text[96] = "";
    if (index >= 0 && index < g_facts.choiceCount) {
        if (g_facts.choiceMilliseconds[index] > 0)
            std::snprintf(text, sizeof text, "%.2f ms per buffer at %.0f Hz",
                          g_facts.choiceMilliseconds[index], g_facts.sampleRate);
        else
            std::snprintf(text, sizeof text, "unknown at this sample rate");
    }
    SetText(dialog, IDC_PANEL_LATENCY, text);

    // What a host would be told with both choices as they stand.
    const int safety = Selected(dialog, IDC_PANEL_SAFETY);
    text[0] = '\0';
    if (safety >= 0 && safety <= ControlPanelFacts::kMaxSafetyChoice) {
        if (const double ms = PanelOutputMilliseconds(g_facts, index, safety); ms > 0)
            std::snprintf(text, sizeof text, "%.2f ms at %.0f Hz", ms, g_facts.sampleRate);
        else if (index >= 0)
            std::snprintf(text, sizeof text, "unknown at this sample rate");
    }
    SetText(dialog, IDC_PANEL_OUTPUT_LATENCY, text);
}

void ShowDropOuts(HWND dialog) {
    char text[64];
    std::snprintf(text, sizeof text, "Drop-outs in this stream: %lu",
                  static_cast<unsigned long>(g_facts.overloads));
    SetText(dialog, IDC_PANEL_DROPOUTS, text);
}

void ShowFacts(HWND dialog) {
    if (ControlPanelModel* model = CurrentModel())
        model->GetPanelFacts(&g_facts);
    char text[96];
    std::snprintf(text, sizeof text, "%s, version %d", g_facts.driverName,
                  static_cast<int>(g_facts.driverVersion));
    SetText(dialog, IDC_PANEL_DRIVER, text);
    SetText(dialog, IDC_PANEL_DEVICE, g_facts.connected ? "Larkspur connected" : "Larkspur not connected");
    std::snprintf(text, sizeof text, "%.0f Hz, %s", g_facts.sampleRate, g_facts.dsd ? "DSD" : "PCM");
    SetText(dialog, IDC_PANEL_RATE, text);

    HWND list = GetDlgItem(dialog, IDC_PANEL_BUFFER_SIZE);
    SendMessageW(list, CB_RESETCONTENT, 0, 0);
    int selected = -1;
    for (int i = 0; i < g_facts.choiceCount; ++i) {
        const int frames = static_cast<int>(g_facts.choices[i]);
        if (g_facts.dsd)
            std::snprintf(text, sizeof text, "%d (%d DSD samples)", frames, 32 * frames);
        else
            std::snprintf(text, sizeof text, "%d samples", frames);
        SendMessageA(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
        if (g_facts.choices[i] == g_facts.settingFrames)
            selected = i;
    }
    SendMessageW(list, CB_SETCURSEL, static_cast<WPARAM>(selected), 0);

    HWND safety = GetDlgItem(dialog, IDC_PANEL_SAFETY);
    SendMessageW(safety, CB_RESETCONTENT, 0, 0);
    for (const char* choice : kSafetyChoices)
        SendMessageA(safety, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(choice));
    SendMessageW(safety, CB_SETCURSEL, static_cast<WPARAM>(g_facts.settingSafety), 0);
    ShowLatency(dialog);
    ShowDropOuts(dialog);
}

void RefreshDropOuts(HWND dialog) {
    ControlPanelModel* model = CurrentModel();
    if (!model)
        return;
    ControlPanelFacts now;
    model->GetPanelFacts(&now);
    g_facts.overloads = now.overloads;
    ShowDropOuts(dialog);
}

void Forget(HWND dialog) {
    Locked lock;
    if (g_window == dialog) {
        g_window = nullptr;
        g_windowThread = 0;
        g_model = nullptr;
    }
}

void Apply(HWND dialog) {
    const int index = Selected(dialog, IDC_PANEL_BUFFER_SIZE);
    const int safety = Selected(dialog, IDC_PANEL_SAFETY);
    ControlPanelModel* model = CurrentModel();
    if (model && index >= 0 && index < g_facts.choiceCount && safety >= 0 &&
        safety <= ControlPanelFacts::kMaxSafetyChoice) {
        // The host may release the driver, and with it close this window, inside the call.
        const LONG status = model->ApplyPanelSettings(g_facts.choices[index], safety);
        if (status != ERROR_SUCCESS) {
            if (IsWindow(dialog)) {
                char text[96];
                std::snprintf(text, sizeof text, "The settings could not be stored (error %ld).",
                              static_cast<long>(status));
                SetText(dialog, IDC_PANEL_STATUS, text);
            }
            return;
        }
    }
    if (IsWindow(dialog))
        DestroyWindow(dialog);
}

// Brings the open panel forward and shows the facts of now.
constexpr UINT kRefreshMessage = WM_APP + 1;

INT_PTR CALLBACK PanelProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        ShowFacts(dialog);
        SetTimer(dialog, kDropOutTimer, kDropOutRefreshMs, nullptr);
        return TRUE;
    case WM_TIMER:
        if (wParam == kDropOutTimer)
            RefreshDropOuts(dialog);
        return TRUE;
    case kRefreshMessage:
        ShowFacts(dialog);
        ShowWindow(dialog, SW_SHOWNORMAL);
        BringWindowToTop(dialog);
        SetForegroundWindow(dialog);
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_PANEL_BUFFER_SIZE:
        case IDC_PANEL_SAFETY:
            if (HIWORD(wParam) == CBN_SELCHANGE)
                ShowLatency(dialog);
            return TRUE;
        case IDOK:
            Apply(dialog);
            return TRUE;
        case IDCANCEL:
            DestroyWindow(dialog);
            return TRUE;
        }
        return FALSE;
    case WM_CLOSE:
        DestroyWindow(dialog);
        return TRUE;
    case WM_DESTROY:
        KillTimer(dialog, kDropOutTimer);
        Forget(dialog);
        return TRUE;
    }
    return FALSE;
}

} // namespace

bool OpenControlPanel(ControlPanelModel* model) {
    HWND open = nullptr;
    DWORD thread = 0;
    {
        Locked lock;
        if (g_window && IsWindow(g_window)) {
            g_model = model;
            open = g_window;
            thread = g_windowThread;
        }
    }
    if (open) {
        // Never wait for another thread's message loop.
        if (thread == GetCurrentThreadId())
            SendMessageW(open, kRefreshMessage, 0, 0);
        else
            PostMessageW(open, kRefreshMessage, 0, 0);
        return true;
    }

    // The model is in place before the dialog asks for its facts.
    {
        Locked lock;
        g_model = model;
    }
    HWND dialog =
        CreateDialogParamW(ThisModule(), MAKEINTRESOURCEW(IDD_LARKSPUR_PANEL), nullptr, &PanelProc, 0);
    if (!dialog) {
        Locked lock;
        g_model = nullptr;
        return false;
    }
    {
        Locked lock;
        g_window = dialog;
        g_windowThread = GetCurrentThreadId();
    }
    ShowWindow(dialog, SW_SHOWNORMAL);
    SetForegroundWindow(dialog);
    return true;
}

void CloseControlPanel(ControlPanelModel* model) {
    HWND window = nullptr;
    DWORD thread = 0;
    {
        Locked lock;
        if (!model || g_model != model)
            return;
        g_model = nullptr;
        window = g_window;
        thread = g_windowThread;
    }
    if (!window)
        return;
    // A window can only be destroyed by its own thread; another thread asks it to close.
    if (thread == GetCurrentThreadId())
        DestroyWindow(window);
    else
        PostMessageW(window, WM_CLOSE, 0, 0);
}
