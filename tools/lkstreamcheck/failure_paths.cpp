// The failure paths only Windows semantics show, with the behaviour hosts are owed: a device lost
// mid-stream (the host's clock goes on), writes that fail, one that comes back, requests that pend and then
// fail, stop while a write is pending, two driver objects in one process. Each step is bounded in time.
#include "lkmodel/lkmodel.h"
#include "tools/lkstreamcheck/checks.h"
#include "tools/lkstreamcheck/failing_writes.h"
#include "tools/lkstreamcheck/host.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace lkcheck {
namespace {

constexpr wchar_t kDllName[] = L"lkasio64.dll";
constexpr DWORD kStepMs = 5000;
constexpr double kRate = 44100.0;
// A teardown call that takes longer than this keeps a host's user waiting.
constexpr DWORD kPromptMs = 2000;
// Beside the model's faults: stream writes that pend and then fail (lkstreamcheck's own hook).
constexpr int kFailedWrites = 100;

void SetFault(int fault) {
    if (fault == kFailedWrites)
        FailWrites(true);
    else
        lkmodel_set_fault(fault);
}

void ClearFault() {
    FailWrites(false);
    lkmodel_set_fault(LKMODEL_FAULT_NONE);
}

struct Call {
    IASIO* driver;
    ASIOError result;
    enum Kind { Stop, Dispose, Release, Init, Start } kind;
};

void RunCall(void* context) {
    auto* call = static_cast<Call*>(context);
    switch (call->kind) {
    case Call::Stop:
        call->result = call->driver->stop();
        break;
    case Call::Dispose:
        call->result = call->driver->disposeBuffers();
        break;
    case Call::Release:
        call->result = static_cast<ASIOError>(call->driver->Release());
        break;
    case Call::Init:
        call->result = call->driver->init(nullptr);
        break;
    case Call::Start:
        call->result = call->driver->start();
        break;
    }
}

// One driver call on a thread of its own; false when it hung (the run then ends after reporting).
bool Bounded(IASIO* driver, Call::Kind kind, ASIOError* result, DWORD ms = kStepMs) {
    static Call call;
    call = {driver, 0, kind};
    if (!RunBounded(ms, RunCall, &call))
        return false;
    if (result)
        *result = call.result;
    return true;
}

IASIO* CreateStreaming(const CLSID& clsid, bool attach) {
    IASIO* driver = nullptr;
    if (FAILED(::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, clsid,
                                  reinterpret_cast<void**>(&driver))))
        return nullptr;
    if (attach && lkmodel_attach(::GetModuleHandleW(kDllName)) != LKMODEL_OK) {
        driver->Release();
        return nullptr;
    }
    return driver;
}

bool Prepare(IASIO* driver) {
    ASIOIoFormat format{};
    format.FormatType = kASIOPCMFormat;
    return driver->init(nullptr) == ASIOTrue && driver->future(kAsioSetIoFormat, &format) == ASE_SUCCESS &&
           driver->setSampleRate(kRate) == ASE_OK && CreateOutputs(driver) == ASE_OK;
}

bool StartAndWait(IASIO* driver, int periods) {
    PrepareStart(periods);
    return driver->start() == ASE_OK && ::WaitForSingleObject(g_host.done, 5000) == WAIT_OBJECT_0;
}

// Waits at most `ms` for the host's count of reset requests to reach `count`.
bool AwaitResets(int count, DWORD ms) {
    const DWORD start = ::GetTickCount();
    while (g_host.resets.load() < count) {
        if (::GetTickCount() - start > ms)
            return false;
        ::Sleep(10);
    }
    return true;
}

std::string ErrorText(IASIO* driver) {
    char text[128] = {};
    driver->getErrorMessage(text);
    return text;
}

// Ends the run when a driver call hung: nothing after it can be trusted.
void Hung(const std::string& what) {
    Check(what + " returns", false, "hung for more than " + std::to_string(kStepMs) + " ms");
    ClearFault();
    Finish();
}

// The host's callbacks over a span of about `ms`: about one per period (counted against the span the
// host measured, with a wide margin for a loaded machine), each one buffer after the one before.
void KeepsPace(const std::string& prefix, DWORD ms) {
    LARGE_INTEGER frequency{}, before{}, after{};
    ::QueryPerformanceFrequency(&frequency);
    const int faultsBefore = g_host.positionFaults.load() + g_host.indexFaults.load();
    const int first = g_host.switches.load();
    ::QueryPerformanceCounter(&before);
    ::Sleep(ms);
    const int last = g_host.switches.load();
    ::QueryPerformanceCounter(&after);
    const double seconds = static_cast<double>(after.QuadPart - before.QuadPart) / frequency.QuadPart;
    const double expected = seconds * kRate / g_host.samples;
    const int counted = last - first;
    char text[120];
    std::snprintf(text, sizeof text, "%d switches in %.0f ms, %.1f periods", counted, seconds * 1000,
                  expected);
    std::printf("%space: %s\n", prefix.c_str(), text);
    Check(prefix + "the host's callbacks go on at about one per period",
          counted >= expected * 0.5 && counted <= expected * 1.5 + 2, text);
    const int faults = g_host.positionFaults.load() + g_host.indexFaults.load() - faultsBefore;
    Check(prefix + "their positions stay one buffer apart and the indices alternate",
          faults == 0 && g_host.positionFaults.load() == 0, std::to_string(faults) + " wrong");
}

// One teardown call, bounded and timed; false when it hung.
bool Promptly(IASIO* driver, Call::Kind kind, const std::string& what, ASIOError* result = nullptr) {
    const DWORD before = ::GetTickCount();
    if (!Bounded(driver, kind, result)) {
        Hung(what);
        return false;
    }
    const DWORD took = ::GetTickCount() - before;
    Check(what + " returns promptly", took <= kPromptMs, std::to_string(took) + " ms");
    return true;
}

// After stop has returned, no callback starts.
void NoSwitchAfterStop(const std::string& prefix) {
    const int atStop = g_host.switches.load();
    ::Sleep(100);
    Check(prefix + "no buffer switch after stop", g_host.switches.load() == atStop,
          std::to_string(g_host.switches.load() - atStop) + " more");
}

// A device lost mid-stream (unplugged, no longer completing writes, or refusing them), with a host
// that ignores the reset request: one request, the reason in getErrorMessage, callbacks at the stream's
// pace from the driver's own clock until stop, and stop / disposeBuffers / Release that return promptly.
// A later start on a gone device fails; on one that still takes a pin it may start, and then its stream
// ends the same way.
void LostDevice(const CLSID& clsid, int fault, const char* name, const char* reason) {
    Step(name);
    const std::string prefix = std::string(name) + ": ";
    IASIO* driver = CreateStreaming(clsid, true);
    if (!Check(prefix + "the driver streams before the fault",
               driver && Prepare(driver) && StartAndWait(driver, 6)))
        return;
    if (fault == kFailedWrites && !Check(prefix + "the DLL's DeviceIoControl entry can be wrapped",
                                         HookWrites(::GetModuleHandleW(kDllName))))
        return;
    SetFault(fault);
    // A stalled device is given up on after the driver's completion wait (a second at these sizes).
    AwaitResets(1, 3000);
    KeepsPace(prefix, 600);
    Check(prefix + "the host gets one kAsioResetRequest", g_host.resets.load() == 1,
          std::to_string(g_host.resets.load()) + " received");
    const std::string text = ErrorText(driver);
    Check(prefix + "getErrorMessage says \"" + reason + "\"", text == reason, "it says \"" + text + "\"");
    ASIOError result = 0;
    if (!Promptly(driver, Call::Stop, prefix + "stop"))
        return;
    NoSwitchAfterStop(prefix);
    if (!Bounded(driver, Call::Start, &result))
        return Hung(prefix + "start after the loss");
    if (fault == LKMODEL_FAULT_UNPLUG) {
        Check(prefix + "a later start fails with an error code and a reason",
              result != ASE_OK && !ErrorText(driver).empty(), "start returned " + std::to_string(result));
    } else if (result == ASE_OK) {
        Check(prefix + "a later start streams until the fault ends it with another kAsioResetRequest",
              AwaitResets(2, 3000) && ErrorText(driver) == reason,
              std::to_string(g_host.resets.load()) + " reset requests in all");
    } else {
        Check(prefix + "a later start fails with a reason", !ErrorText(driver).empty(), "no error text");
    }
    if (!Promptly(driver, Call::Stop, prefix + "stop after the second start") ||
        !Promptly(driver, Call::Dispose, prefix + "disposeBuffers"))
        return;
    ClearFault();
    if (fault == kFailedWrites)
        Check(prefix + "the writes failed", WritesFailed() > 0, "none did");
    UnhookWrites();
    if (!Promptly(driver, Call::Release, prefix + "Release"))
        return;
    Check(prefix + "the pin is closed", lkmodel_open_pins() == 0);
    lkmodel_detach();
}

// The device unplugged, then back while the host's stream is still started: a second reset request,
// and a host that acts on it then streams on the device again.
void DeviceComesBack(const CLSID& clsid) {
    const char* name = "device unplugged, then back";
    Step(name);
    const std::string prefix = std::string(name) + ": ";
    IASIO* driver = CreateStreaming(clsid, true);
    if (!Check(prefix + "the driver streams before the unplug",
               driver && Prepare(driver) && StartAndWait(driver, 6)))
        return;
    lkmodel_set_fault(LKMODEL_FAULT_UNPLUG);
    Check(prefix + "the host gets a kAsioResetRequest at the unplug", AwaitResets(1, 3000));
    const int before = g_host.switches.load();
    ::Sleep(200);
    Check(prefix + "the callbacks go on while the device is gone", g_host.switches.load() > before);
    lkmodel_set_fault(LKMODEL_FAULT_NONE);
    // The driver looks for the device every half second or so.
    Check(prefix + "the host gets a second kAsioResetRequest when the device is back", AwaitResets(2, 3000),
          std::to_string(g_host.resets.load()) + " received");
    ::Sleep(700);
    Check(prefix + "and no more", g_host.resets.load() == 2,
          std::to_string(g_host.resets.load()) + " received");
    // What a host that acts on the request does: it tears down, then sets up again on a new object.
    if (!Promptly(driver, Call::Stop, prefix + "stop") ||
        !Promptly(driver, Call::Dispose, prefix + "disposeBuffers") ||
        !Promptly(driver, Call::Release, prefix + "Release"))
        return;
    driver = CreateStreaming(clsid, false);
    Check(prefix + "a new driver object initialises and streams on the device",
          driver && Prepare(driver) && StartAndWait(driver, 6) && g_host.resets.load() == 0);
    if (driver && (!Promptly(driver, Call::Stop, prefix + "stop on the new object") ||
                   !Promptly(driver, Call::Dispose, prefix + "disposeBuffers on the new object") ||
                   !Promptly(driver, Call::Release, prefix + "Release of the new object")))
        return;
    Check(prefix + "the pin is closed", lkmodel_open_pins() == 0);
    lkmodel_detach();
}

// A write pending in a stalled device when the host stops: stop cancels it and returns promptly.
void StopWhileWritePending(const CLSID& clsid) {
    const char* name = "stop while a write is pending";
    Step(name);
    IASIO* driver = CreateStreaming(clsid, true);
    if (!Check(std::string(name) + ": the driver streams first",
               driver && Prepare(driver) && StartAndWait(driver, 6)))
        return;
    lkmodel_set_fault(LKMODEL_FAULT_STALL);
    ::Sleep(100);
    const size_t cancels = lkmodel_cancel_calls();
    const DWORD before = ::GetTickCount();
    ASIOError result = 0;
    if (!Bounded(driver, Call::Stop, &result))
        return Hung(std::string(name) + ": stop");
    const DWORD took = ::GetTickCount() - before;
    Check(std::string(name) + ": stop cancels the pending write with CancelIoEx",
          lkmodel_cancel_calls() > cancels);
    Check(std::string(name) + ": stop returns within 2 s", took <= 2000, std::to_string(took) + " ms");
    lkmodel_set_fault(LKMODEL_FAULT_NONE);
    if (!Bounded(driver, Call::Dispose, &result) || !Bounded(driver, Call::Release, &result))
        return Hung(std::string(name) + ": disposeBuffers and Release");
    Check(std::string(name) + ": the pin is closed", lkmodel_open_pins() == 0);
    lkmodel_detach();
}

// Requests that pend and then fail are failures: init refuses a device whose every property read
// failed, and start refuses a pin that could not be set running.
void PendThenFail(const CLSID& clsid) {
    const char* name = "requests that pend, then fail";
    Step(name);
    IASIO* driver = CreateStreaming(clsid, true);
    if (!Check(std::string(name) + ": the driver is created", driver != nullptr))
        return;
    lkmodel_set_fault(LKMODEL_FAULT_PEND_FAIL);
    ASIOError result = 0;
    if (!Bounded(driver, Call::Init, &result))
        return Hung(std::string(name) + ": init");
    Check(std::string(name) + ": init fails when the pin reads fail after pending", result == ASIOFalse);
    lkmodel_set_fault(LKMODEL_FAULT_NONE);
    if (!Check(std::string(name) + ": the driver prepares without the fault", Prepare(driver)))
        return;
    lkmodel_set_fault(LKMODEL_FAULT_PEND_FAIL);
    if (!Bounded(driver, Call::Start, &result))
        return Hung(std::string(name) + ": start");
    Check(std::string(name) + ": start fails when setting the pin running fails after pending",
          result == ASE_HWMalfunction, "start returned " + std::to_string(result));
    lkmodel_set_fault(LKMODEL_FAULT_NONE);
    if (!Bounded(driver, Call::Stop, &result) || !Bounded(driver, Call::Dispose, &result) ||
        !Bounded(driver, Call::Release, &result))
        return Hung(std::string(name) + ": stop, disposeBuffers and Release");
    lkmodel_detach();
}

// Two driver objects in one process: the second start is refused while the first streams, and the
// first keeps streaming.
void TwoDrivers(const CLSID& clsid) {
    const char* name = "two driver objects";
    Step(name);
    IASIO* first = CreateStreaming(clsid, true);
    IASIO* second = CreateStreaming(clsid, false);
    if (!Check(std::string(name) + ": both are created", first && second))
        return;
    if (!Check(std::string(name) + ": the first streams", Prepare(first) && StartAndWait(first, 4)))
        return;
    // The second object's buffers are its own; its callbacks are the same plain functions.
    ASIOBufferInfo secondInfos[2] = {{ASIOFalse, 0, {nullptr, nullptr}}, {ASIOFalse, 1, {nullptr, nullptr}}};
    int32_t minSize = 0, maxSize = 0, preferred = 0, granularity = 0;
    const bool prepared = second->init(nullptr) == ASIOTrue &&
                          second->getBufferSize(&minSize, &maxSize, &preferred, &granularity) == ASE_OK &&
                          second->createBuffers(secondInfos, 2, preferred, &g_callbacks) == ASE_OK;
    Check(std::string(name) + ": the second initialises and creates buffers beside the first", prepared);
    ASIOError result = 0;
    if (!Bounded(second, Call::Start, &result))
        return Hung(std::string(name) + ": the second start");
    Check(std::string(name) + ": the second start is refused with ASE_NotPresent", result == ASE_NotPresent,
          "start returned " + std::to_string(result));
    const int switches = g_host.switches.load();
    ::Sleep(200);
    Check(std::string(name) + ": the first keeps streaming", g_host.switches.load() > switches);
    if (!Bounded(second, Call::Release, &result))
        return Hung(std::string(name) + ": Release of the second");
    if (!Bounded(first, Call::Stop, &result) || !Bounded(first, Call::Dispose, &result) ||
        !Bounded(first, Call::Release, &result))
        return Hung(std::string(name) + ": stop and Release of the first");
    Check(std::string(name) + ": no pin is left open", lkmodel_open_pins() == 0);
    lkmodel_detach();
}

} // namespace

void RunFailurePaths(const CLSID& clsid) {
    TwoDrivers(clsid);
    PendThenFail(clsid);
    LostDevice(clsid, LKMODEL_FAULT_UNPLUG, "device unplugged mid-stream", "The Larkspur was disconnected");
    StopWhileWritePending(clsid);
    LostDevice(clsid, LKMODEL_FAULT_STALL, "device stops completing mid-stream",
               "The Larkspur stopped taking audio");
    LostDevice(clsid, LKMODEL_FAULT_REFUSE, "device refuses writes mid-stream",
               "The Larkspur stopped taking audio");
    LostDevice(clsid, kFailedWrites, "device fails writes mid-stream", "The Larkspur stopped taking audio");
    DeviceComesBack(clsid);
}

} // namespace lkcheck
