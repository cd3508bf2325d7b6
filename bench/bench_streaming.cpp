// Plays through the driver on the simulated Larkspur with its real-time clock and device buffer, row by
// row (PCM and DSD rates, buffer sizes, safety buffers, idle or with two busy threads), and reports
// whether the render thread got each write to the device in time, the drop-outs the driver reported and
// the output latency, reported against measured.
//
//   bench_streaming [--quick] [--seconds S] [--json] [--mode pcm|dsd] [--load idle|busy] [--rate HZ]
//                   [--buffer SAMPLES] [--safety 0|1|2] [--timeinfo] [--record] [--explain]
//   bench_streaming --stalls SECONDS
// --timeinfo: the host takes time information (a position read per period); --record: the device keeps
// all it received during a row, as in the tests (otherwise a tap reads the markers from it as it comes
// and empties it); --explain: list each underrun with the machine's stalls around it.
// A probe above the stream's threads notes the machine's own stalls during every row; `in_stalls` counts
// the underruns those stalls explain.
#include "bench/latency_markers.h"
#include "bench/machine_stalls.h"
#include "platform/asio.h"
#include "sim/larkspur/device.h"
#include "sim/registry.h"
#include "sim/setupapi.h"
#include "sim/threads.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include <pthread.h>

extern "C" HRESULT STDMETHODCALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, void** object);

namespace {

using Steady = std::chrono::steady_clock;
using sim::larkspur::StreamStats;

double Seconds(Steady::duration d) {
    return std::chrono::duration<double>(d).count();
}

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Steady::now().time_since_epoch()).count();
}

struct Row {
    bool dsd;
    double rate;    // host sample rate; the DSD bit rate in DSD mode
    int32_t buffer; // host buffer size in samples (one-bit samples in DSD)
    bool busy;
    uint32_t safety; // the user's safety buffers: writes queued beyond the one the device plays
};

// The device keeps the leave time of this many writes; latency is measured over them.
constexpr size_t kLeaveWrites = 8192;

struct Result {
    Row row;
    bool ok = false;
    std::string error;
    double seconds = 0;
    StreamStats stats;
    uint64_t callbacks = 0;
    double callbackMeanUs = 0;
    double callbackMaxUs = 0;
    double cpuMsPerSecond = 0;
    double startMs = 0;
    double stopMs = 0;
    uint64_t overloads = 0; // kAsioOverload messages the host received
    size_t mostPendingWrites = 0;
    int32_t latencyReported = 0; // getLatencies' output, samples
    bench::LatencySummary latency;
    // The machine's stalls during the row, and the underruns they explain.
    bool probed = false;
    uint64_t underrunsInStalls = 0;
    size_t stallsOverFifo = 0;
    double longestStallUs = 0;
    std::string explanation; // --explain: each underrun and the machine's stalls around it
};

bool g_explain = false;

// When the host received the first kAsioOverload messages of a row (steady-clock ns).
constexpr size_t kKeptOverloads = 256;
int64_t g_overloadNs[kKeptOverloads];
std::atomic<uint64_t> g_overloads{0};

// One line per kept underrun: when it struck, how late the device reported the completion before it,
// when the buffer ran empty and the write came (from the completion's due time), how long the machine
// stood still in between, and whether the buffer was still playing when the completion was reported
// (the driver reads the position then, before its write). Between them, in time order, the kept
// kAsioOverload messages the host received.
std::string Explain(const StreamStats& stats, std::span<const bench::Stall> stalls,
                    std::span<const int64_t> overloads, int64_t startNs, int64_t stopNs) {
    std::string text;
    size_t next = 0;
    char line[260];
    for (uint64_t i = 0; i <= stats.KeptUnderruns(); ++i) {
        const bool last = i == stats.KeptUnderruns();
        for (; next < overloads.size() && (last || overloads[next] < stats.kept[i].emptyNs); ++next) {
            std::snprintf(line, sizeof line, "  overload message at %.3f s\n",
                          static_cast<double>(overloads[next] - startNs) / 1e9);
            text += line;
        }
        if (last)
            break;
        const sim::larkspur::Underrun& u = stats.kept[i];
        const int64_t stood = bench::StoodStillNs(u, stalls);
        const char* when = u.dueNs >= stopNs          ? "after stop"
                           : u.emptyNs > u.reportedNs ? "still playing at the completion"
                                                      : "empty before the completion";
        std::snprintf(
            line, sizeof line,
            "  underrun at %.3f s: completion reported +%.0f us, buffer empty +%.0f us, write +%.0f "
            "us; the machine stood still %.0f us of it; %s\n",
            static_cast<double>(u.dueNs - startNs) / 1e9, static_cast<double>(u.reportedNs - u.dueNs) / 1e3,
            static_cast<double>(u.emptyNs - u.dueNs) / 1e3, static_cast<double>(u.arrivedNs - u.dueNs) / 1e3,
            static_cast<double>(stood) / 1e3, when);
        text += line;
    }
    return text;
}

// The host: fills each half it is handed, with a marker in its first frame, and times itself.
struct Host {
    std::vector<ASIOBufferInfo> buffers;
    int32_t words = 0; // 32-bit words per half
    // When switch k's callback returned, for the switches whose halves latency is measured on.
    std::vector<int64_t> switchReturnNs = std::vector<int64_t>(kLeaveWrites, 0);
    std::atomic<uint64_t> callbacks{0};
    std::atomic<uint64_t> totalNs{0};
    std::atomic<uint64_t> maxNs{0};
    std::atomic<bool> haveThread{false};
    clockid_t threadClock{};
};
Host* g_host = nullptr;

// Half `index` as the host's fill number `number`: marker `number` in its first frame.
void FillHalf(Host& host, int32_t index, uint64_t number) {
    const bench::Frame marker = bench::MarkerFrame(static_cast<uint32_t>(number));
    for (size_t b = 0; b < host.buffers.size(); ++b) {
        auto* half = static_cast<int32_t*>(host.buffers[b].buffers[index]);
        for (int32_t j = 0; j < host.words; ++j)
            half[j] = static_cast<int32_t>(bench::PatternWord(number, static_cast<uint32_t>(j)));
        half[0] = static_cast<int32_t>(b == 0 ? marker.left : marker.right);
    }
}

void Fill(int32_t index) {
    Host& host = *g_host;
    const int64_t begin = NowNs();
    if (!host.haveThread.load(std::memory_order_relaxed)) {
        pthread_getcpuclockid(pthread_self(), &host.threadClock);
        host.haveThread.store(true);
    }
    // Switch k fills number k + 1: half 1, filled before start, is number 0.
    const uint64_t period = host.callbacks.load(std::memory_order_relaxed);
    FillHalf(host, index, period + 1);
    const int64_t end = NowNs();
    const uint64_t spent = static_cast<uint64_t>(end - begin);
    host.totalNs.fetch_add(spent, std::memory_order_relaxed);
    if (spent > host.maxNs.load(std::memory_order_relaxed))
        host.maxNs.store(spent, std::memory_order_relaxed);
    host.callbacks.fetch_add(1, std::memory_order_release);
    if (period < host.switchReturnNs.size())
        host.switchReturnNs[period] = NowNs(); // as late as the callback can note it
}
void BufferSwitch(int32_t index, ASIOBool) {
    Fill(index);
}
ASIOTime* BufferSwitchTimeInfo(ASIOTime* time, int32_t index, ASIOBool) {
    Fill(index);
    return time;
}
void RateChanged(ASIOSampleRate) {}
bool g_timeInfo = false;
int32_t Message(int32_t selector, int32_t value, void*, double*) {
    if (selector == kAsioOverload) {
        const uint64_t n = g_overloads.fetch_add(1, std::memory_order_relaxed);
        if (n < kKeptOverloads)
            g_overloadNs[n] = NowNs();
        return 1;
    }
    if (selector == kAsioSelectorSupported)
        return value == kAsioOverload || (value == kAsioSupportsTimeInfo && g_timeInfo) ? 1 : 0;
    // With time information the driver reads the stream position from the device every period.
    return selector == kAsioSupportsTimeInfo && g_timeInfo ? 1 : 0;
}

IASIO* CreateDriver() {
    IClassFactory* factory = nullptr;
    if (FAILED(DllGetClassObject(CLSID_ASIOLarkspur, IID_IClassFactory, reinterpret_cast<void**>(&factory))))
        return nullptr;
    IASIO* driver = nullptr;
    const HRESULT hr =
        factory->CreateInstance(nullptr, CLSID_ASIOLarkspur, reinterpret_cast<void**>(&driver));
    factory->Release();
    return SUCCEEDED(hr) ? driver : nullptr;
}

double ThreadCpuSeconds(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

// Two threads that compete for both cores while a row plays.
class BusyLoad {
public:
    explicit BusyLoad(bool on) {
        if (!on)
            return;
        for (int i = 0; i < 2; ++i)
            m_threads.emplace_back([this] {
                volatile uint64_t x = 0;
                while (!m_stop.load(std::memory_order_relaxed))
                    x = x * 6364136223846793005ull + 1442695040888963407ull;
            });
    }
    ~BusyLoad() {
        m_stop = true;
        for (auto& t : m_threads)
            t.join();
    }

private:
    std::atomic<bool> m_stop{false};
    std::vector<std::thread> m_threads;
};

// Takes the device's audio as it arrives and looks for the markers in it, so that the record stays
// small; once past the writes whose leave times the device keeps, it turns the record off.
class MarkerTap {
public:
    MarkerTap(sim::larkspur::Device& device, bench::MarkerScan& scan, uint64_t frameLimit)
        : m_device(device), m_scan(scan), m_limit(frameLimit), m_chunk(1 << 20) {
        m_thread = std::thread([this] {
            while (!m_stop.load() && Take())
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
        });
    }
    ~MarkerTap() { Stop(); }
    // The stream is over: takes what is left.
    void Stop() {
        if (!m_thread.joinable())
            return;
        m_stop = true;
        m_thread.join();
        Take();
    }

private:
    bool Take() {
        if (m_scan.FramesSeen() >= m_limit)
            return false;
        size_t taken = 0;
        while ((taken = m_device.TakeAudio(m_chunk.data(), m_chunk.size())) > 0)
            m_scan.Feed(m_chunk.data(), taken);
        if (m_scan.FramesSeen() < m_limit)
            return true;
        m_device.SetAudioRecording(false);
        return false;
    }

    sim::larkspur::Device& m_device;
    bench::MarkerScan& m_scan;
    const uint64_t m_limit;
    std::vector<uint8_t> m_chunk;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// The user's safety buffers, read by the driver when buffers are created.
void SetSafetyBuffers(uint32_t safety) {
    const BYTE data[4] = {static_cast<BYTE>(safety), 0, 0, 0};
    sim::RegistrySetValue(HKEY_CURRENT_USER, u"Software\\Larkspur\\ASIO", u"SafetyBuffers", REG_DWORD,
                          std::vector<BYTE>(data, data + 4));
}

Result Play(const std::shared_ptr<sim::larkspur::Device>& device, const Row& row, double seconds,
            bool keepRecord) {
    Result result;
    result.row = row;
    // On for the markers; without --record the tap empties it as it goes and ends it.
    device->SetAudioRecording(true);
    device->ClearRecord();
    g_overloads = 0;
    SetSafetyBuffers(row.safety);
    Host host;
    g_host = &host;
    ASIOCallbacks callbacks{&BufferSwitch, &RateChanged, &Message, &BufferSwitchTimeInfo};

    IASIO* driver = CreateDriver();
    if (!driver || driver->init(nullptr) != ASIOTrue) {
        result.error = "driver not created";
        if (driver)
            driver->Release();
        return result;
    }
    if (row.dsd) {
        ASIOIoFormat format{};
        format.FormatType = kASIODSDFormat;
        driver->future(kAsioSetIoFormat, &format);
    }
    driver->setSampleRate(row.rate);
    ASIOBufferInfo infos[2] = {{ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
    if (driver->createBuffers(infos, 2, row.buffer, &callbacks) != ASE_OK) {
        result.error = "createBuffers failed";
        driver->Release();
        return result;
    }
    host.buffers.assign(infos, infos + 2);
    host.words = row.dsd ? row.buffer / 32 : row.buffer;
    int32_t inputLatency = 0;
    driver->getLatencies(&inputLatency, &result.latencyReported);
    // Audio from the first sample: half 1 goes out first.
    FillHalf(host, 1, 0);

    const uint64_t framesPerWrite = static_cast<uint64_t>(host.words);
    bench::MarkerScan scan(kLeaveWrites + 2);
    {
        std::optional<MarkerTap> tap;
        if (!keepRecord)
            tap.emplace(*device, scan, (kLeaveWrites + 2) * framesPerWrite);
        BusyLoad load(row.busy);
        if (row.busy)
            std::this_thread::sleep_for(std::chrono::milliseconds(50)); // let them take the cores
        bench::StallProbe probe;
        const auto startCall = Steady::now();
        const int64_t startNs = NowNs();
        int64_t stopNs = INT64_MAX;
        if (driver->start() != ASE_OK) {
            result.error = "start failed";
        } else {
            std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
            const StreamStats live = device->LatestStreamStats();
            if (live.writes > 0)
                result.startMs =
                    (static_cast<double>(live.firstWriteNs) - static_cast<double>(startNs)) / 1e6;
            // CPU time of the render thread over the whole run, per second of it.
            const double cpu = host.haveThread.load() ? ThreadCpuSeconds(host.threadClock) : 0;
            const auto stopCall = Steady::now();
            stopNs = NowNs();
            driver->stop();
            result.stopMs = Seconds(Steady::now() - stopCall) * 1e3;
            result.seconds = Seconds(stopCall - startCall);
            result.cpuMsPerSecond = cpu * 1e3 / result.seconds;
            result.ok = true;
        }
        probe.Stop();
        result.probed = probe.RealTime();
        // The stream is over (stop drained it and closed the pin): its record is complete.
        if (tap)
            tap->Stop();
        else {
            const std::vector<BYTE> audio = device->Audio();
            scan.Feed(audio.data(), audio.size());
        }
        result.stats = device->LatestStreamStats();
        result.mostPendingWrites = device->MostPendingWrites();
        std::vector<int64_t> leaves(kLeaveWrites, 0);
        leaves.resize(device->FirstFrameLeaveTimes(leaves.data(), leaves.size()));
        const size_t switches =
            std::min<size_t>(host.callbacks.load(std::memory_order_acquire), host.switchReturnNs.size());
        bench::LatencyInput input;
        input.switchReturnNs = std::span<const int64_t>(host.switchReturnNs.data(), switches);
        input.firstFrameLeaveNs = leaves;
        input.framesPerWrite = framesPerWrite;
        input.firstSwitch = 1 + row.safety;
        input.writeOffset = 1 + row.safety;
        result.latency = bench::MeasureLatency(input, scan);
        result.underrunsInStalls = bench::UnderrunsInStalls(result.stats, probe.Stalls());
        result.stallsOverFifo = probe.CountLongerThan(int64_t{device->FifoMicroseconds()} * 1000);
        result.longestStallUs = static_cast<double>(probe.LongestNs()) / 1e3;
        if (g_explain)
            result.explanation = Explain(
                result.stats, probe.Stalls(),
                std::span<const int64_t>(g_overloadNs, std::min<uint64_t>(g_overloads, kKeptOverloads)),
                startNs, stopNs);
    }
    driver->disposeBuffers();
    driver->Release();
    g_host = nullptr;

    result.callbacks = host.callbacks.load();
    result.overloads = g_overloads.load();
    result.callbackMeanUs = result.callbacks ? host.totalNs.load() / 1e3 / result.callbacks : 0;
    result.callbackMaxUs = host.maxNs.load() / 1e3;
    return result;
}

std::string RateName(const Row& row) {
    char text[32];
    if (row.dsd)
        std::snprintf(text, sizeof text, "DSD%d", static_cast<int>(row.rate / 44100));
    else
        std::snprintf(text, sizeof text, "%g kHz", row.rate / 1000);
    return text;
}

double LatencyReportedUs(const Result& r) {
    return r.latencyReported / r.row.rate * 1e6;
}

void PrintHeader() {
    std::printf("%-5s %-10s %7s %6s %5s %1s %9s %6s %5s %5s %9s %8s %8s %8s %8s %9s %9s %8s %8s %8s %11s %7s "
                "%12s %6s %7s %10s %8s %10s\n",
                "mode", "rate", "buffer", "frames", "load", "S", "underruns", "stream", "drain", "ovl",
                "in_stalls", "dev_late", "p50_us", "p99_us", "max_us", "cb_avg_us", "cb_max_us", "cpu_ms/s",
                "start_ms", "stop_ms", "dev_late_us", "stalls", "stall_max_us", "queued", "lat_rep",
                "lat_rep_us", "lat_us", "lat_max_us");
}

void PrintRow(const Result& r) {
    const int32_t frames = r.row.dsd ? r.row.buffer / 32 : r.row.buffer;
    if (!r.ok) {
        std::printf("%-5s %-10s %7d %6d %5s %1u  %s\n", r.row.dsd ? "dsd" : "pcm", RateName(r.row).c_str(),
                    r.row.buffer, frames, r.row.busy ? "busy" : "idle", r.row.safety, r.error.c_str());
        return;
    }
    char inStalls[24] = "-";
    if (r.probed && r.stats.underruns <= StreamStats::kKeptUnderruns)
        std::snprintf(inStalls, sizeof inStalls, "%llu",
                      static_cast<unsigned long long>(r.underrunsInStalls));
    char measured[24] = "-", measuredMax[24] = "-";
    if (r.latency.measured > 0) {
        std::snprintf(measured, sizeof measured, "%.0f", r.latency.medianUs);
        std::snprintf(measuredMax, sizeof measuredMax, "%.0f", r.latency.maxUs);
    }
    std::printf(
        "%-5s %-10s %7d %6d %5s %1u %9llu %6llu %5llu %5llu %9s %8llu %8.0f %8.0f %8.0f %9.1f %9.1f %8.2f "
        "%8.2f %8.1f %11.0f %7zu %12.0f %6zu %7d %10.0f %8s %10s\n",
        r.row.dsd ? "dsd" : "pcm", RateName(r.row).c_str(), r.row.buffer, frames,
        r.row.busy ? "busy" : "idle", r.row.safety, static_cast<unsigned long long>(r.stats.underruns),
        static_cast<unsigned long long>(r.stats.underrunsStreaming),
        static_cast<unsigned long long>(r.stats.underrunsDrain), static_cast<unsigned long long>(r.overloads),
        inStalls, static_cast<unsigned long long>(r.stats.underrunsAfterLateCompletion),
        r.stats.GapPercentileNs(0.5) / 1e3, r.stats.GapPercentileNs(0.99) / 1e3, r.stats.maxGapNs / 1e3,
        r.callbackMeanUs, r.callbackMaxUs, r.cpuMsPerSecond, r.startMs, r.stopMs, r.stats.maxLateNs / 1e3,
        r.stallsOverFifo, r.longestStallUs, r.mostPendingWrites, r.latencyReported, LatencyReportedUs(r),
        measured, measuredMax);
    std::fputs(r.explanation.c_str(), stdout);
    std::fflush(stdout);
}

void PrintJson(const std::vector<Result>& results) {
    std::printf("[\n");
    for (size_t i = 0; i < results.size(); ++i) {
        const Result& r = results[i];
        // null where the probe could not run above the stream or not every underrun's time was kept
        const std::string inStalls = r.probed && r.stats.underruns <= StreamStats::kKeptUnderruns
                                         ? std::to_string(r.underrunsInStalls)
                                         : "null";
        // null where no switch's half could be followed to the device
        char measured[48] = "null", measuredMax[48] = "null";
        if (r.latency.measured > 0) {
            std::snprintf(measured, sizeof measured, "%.1f", r.latency.medianUs);
            std::snprintf(measuredMax, sizeof measuredMax, "%.1f", r.latency.maxUs);
        }
        std::printf(
            "  {\"mode\": \"%s\", \"rate\": %.0f, \"buffer\": %d, \"frames\": %d, \"load\": \"%s\", "
            "\"ok\": %s, \"seconds\": %.3f, \"writes\": %llu, \"underruns\": %llu, "
            "\"underruns_after_late_completion\": %llu, \"underruns_in_machine_stalls\": %s, "
            "\"machine_stalls_over_device_buffer\": %zu, \"machine_stall_max_us\": %.1f, \"p50_us\": %.1f, "
            "\"p99_us\": %.1f, \"max_us\": %.1f, \"callback_mean_us\": %.2f, \"callback_max_us\": %.1f, "
            "\"render_cpu_ms_per_s\": %.3f, \"start_ms\": %.3f, \"stop_ms\": %.3f, \"device_late_max_us\": "
            "%.1f, \"safety\": %u, \"overloads\": %llu, \"underruns_streaming\": %llu, \"underruns_drain\": "
            "%llu, \"most_pending_writes\": %zu, \"latency_reported\": %d, \"latency_reported_us\": %.1f, "
            "\"latency_measured_us\": %s, \"latency_measured_max_us\": %s, \"latency_switches\": %zu, "
            "\"latency_off_mapping\": %zu, \"latency_misplaced\": %zu}%s\n",
            r.row.dsd ? "dsd" : "pcm", r.row.rate, r.row.buffer, r.row.dsd ? r.row.buffer / 32 : r.row.buffer,
            r.row.busy ? "busy" : "idle", r.ok ? "true" : "false", r.seconds,
            static_cast<unsigned long long>(r.stats.writes),
            static_cast<unsigned long long>(r.stats.underruns),
            static_cast<unsigned long long>(r.stats.underrunsAfterLateCompletion), inStalls.c_str(),
            r.stallsOverFifo, r.longestStallUs, r.stats.GapPercentileNs(0.5) / 1e3,
            r.stats.GapPercentileNs(0.99) / 1e3, r.stats.maxGapNs / 1e3, r.callbackMeanUs, r.callbackMaxUs,
            r.cpuMsPerSecond, r.startMs, r.stopMs, r.stats.maxLateNs / 1e3, r.row.safety,
            static_cast<unsigned long long>(r.overloads),
            static_cast<unsigned long long>(r.stats.underrunsStreaming),
            static_cast<unsigned long long>(r.stats.underrunsDrain), r.mostPendingWrites, r.latencyReported,
            LatencyReportedUs(r), measured, measuredMax, r.latency.measured, r.latency.offMapping,
            r.latency.misplaced, i + 1 < results.size() ? "," : "");
    }
    std::printf("]\n");
}

// The machine's own stalls, nothing streaming: stalls longer than the device buffer underrun any
// stream, whatever the driver does.
void ProbeStalls(double seconds) {
    bench::StallProbe probe;
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    probe.Stop();
    const auto over = [&](int64_t ns) { return probe.CountLongerThan(ns); };
    std::printf("machine: %s probes, one per processor, for %.0f s: stalls over %lld us %zu times, over 2 ms "
                "%zu, over 5 ms %zu; longest %.0f us\n",
                probe.RealTime() ? "real-time" : "normal (not above the stream: no proof)", seconds,
                static_cast<long long>(bench::StallProbe::kThresholdNs / 1000),
                over(bench::StallProbe::kThresholdNs), over(2000000), over(5000000),
                static_cast<double>(probe.LongestNs()) / 1e3);
}

int Usage() {
    std::fprintf(stderr,
                 "usage: bench_streaming [--quick] [--seconds S] [--json] [--mode pcm|dsd] "
                 "[--load idle|busy] [--rate HZ] [--buffer SAMPLES] [--safety 0|1|2] [--timeinfo] [--record] "
                 "[--explain]\n"
                 "       bench_streaming --stalls SECONDS\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    double seconds = 20.0;
    bool json = false;
    bool record = false;
    std::string onlyMode, onlyLoad;
    double onlyRate = 0;
    int32_t onlyBuffer = 0;
    int onlySafety = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (arg == "--quick") {
            seconds = 1.5;
        } else if (arg == "--json") {
            json = true;
        } else if (arg == "--timeinfo") {
            g_timeInfo = true;
        } else if (arg == "--explain") {
            g_explain = true;
        } else if (arg == "--record") {
            record = true;
        } else if (arg == "--stalls") {
            const char* v = value();
            if (!v)
                return Usage();
            ProbeStalls(std::atof(v));
            return 0;
        } else if (arg == "--seconds" || arg == "--mode" || arg == "--load" || arg == "--rate" ||
                   arg == "--buffer" || arg == "--safety") {
            const char* v = value();
            if (!v)
                return Usage();
            if (arg == "--seconds")
                seconds = std::atof(v);
            else if (arg == "--mode")
                onlyMode = v;
            else if (arg == "--load")
                onlyLoad = v;
            else if (arg == "--rate")
                onlyRate = std::atof(v);
            else if (arg == "--buffer")
                onlyBuffer = std::atoi(v);
            else if ((onlySafety = std::atoi(v)) < 0 || onlySafety > 2)
                return Usage();
        } else {
            return Usage();
        }
    }
    if (!(seconds > 0))
        return Usage();

    // Every size at S = 0, and S = 1 and 2 at the default buffer (1024 frames: 32768 samples in DSD);
    // --safety S: every size at S.
    std::vector<Row> rows;
    for (bool dsd : {false, true})
        for (double rate : dsd ? std::vector<double>{2822400, 11289600, 22579200}
                               : std::vector<double>{44100, 192000, 768000})
            for (bool busy : {false, true})
                for (int32_t frames = 32; frames <= 2048; frames *= 2)
                    for (uint32_t safety = 0; safety <= 2; ++safety) {
                        const Row row{dsd, rate, dsd ? frames * 32 : frames, busy, safety};
                        if (onlySafety >= 0 ? safety != static_cast<uint32_t>(onlySafety)
                                            : safety > 0 && frames != 1024)
                            continue;
                        if ((!onlyMode.empty() && onlyMode != (dsd ? "dsd" : "pcm")) ||
                            (!onlyLoad.empty() && onlyLoad != (busy ? "busy" : "idle")) ||
                            (onlyRate > 0 && onlyRate != rate) ||
                            (onlyBuffer > 0 && onlyBuffer != row.buffer))
                            continue;
                        rows.push_back(row);
                    }

    // The machine's real-time clock device, attached the way a system lists it.
    auto device = sim::larkspur::Device::Create(sim::larkspur::Clock::RealTime);
    sim::SetDeviceInterfaces({sim::LarkspurInterface(device->OpenFilter())});

    if (!json) {
        std::printf("%zu rows, %.1f s each, device buffer %u us\n", rows.size(), seconds,
                    device->FifoMicroseconds());
        PrintHeader();
    }
    std::vector<Result> results;
    for (const Row& row : rows) {
        results.push_back(Play(device, row, seconds, record));
        if (!json)
            PrintRow(results.back());
    }
    if (json)
        PrintJson(results);
    sim::ResetDeviceInterfaces();
    // More drop-outs reported than the device had would be false alarms: say so, the times do not matter.
    size_t falseAlarms = 0;
    for (const Result& r : results)
        if (r.ok && r.overloads > r.stats.underrunsStreaming)
            ++falseAlarms;
    if (falseAlarms > 0)
        std::fprintf(stderr, "%zu rows with more overloads reported than streaming underruns\n", falseAlarms);
    for (const Result& r : results)
        if (!r.ok)
            return 1;
    return 0;
}
