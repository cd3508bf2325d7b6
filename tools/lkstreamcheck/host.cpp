#include "tools/lkstreamcheck/host.h"

#include "lkmodel/lkmodel.h"
#include "tools/lkstreamcheck/checks.h"
#include "tools/lkstreamcheck/stream_verify.h"

#include <cstdio>
#include <string>
#include <vector>

namespace lkcheck {

HostState g_host;
int g_safety = 0;

namespace {

constexpr uint32_t kDsdSilence = 0xAAAAAAAA;
constexpr int32_t kDsdSamplesPerWord = 32;
// future() selectors of ASIO 2.3.
constexpr int32_t kCanReportOverload = 0x24042012;
constexpr int32_t kGetInternalBufferSamples = 0x25042012;

// Outputs get the stream's next frames from `first`; inputs must hold the mode's silence.
void HandHalf(int32_t index, uint64_t first) {
    bool outputs = false;
    for (const ASIOBufferInfo& info : g_host.infos) {
        auto* words = static_cast<uint32_t*>(info.buffers[index]);
        if (!words)
            continue;
        if (info.isInput) {
            for (int32_t j = 0; j < g_host.words; ++j) {
                if (words[j] != g_host.silence) {
                    ++g_host.noisyInputs;
                    break;
                }
            }
            continue;
        }
        outputs = true;
        for (int32_t j = 0; j < g_host.words; ++j)
            words[j] = info.channelNum == 0 ? LeftWord(first + j) : RightWord(first + j);
    }
    if (outputs)
        g_host.next = first + g_host.words;
}

void OnSwitch(int32_t index, const ASIOTime* time) {
    if (index < 0 || index > 1) {
        ++g_host.indexFaults;
        return;
    }
    // The first switch hands out half 0 (half 1 plays); from then on they alternate.
    if (g_host.lastIndex < 0 ? index != 0 : index == g_host.lastIndex)
        ++g_host.indexFaults;
    g_host.lastIndex = index;
    if (time) {
        const ASIOSamples& at = time->timeInfo.samplePosition;
        const int64_t position = static_cast<int64_t>((uint64_t{at.hi} << 32) | at.lo);
        const int64_t want = g_host.lastPosition < 0 ? 0 : g_host.lastPosition + g_host.samples;
        if (position != want)
            ++g_host.positionFaults;
        g_host.lastPosition = position;
    }
    HandHalf(index, g_host.next.load());
    if (++g_host.switches == g_host.target && g_host.done)
        ::SetEvent(g_host.done);
}

void BufferSwitch(int32_t index, ASIOBool) {
    OnSwitch(index, nullptr);
}

ASIOTime* BufferSwitchTimeInfo(ASIOTime* params, int32_t index, ASIOBool) {
    OnSwitch(index, params);
    return params;
}

void SampleRateDidChange(ASIOSampleRate) {}

// A host that ignores the reset request: it counts it and goes on.
int32_t AsioMessage(int32_t selector, int32_t value, void*, double*) {
    switch (selector) {
    case kAsioSelectorSupported:
        return value == kAsioResetRequest || value == kAsioEngineVersion || value == kAsioSupportsTimeInfo ||
                       value == kAsioOverload || value == kAsioLatenciesChanged
                   ? 1
                   : 0;
    case kAsioEngineVersion:
        return 2;
    case kAsioSupportsTimeInfo:
        return 1;
    case kAsioResetRequest:
        ++g_host.resets;
        return 1;
    case kAsioOverload:
        ++g_host.overloads;
        return 1;
    default:
        return 0;
    }
}

std::string Hex(const std::vector<uint32_t>& values) {
    std::string text;
    for (uint32_t value : values) {
        char item[16];
        std::snprintf(item, sizeof item, "%s%#x", text.empty() ? "" : " ", value);
        text += item;
    }
    return text.empty() ? "none" : text;
}

// createBuffers for channels 0 and 1 of one direction, in the current format.
ASIOError CreatePair(IASIO* driver, ASIOBool isInput) {
    int32_t minSize = 0, maxSize = 0, preferred = 0, granularity = 0;
    driver->getBufferSize(&minSize, &maxSize, &preferred, &granularity);
    ASIOIoFormat format{};
    const bool dsd =
        driver->future(kAsioGetIoFormat, &format) == ASE_SUCCESS && format.FormatType == kASIODSDFormat;
    g_host.infos[0] = {isInput, 0, {nullptr, nullptr}};
    g_host.infos[1] = {isInput, 1, {nullptr, nullptr}};
    g_host.words = dsd ? preferred / kDsdSamplesPerWord : preferred;
    g_host.samples = preferred;
    g_host.silence = dsd ? kDsdSilence : 0;
    return driver->createBuffers(g_host.infos, 2, preferred, &g_callbacks);
}

// getLatencies and the driver's internal buffer for the safety buffers in force, and the overload
// reports a workstation asks for.
bool CheckLatencies(IASIO* driver, const std::string& name, double rate) {
    int32_t input = -1, output = -1;
    const ASIOError result = driver->getLatencies(&input, &output);
    const int32_t want = g_host.samples * (1 + g_safety) + DeviceShare(rate);
    std::printf("%s: latencies input %d, output %d samples (%d safety buffers)\n", name.c_str(), input,
                output, g_safety);
    bool ok = Check(name + ": getLatencies: input " + std::to_string(g_host.samples) + ", output " +
                        std::to_string(want) + " (buffer x " + std::to_string(1 + g_safety) +
                        " + the device's " + std::to_string(DeviceShare(rate)) + ")",
                    result == ASE_OK && input == g_host.samples && output == want,
                    "input " + std::to_string(input) + ", output " + std::to_string(output));
    int32_t held[2] = {-1, -1};
    const ASIOError internal = driver->future(kGetInternalBufferSamples, held);
    ok = Check(name + ": the internal buffer holds the output latency less one buffer",
               internal == ASE_SUCCESS && held[1] == want - g_host.samples,
               "answer " + std::to_string(internal) + ", input " + std::to_string(held[0]) + ", output " +
                   std::to_string(held[1])) &&
         ok;
    return Check(name + ": future(kAsioCanReportOverload) answers ASE_SUCCESS",
                 driver->future(kCanReportOverload, nullptr) == ASE_SUCCESS) &&
           ok;
}

} // namespace

ASIOCallbacks g_callbacks = {BufferSwitch, SampleRateDidChange, AsioMessage, BufferSwitchTimeInfo};

ASIOError CreateOutputs(IASIO* driver) {
    return CreatePair(driver, ASIOFalse);
}

ASIOError CreateInputs(IASIO* driver) {
    return CreatePair(driver, ASIOTrue);
}

void PrepareStart(int target) {
    g_host.next = 0;
    g_host.switches = 0;
    g_host.resets = 0;
    g_host.overloads = 0;
    g_host.positionFaults = 0;
    g_host.indexFaults = 0;
    g_host.noisyInputs = 0;
    g_host.lastPosition = -1;
    g_host.lastIndex = -1;
    g_host.target = target;
    if (g_host.done)
        ::ResetEvent(g_host.done);
    // The first half the device plays is the one the host fills before start.
    HandHalf(1, 0);
}

int32_t DeviceShare(double rate) {
    const int64_t perSecond = 10000000;
    return static_cast<int32_t>((kDeviceLatency100ns * static_cast<int64_t>(rate) + perSecond - 1) /
                                perSecond);
}

bool PlayStream(IASIO* driver, const StreamPlan& plan) {
    const std::string name = plan.name;
    ASIOIoFormat format{};
    format.FormatType = plan.dsd ? kASIODSDFormat : kASIOPCMFormat;
    bool ok = Check(name + ": I/O format selected", driver->future(kAsioSetIoFormat, &format) == ASE_SUCCESS);
    ok = Check(name + ": sample rate set", driver->setSampleRate(plan.rate) == ASE_OK) && ok;
    if (!Check(name + ": createBuffers", CreateOutputs(driver) == ASE_OK))
        return false;
    ok = CheckLatencies(driver, name, plan.rate) && ok;

    lkmodel_clear_record();
    PrepareStart(plan.periods);
    const ASIOError started = driver->start();
    ok = Check(name + ": start", started == ASE_OK) && ok;
    const bool played = started == ASE_OK && ::WaitForSingleObject(g_host.done, 10000) == WAIT_OBJECT_0;
    ok = Check(name + ": " + std::to_string(plan.periods) + " buffer switches", played,
               "only " + std::to_string(g_host.switches.load())) &&
         ok;
    ok = Check(name + ": stop", driver->stop() == ASE_OK) && ok;
    const int atStop = g_host.switches.load();
    ::Sleep(30);
    ok = Check(name + ": no buffer switch after stop", g_host.switches.load() == atStop) && ok;
    ok = Check(name + ": the first switch hands out half 0, then the indices alternate",
               g_host.indexFaults.load() == 0, std::to_string(g_host.indexFaults.load()) + " wrong") &&
         ok;
    ok = Check(name + ": switch k stands at k x " + std::to_string(g_host.samples) + " samples",
               g_host.positionFaults.load() == 0 && g_host.lastPosition >= 0,
               std::to_string(g_host.positionFaults.load()) + " wrong of " + std::to_string(atStop)) &&
         ok;
    const uint64_t generated = g_host.next.load();
    ok = Check(name + ": disposeBuffers", driver->disposeBuffers() == ASE_OK) && ok;

    std::vector<uint8_t> received(lkmodel_received_audio(nullptr, 0));
    lkmodel_received_audio(received.data(), received.size());
    const StreamReport report = VerifyStream(received, generated, static_cast<size_t>(g_host.words),
                                             g_host.silence, static_cast<size_t>(g_safety));
    char detail[200];
    std::snprintf(detail, sizeof detail,
                  "%zu frames of silence, then %zu in order from frame 0 of %llu generated, then silence %zu",
                  report.leading, report.frames, static_cast<unsigned long long>(generated), report.silence);
    if (report.exact)
        std::printf("%s: bit-exact (%s)\n", plan.name, detail);
    // After the safety buffers' silence, every half the host fills reaches the device once and in
    // order, half 1 from before start first.
    ok = Check(name + ": the model received the stream bit-exact, after " + std::to_string(g_safety) +
                   " periods of silence",
               report.exact, report.problem + " (" + detail + ")") &&
         ok;

    size_t smallest = 0, largest = 0;
    const size_t writes = lkmodel_received_writes(&smallest, &largest);
    const size_t halfBytes = static_cast<size_t>(g_host.words) * 8;
    ok = Check(name + ": every write carries " + std::to_string(g_host.words) + " frames",
               writes > 0 && smallest == halfBytes && largest == halfBytes,
               std::to_string(writes) + " writes of " + std::to_string(smallest) + " to " +
                   std::to_string(largest) + " bytes") &&
         ok;
    const size_t queued = lkmodel_most_pending_writes();
    std::printf("most writes queued at the device: %zu\n", queued);
    ok = Check(name + ": " + std::to_string(1 + g_safety) + " writes queued at the device at most",
               queued == static_cast<size_t>(1 + g_safety), std::to_string(queued)) &&
         ok;
    size_t streaming = 0, drain = 0;
    lkmodel_underruns(&streaming, &drain);
    std::printf("%s: device underruns %zu streaming, %zu in the drain; %d overload messages\n", plan.name,
                streaming, drain, g_host.overloads.load());
    ok = Check(name + ": no overload message without a device underrun",
               static_cast<size_t>(g_host.overloads.load()) <= streaming,
               std::to_string(g_host.overloads.load()) + " messages, " + std::to_string(streaming) +
                   " underruns") &&
         ok;

    std::vector<uint32_t> modes(lkmodel_received_modes(nullptr, 0));
    lkmodel_received_modes(modes.data(), modes.size());
    const std::vector<uint32_t> expected = {plan.dsd ? 0x8000u : 0x10000u, 0x8002u};
    ok = Check(name + ": mode requests " + Hex(expected), modes == expected, "received " + Hex(modes)) && ok;
    ok = Check(name + ": the pin is closed", lkmodel_open_pins() == 0) && ok;
    return ok;
}

} // namespace lkcheck
