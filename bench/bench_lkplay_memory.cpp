// Peak memory of lkplay over playing time: a 5-second and a 60-second DSD128 file played through the
// driver library's simulated device, without and with --verify. Each play is one run of the lkplay
// program; its peak resident set comes from the kernel's accounting of the child.
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

std::string SampleFile(int seconds) {
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("lkplay_mem_dsd128_" + std::to_string(seconds) + "s_v2.dsf"))
                                 .string();
    if (!std::filesystem::exists(path)) {
        // A tenth of a second of silence first: a driver that loses the first periods of a stream
        // still passes --verify.
        const std::string command = std::string(LKSAMPLE_BIN) + " --silence 0.1 --rate 5644800 --seconds " +
                                    std::to_string(seconds) + " '" + path + "'";
        if (std::system(command.c_str()) != 0)
            return {};
    }
    return path;
}

// Peak resident set of one lkplay run in MB, or -1 when it failed.
double PlayPeakMb(const std::string& file, bool verify) {
    const pid_t child = fork();
    if (child == 0) {
        if (verify)
            execl(LKPLAY_BIN, LKPLAY_BIN, "--quiet", "--verify", file.c_str(), static_cast<char*>(nullptr));
        else
            execl(LKPLAY_BIN, LKPLAY_BIN, "--quiet", file.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (child < 0 || wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        return -1;
    return usage.ru_maxrss / 1024.0; // kilobytes on Linux
}

void BM_PlayDsd128(benchmark::State& state) {
    const int seconds = static_cast<int>(state.range(0));
    const bool verify = state.range(1) != 0;
    const std::string file = SampleFile(seconds);
    if (file.empty()) {
        state.SkipWithError("lksample failed");
        return;
    }
    double peak = 0;
    for (auto _ : state) {
        peak = PlayPeakMb(file, verify);
        if (peak < 0)
            state.SkipWithError("lkplay failed");
    }
    state.counters["peak_rss_MB"] = peak;
    state.SetLabel(std::to_string(seconds) + " s of DSD128" + (verify ? ", --verify" : ""));
}

BENCHMARK(BM_PlayDsd128)
    ->ArgsProduct({{5, 60}, {0, 1}})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

} // namespace

BENCHMARK_MAIN();
