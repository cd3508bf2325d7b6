#include "bench/machine_stalls.h"

#include "sim/threads.h"

#include <algorithm>
#include <chrono>

#include <pthread.h>
#include <sched.h>

namespace bench {

namespace {

// Above the simulated "Pro Audio" task and the device's clock, so that nothing of the stream delays it.
constexpr int kProbePriority = 90;
// Room for a stall every millisecond of a long row; reserved up front so a probe never allocates.
constexpr size_t kMaxStalls = 1 << 16;

} // namespace

StallProbe::StallProbe() {
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    if (sched_getaffinity(0, sizeof cpus, &cpus) != 0)
        return;
    std::vector<int> ids;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, &cpus))
            ids.push_back(cpu);
    m_probes.resize(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
        m_probes[i].cpu = ids[i];
        m_probes[i].stalls.reserve(kMaxStalls);
    }
    for (Probe& probe : m_probes)
        probe.thread = std::thread([this, &probe] { Run(probe); });
}

StallProbe::~StallProbe() {
    Stop();
}

void StallProbe::Stop() {
    m_stop = true;
    std::vector<Stall> all;
    for (Probe& probe : m_probes) {
        if (probe.thread.joinable())
            probe.thread.join();
        all.insert(all.end(), probe.stalls.begin(), probe.stalls.end());
        probe.stalls.clear();
    }
    if (!all.empty())
        m_stalls = JoinStalls(std::move(all));
}

int64_t StallProbe::LongestNs() const {
    int64_t longest = 0;
    for (const Stall& s : m_stalls)
        longest = std::max(longest, s.toNs - s.fromNs);
    return longest;
}

size_t StallProbe::CountLongerThan(int64_t ns) const {
    return static_cast<size_t>(std::count_if(m_stalls.begin(), m_stalls.end(),
                                             [ns](const Stall& s) { return s.toNs - s.fromNs > ns; }));
}

void StallProbe::Run(Probe& probe) {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(probe.cpu, &one);
    if (pthread_setaffinity_np(pthread_self(), sizeof one, &one) == 0 && sim::RaiseToRealTime(kProbePriority))
        m_realTime.fetch_add(1);
    using namespace std::chrono;
    auto next = steady_clock::now();
    while (!m_stop.load(std::memory_order_relaxed)) {
        next += milliseconds(1);
        std::this_thread::sleep_until(next);
        const auto now = steady_clock::now();
        const int64_t due = duration_cast<nanoseconds>(next.time_since_epoch()).count();
        const int64_t woke = duration_cast<nanoseconds>(now.time_since_epoch()).count();
        if (woke - due > kThresholdNs && probe.stalls.size() < kMaxStalls)
            probe.stalls.push_back({due, woke});
        if (now > next + milliseconds(1))
            next = now; // do not try to catch up on the ticks the stall swallowed
    }
}

std::vector<Stall> JoinStalls(std::vector<Stall> stalls) {
    std::sort(stalls.begin(), stalls.end(),
              [](const Stall& a, const Stall& b) { return a.fromNs < b.fromNs; });
    std::vector<Stall> joined;
    for (const Stall& s : stalls) {
        if (!joined.empty() && s.fromNs <= joined.back().toNs)
            joined.back().toNs = std::max(joined.back().toNs, s.toNs);
        else
            joined.push_back(s);
    }
    return joined;
}

int64_t StoodStillNs(const sim::larkspur::Underrun& underrun, std::span<const Stall> stalls) {
    int64_t stood = 0;
    for (const Stall& s : stalls)
        stood +=
            std::max<int64_t>(0, std::min(s.toNs, underrun.arrivedNs) - std::max(s.fromNs, underrun.dueNs));
    return stood;
}

uint64_t UnderrunsInStalls(const sim::larkspur::StreamStats& stats, std::span<const Stall> stalls) {
    uint64_t explained = 0;
    for (uint64_t i = 0; i < stats.KeptUnderruns(); ++i) {
        const sim::larkspur::Underrun& u = stats.kept[i];
        if (u.arrivedNs - StoodStillNs(u, stalls) <= u.emptyNs)
            ++explained;
    }
    return explained;
}

} // namespace bench
