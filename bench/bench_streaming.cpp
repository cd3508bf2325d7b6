// Plays through the driver on the simulated Larkspur with its real-time clock and device buffer, row by
// row (PCM and DSD rates, buffer sizes, idle or with two busy threads), and reports whether the render
// thread got each write to the device in time.
//
//   bench_streaming [--quick] [--seconds S] [--json] [--mode pcm|dsd] [--load idle|busy] [--rate HZ]
//                   [--buffer SAMPLES] [--timeinfo] [--record] [--explain]
//   bench_streaming --stalls SECONDS
// --timeinfo: the host takes time information (a position read per period); --record: the device keeps
// what it received, as in the tests; --explain: list each underrun with the machine's stalls around it.
// A probe above the stream's threads notes the machine's own stalls during every row; `in_stalls` counts
// the underruns those stalls explain.
#include "bench/machine_stalls.h"
#include "platform/asio.h"
#include "sim/larkspur/device.h"
#include "sim/setupapi.h"
#include "sim/threads.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
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
};

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
    // The machine's stalls during the row, and the underruns they explain.
    bool probed = false;
    uint64_t underrunsInStalls = 0;
    size_t stallsOverFifo = 0;
    double longestStallUs = 0;
    std::string explanation; // --explain: each underrun and the machine's stalls around it
};

bool g_explain = false;

// One line per kept underrun: when it struck, how late the device reported the completion before it,
// when the buffer ran empty and the write came (from the completion's due time), and how long the
// machine stood still in between.
std::string Explain(const StreamStats& stats, std::span<const bench::Stall> stalls, int64_t startNs) {
    std::string text;
    for (uint64_t i = 0; i < stats.KeptUnderruns(); ++i) {
        const sim::larkspur::Underrun& u = stats.kept[i];
        const int64_t stood = bench::StoodStillNs(u, stalls);
        char line[200];
        std::snprintf(
            line, sizeof line,
            "  underrun at %.3f s: completion reported +%.0f us, buffer empty +%.0f us, write +%.0f "
            "us; the machine stood still %.0f us of it\n",
            static_cast<double>(u.dueNs - startNs) / 1e9, static_cast<double>(u.reportedNs - u.dueNs) / 1e3,
            static_cast<double>(u.emptyNs - u.dueNs) / 1e3, static_cast<double>(u.arrivedNs - u.dueNs) / 1e3,
            static_cast<double>(stood) / 1e3);
        text += line;
    }
    return text;
}

// The host: fills each half it is handed and times itself.
struct Host {
    std::vector<ASIOBufferInfo> buffers;
    int32_t words = 0; // 32-bit words per half
    std::atomic<uint64_t> callbacks{0};
    std::atomic<uint64_t> totalNs{0};
    std::atomic<uint64_t> maxNs{0};
    std::atomic<bool> haveThread{false};
    clockid_t threadClock{};
};
Host* g_host = nullptr;

void Fill(int32_t index) {
    Host& host = *g_host;
    const int64_t begin = NowNs();
    if (!host.haveThread.load(std::memory_order_relaxed)) {
        pthread_getcpuclockid(pthread_self(), &host.threadClock);
        host.haveThread.store(true);
    }
    const uint64_t period = host.callbacks.load(std::memory_order_relaxed);
    for (size_t b = 0; b < host.buffers.size(); ++b) {
        auto* half = static_cast<int32_t*>(host.buffers[b].buffers[index]);
        for (int32_t j = 0; j < host.words; ++j)
            half[j] = static_cast<int32_t>(period * 2654435761u + j);
    }
    const uint64_t spent = static_cast<uint64_t>(NowNs() - begin);
    host.totalNs.fetch_add(spent, std::memory_order_relaxed);
    if (spent > host.maxNs.load(std::memory_order_relaxed))
        host.maxNs.store(spent, std::memory_order_relaxed);
    host.callbacks.fetch_add(1, std::memory_order_release);
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
int32_t Message(int32_t selector, int32_t, void*, double*) {
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

Result Play(const std::shared_ptr<sim::larkspur::Device>& device, const Row& row, double seconds) {
    Result result;
    result.row = row;
    device->ClearRecord();
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

    {
        BusyLoad load(row.busy);
        if (row.busy)
            std::this_thread::sleep_for(std::chrono::milliseconds(50)); // let them take the cores
        bench::StallProbe probe;
        const auto startCall = Steady::now();
        const int64_t startNs = NowNs();
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
            driver->stop();
            result.stopMs = Seconds(Steady::now() - stopCall) * 1e3;
            result.seconds = Seconds(stopCall - startCall);
            result.cpuMsPerSecond = cpu * 1e3 / result.seconds;
            result.ok = true;
        }
        probe.Stop();
        result.probed = probe.RealTime();
        // The stream is over (stop drained it and closed the pin): its record is complete.
        result.stats = device->LatestStreamStats();
        result.underrunsInStalls = bench::UnderrunsInStalls(result.stats, probe.Stalls());
        result.stallsOverFifo = probe.CountLongerThan(int64_t{device->FifoMicroseconds()} * 1000);
        result.longestStallUs = static_cast<double>(probe.LongestNs()) / 1e3;
        if (g_explain)
            result.explanation = Explain(result.stats, probe.Stalls(), startNs);
    }
    driver->disposeBuffers();
    driver->Release();
    g_host = nullptr;

    result.callbacks = host.callbacks.load();
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

void PrintHeader() {
    std::printf("%-5s %-10s %7s %6s %5s %9s %9s %8s %8s %8s %8s %9s %9s %8s %8s %8s %11s %7s %12s\n", "mode",
                "rate", "buffer", "frames", "load", "underruns", "in_stalls", "dev_late", "p50_us", "p99_us",
                "max_us", "cb_avg_us", "cb_max_us", "cpu_ms/s", "start_ms", "stop_ms", "dev_late_us",
                "stalls", "stall_max_us");
}

void PrintRow(const Result& r) {
    const int32_t frames = r.row.dsd ? r.row.buffer / 32 : r.row.buffer;
    if (!r.ok) {
        std::printf("%-5s %-10s %7d %6d %5s  %s\n", r.row.dsd ? "dsd" : "pcm", RateName(r.row).c_str(),
                    r.row.buffer, frames, r.row.busy ? "busy" : "idle", r.error.c_str());
        return;
    }
    char inStalls[24] = "-";
    if (r.probed && r.stats.underruns <= StreamStats::kKeptUnderruns)
        std::snprintf(inStalls, sizeof inStalls, "%llu",
                      static_cast<unsigned long long>(r.underrunsInStalls));
    std::printf(
        "%-5s %-10s %7d %6d %5s %9llu %9s %8llu %8.0f %8.0f %8.0f %9.1f %9.1f %8.2f %8.2f %8.1f %11.0f "
        "%7zu %12.0f\n",
        r.row.dsd ? "dsd" : "pcm", RateName(r.row).c_str(), r.row.buffer, frames,
        r.row.busy ? "busy" : "idle", static_cast<unsigned long long>(r.stats.underruns), inStalls,
        static_cast<unsigned long long>(r.stats.underrunsAfterLateCompletion),
        r.stats.GapPercentileNs(0.5) / 1e3, r.stats.GapPercentileNs(0.99) / 1e3, r.stats.maxGapNs / 1e3,
        r.callbackMeanUs, r.callbackMaxUs, r.cpuMsPerSecond, r.startMs, r.stopMs, r.stats.maxLateNs / 1e3,
        r.stallsOverFifo, r.longestStallUs);
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
        std::printf(
            "  {\"mode\": \"%s\", \"rate\": %.0f, \"buffer\": %d, \"frames\": %d, \"load\": \"%s\", "
            "\"ok\": %s, \"seconds\": %.3f, \"writes\": %llu, \"underruns\": %llu, "
            "\"underruns_after_late_completion\": %llu, \"underruns_in_machine_stalls\": %s, "
            "\"machine_stalls_over_device_buffer\": %zu, \"machine_stall_max_us\": %.1f, \"p50_us\": %.1f, "
            "\"p99_us\": %.1f, \"max_us\": %.1f, \"callback_mean_us\": %.2f, \"callback_max_us\": %.1f, "
            "\"render_cpu_ms_per_s\": %.3f, \"start_ms\": %.3f, \"stop_ms\": %.3f, \"device_late_max_us\": "
            "%.1f}%s\n",
            r.row.dsd ? "dsd" : "pcm", r.row.rate, r.row.buffer, r.row.dsd ? r.row.buffer / 32 : r.row.buffer,
            r.row.busy ? "busy" : "idle", r.ok ? "true" : "false", r.seconds,
            static_cast<unsigned long long>(r.stats.writes),
            static_cast<unsigned long long>(r.stats.underruns),
            static_cast<unsigned long long>(r.stats.underrunsAfterLateCompletion), inStalls.c_str(),
            r.stallsOverFifo, r.longestStallUs, r.stats.GapPercentileNs(0.5) / 1e3,
            r.stats.GapPercentileNs(0.99) / 1e3, r.stats.maxGapNs / 1e3, r.callbackMeanUs, r.callbackMaxUs,
            r.cpuMsPerSecond, r.startMs, r.stopMs, r.stats.maxLateNs / 1e3,
            i + 1 < results.size() ? "," : "");
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
                 "[--load idle|busy] [--rate HZ] [--buffer SAMPLES] [--timeinfo] [--record] [--explain]\n"
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
                   arg == "--buffer") {
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
            else
                onlyBuffer = std::atoi(v);
        } else {
            return Usage();
        }
    }
    if (!(seconds > 0))
        return Usage();

    std::vector<Row> rows;
    for (bool dsd : {false, true})
        for (double rate : dsd ? std::vector<double>{2822400, 11289600, 22579200}
                               : std::vector<double>{44100, 192000, 768000})
            for (bool busy : {false, true})
                for (int32_t frames = 32; frames <= 2048; frames *= 2) {
                    const Row row{dsd, rate, dsd ? frames * 32 : frames, busy};
                    if ((!onlyMode.empty() && onlyMode != (dsd ? "dsd" : "pcm")) ||
                        (!onlyLoad.empty() && onlyLoad != (busy ? "busy" : "idle")) ||
                        (onlyRate > 0 && onlyRate != rate) || (onlyBuffer > 0 && onlyBuffer != row.buffer))
                        continue;
                    rows.push_back(row);
                }

    // The machine's real-time clock device, attached the way a system lists it.
    auto device = sim::larkspur::Device::Create(sim::larkspur::Clock::RealTime);
    // What the device received is not checked here; keeping minutes of it would only cost memory.
    device->SetAudioRecording(record);
    sim::SetDeviceInterfaces({sim::LarkspurInterface(device->OpenFilter())});

    if (!json) {
        std::printf("%zu rows, %.1f s each, device buffer %u us\n", rows.size(), seconds,
                    device->FifoMicroseconds());
        PrintHeader();
    }
    std::vector<Result> results;
    for (const Row& row : rows) {
        results.push_back(Play(device, row, seconds));
        if (!json)
            PrintRow(results.back());
    }
    if (json)
        PrintJson(results);
    sim::ResetDeviceInterfaces();
    for (const Result& r : results)
        if (!r.ok)
            return 1;
    return 0;
}
