#include "tests/support/stream_host.h"

#include "sim/larkspur/device.h"
#include "tests/support/alloc_control.h"

#include <chrono>
#include <thread>

namespace testing_support {

namespace {
StreamHost* g_host = nullptr;

void Fill(int32_t index) {
    StreamHost& host = *g_host;
    const int switchIndex = host.switches.load();
    if (auto during = host.duringSwitch.load())
        during(switchIndex);
    host.FillHalf(index, switchIndex + host.firstSwitchPeriod);
    ASIOSamples position{};
    ASIOTimeStamp stamp{};
    IASIO* asked = host.askPosition.load();
    if (asked)
        asked->getSamplePosition(&position, &stamp);
    {
        std::lock_guard lock(host.mutex);
        if (asked) {
            host.positions.push_back(position);
            host.stamps.push_back(stamp);
        }
        host.indices.push_back(index);
        host.allocationsAtSwitch.push_back(ThreadAllocationCount());
    }
    host.switches.fetch_add(1);
}

void BufferSwitch(int32_t index, ASIOBool) {
    Fill(index);
}
void RateChanged(ASIOSampleRate) {}
int32_t Message(int32_t selector, int32_t, void*, double*) {
    if (selector == kAsioResetRequest) {
        g_host->switchesAtReset = g_host->switches.load();
        g_host->resetRequests.fetch_add(1);
        if (auto during = g_host->duringReset.load())
            during();
        return 1;
    }
    return selector == kAsioSupportsTimeInfo && g_host->timeInfo ? 1 : 0;
}
ASIOTime* SwitchTimeInfo(ASIOTime* params, int32_t index, ASIOBool) {
    {
        std::lock_guard lock(g_host->mutex);
        g_host->times.push_back(*params);
    }
    Fill(index);
    return params;
}
} // namespace

StreamHost::StreamHost() {
    callbacks = {&BufferSwitch, &RateChanged, &Message, &SwitchTimeInfo};
    // The records must not allocate on the render thread, whose allocations the tests count.
    indices.reserve(kRecordCapacity);
    times.reserve(kRecordCapacity);
    allocationsAtSwitch.reserve(kRecordCapacity);
    positions.reserve(kRecordCapacity);
    stamps.reserve(kRecordCapacity);
    g_host = this;
}

StreamHost::~StreamHost() {
    g_host = nullptr;
}

ASIOError StreamHost::CreateStereo(IASIO* driver, int32_t bufferSize, int32_t frames) {
    ASIOBufferInfo infos[2] = {{ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
    const ASIOError result = driver->createBuffers(infos, 2, bufferSize, &callbacks);
    if (result == ASE_OK) {
        buffers.assign(infos, infos + 2);
        this->frames = frames;
        FillFirstHalf();
    }
    return result;
}

void StreamHost::FillHalf(int32_t index, int period) {
    for (size_t b = 0; b < buffers.size(); ++b) {
        auto* half = static_cast<int32_t*>(buffers[b].buffers[index]);
        for (int32_t j = 0; j < frames; ++j)
            half[j] = Word(period, static_cast<int>(b), j);
    }
}

void StreamHost::FillFirstHalf() {
    FillHalf(1, 0);
    firstSwitchPeriod = 1;
}

bool StreamHost::WaitForSwitches(int count, unsigned timeoutMs) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (switches.load() < count) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

bool WaitUntil(const std::function<bool()>& condition, unsigned timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void StopWhileCompleting(IASIO* driver, sim::larkspur::Device& device) {
    std::atomic<bool> done{false};
    std::thread stopper([&] {
        driver->stop();
        done = true;
    });
    while (!done.load()) {
        device.CompleteWrites(1);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    stopper.join();
}

std::vector<int32_t> StreamHost::Indices() {
    std::lock_guard lock(mutex);
    return indices;
}

} // namespace testing_support
