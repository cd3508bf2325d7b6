#include "tools/lkstreamcheck/host.h"

#include "lkmodel/lkmodel.h"
#include "tools/lkstreamcheck/checks.h"
#include "tools/lkstreamcheck/stream_verify.h"

#include <cstdio>
#include <string>
#include <vector>

namespace lkcheck {

HostState g_host;

namespace {

constexpr uint32_t kDsdSilence = 0xAAAAAAAA;
constexpr int32_t kDsdSamplesPerWord = 32;

void BufferSwitch(int32_t index, ASIOBool) {
    if (index < 0 || index > 1)
        return;
    auto* left = static_cast<uint32_t*>(g_host.infos[0].buffers[index]);
    auto* right = static_cast<uint32_t*>(g_host.infos[1].buffers[index]);
    const uint64_t first = g_host.next.load();
    for (int32_t j = 0; j < g_host.words; ++j) {
        left[j] = LeftWord(first + j);
        right[j] = RightWord(first + j);
    }
    g_host.next = first + g_host.words;
    if (++g_host.switches == g_host.target && g_host.done)
        ::SetEvent(g_host.done);
}

ASIOTime* BufferSwitchTimeInfo(ASIOTime* params, int32_t index, ASIOBool direct) {
    BufferSwitch(index, direct);
    return params;
}

void SampleRateDidChange(ASIOSampleRate) {}

int32_t AsioMessage(int32_t selector, int32_t value, void*, double*) {
    switch (selector) {
    case kAsioSelectorSupported:
        return value == kAsioResetRequest || value == kAsioEngineVersion ? 1 : 0;
    case kAsioEngineVersion:
        return 2;
    case kAsioResetRequest:
        ++g_host.resets;
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

} // namespace

ASIOCallbacks g_callbacks = {BufferSwitch, SampleRateDidChange, AsioMessage, BufferSwitchTimeInfo};

ASIOError CreateOutputs(IASIO* driver) {
    int32_t minSize = 0, maxSize = 0, preferred = 0, granularity = 0;
    driver->getBufferSize(&minSize, &maxSize, &preferred, &granularity);
    ASIOIoFormat format{};
    const bool dsd =
        driver->future(kAsioGetIoFormat, &format) == ASE_SUCCESS && format.FormatType == kASIODSDFormat;
    g_host.infos[0] = {ASIOFalse, 0, {nullptr, nullptr}};
    g_host.infos[1] = {ASIOFalse, 1, {nullptr, nullptr}};
    g_host.words = dsd ? preferred / kDsdSamplesPerWord : preferred;
    return driver->createBuffers(g_host.infos, 2, preferred, &g_callbacks);
}

bool PlayStream(IASIO* driver, const StreamPlan& plan) {
    const std::string name = plan.name;
    ASIOIoFormat format{};
    format.FormatType = plan.dsd ? kASIODSDFormat : kASIOPCMFormat;
    bool ok = Check(name + ": I/O format selected", driver->future(kAsioSetIoFormat, &format) == ASE_SUCCESS);
    ok = Check(name + ": sample rate set", driver->setSampleRate(plan.rate) == ASE_OK) && ok;
    if (!Check(name + ": createBuffers", CreateOutputs(driver) == ASE_OK))
        return false;

    lkmodel_clear_record();
    g_host.next = 0;
    g_host.switches = 0;
    g_host.target = plan.periods;
    ::ResetEvent(g_host.done);
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
    const uint64_t generated = g_host.next.load();
    ok = Check(name + ": disposeBuffers", driver->disposeBuffers() == ASE_OK) && ok;

    std::vector<uint8_t> received(lkmodel_received_audio(nullptr, 0));
    lkmodel_received_audio(received.data(), received.size());
    const StreamReport report =
        VerifyStream(received, generated, static_cast<size_t>(g_host.words), plan.dsd ? kDsdSilence : 0);
    char detail[200];
    std::snprintf(detail, sizeof detail,
                  "%zu frames in order from frame 0 of %llu generated, then silence %zu", report.frames,
                  static_cast<unsigned long long>(generated), report.silence);
    if (report.exact)
        std::printf("%s: bit-exact (%s)\n", plan.name, detail);
    // Every half the host fills reaches the device once and in order, the first one included.
    ok = Check(name + ": the model received the stream bit-exact, from the first period", report.exact,
               report.problem + " (" + detail + ")") &&
         ok;

    size_t smallest = 0, largest = 0;
    const size_t writes = lkmodel_received_writes(&smallest, &largest);
    const size_t halfBytes = static_cast<size_t>(g_host.words) * 8;
    ok = Check(name + ": every write carries " + std::to_string(g_host.words) + " frames",
               writes > 0 && smallest == halfBytes && largest == halfBytes,
               std::to_string(writes) + " writes of " + std::to_string(smallest) + " to " +
                   std::to_string(largest) + " bytes") &&
         ok;

    std::vector<uint32_t> modes(lkmodel_received_modes(nullptr, 0));
    lkmodel_received_modes(modes.data(), modes.size());
    const std::vector<uint32_t> expected = {plan.dsd ? 0x8000u : 0x10000u, 0x8002u};
    ok = Check(name + ": mode requests " + Hex(expected), modes == expected, "received " + Hex(modes)) && ok;
    ok = Check(name + ": the pin is closed", lkmodel_open_pins() == 0) && ok;
    return ok;
}

} // namespace lkcheck
