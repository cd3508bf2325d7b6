#include "tools/lkplay/player.h"

#include "tools/lkplay/asio_host.h"
#include "tools/lkplay/audio_writers.h"
#include "tools/lkplay/decoder.h"
#include "tools/lkplay/display.h"
#include "tools/lkplay/spsc_queue.h"
#include "tools/lkplay/verify.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace lkplay {

namespace {

using Clock = std::chrono::steady_clock;

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

void Sleep(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// The decoding thread: reads the file and keeps the queue full until the file ends or it is told to stop.
class DecodeThread {
public:
    DecodeThread(Decoder* decoder, SpscQueue<Frame>* queue, AsioHost* host)
        : m_decoder(decoder), m_queue(queue), m_host(host) {}
    ~DecodeThread() { Stop(); }

    void Start() {
        m_thread = std::thread([this] { Run(); });
    }
    void Stop() {
        m_abort.store(true);
        if (m_thread.joinable())
            m_thread.join();
    }
    bool done() const { return m_done.load(std::memory_order_acquire); }
    DecodeStatus status() const { return m_status; } // valid once done

private:
    void Run() {
        std::vector<Frame> pending;
        DecodeStatus status = DecodeStatus::Ok;
        while (status == DecodeStatus::Ok && !m_abort.load()) {
            pending.clear();
            status = m_decoder->Read(pending);
            size_t pushed = 0;
            while (pushed < pending.size() && !m_abort.load()) {
                pushed += m_queue->Push(pending.data() + pushed, pending.size() - pushed);
                if (pushed < pending.size())
                    Sleep(2);
            }
        }
        m_status = status;
        m_host->EndOfInput();
        m_done.store(true, std::memory_order_release);
    }

    Decoder* m_decoder;
    SpscQueue<Frame>* m_queue;
    AsioHost* m_host;
    std::thread m_thread;
    std::atomic<bool> m_abort{false};
    std::atomic<bool> m_done{false};
    DecodeStatus m_status = DecodeStatus::Ok;
};

struct DriverRef {
    IASIO* driver = nullptr;
    ~DriverRef() {
        if (driver)
            driver->Release();
    }
};

ExitCode CaptureAndVerify(const PlayContext& context, const std::string& path, const StreamInfo& info,
                          const std::string& capturePath) {
    const Options& options = *context.options;
    Reception reception;
    std::string error;
    if (!context.tap->Read(&reception, &error)) {
        std::fprintf(context.err, "lkplay: %s: %s\n", path.c_str(), error.c_str());
        return kExitCapture;
    }
    if (!capturePath.empty()) {
        std::unique_ptr<AudioFileWriter> writer;
        if (info.dsd)
            writer = std::make_unique<DsfWriter>();
        else
            writer = std::make_unique<WavWriter>();
        const bool ok = writer->Open(capturePath, static_cast<uint32_t>(info.rate)) &&
                        writer->Write(reception.frames.data(), reception.frames.size()) && writer->Close();
        if (!ok) {
            std::fprintf(context.err, "lkplay: capture: %s\n", writer->error().c_str());
            return kExitCapture;
        }
        if (!options.quiet)
            std::fprintf(context.out, "captured %zu frames received by the device into %s\n",
                         reception.frames.size(), capturePath.c_str());
    }
    if (!options.verify)
        return kExitOk;

    const uint32_t wantedMode = info.dsd ? kDeviceModeDsd : kDeviceModePcm;
    const auto mode = std::find_if(reception.modes.begin(), reception.modes.end(),
                                   [](uint32_t m) { return m == kDeviceModeDsd || m == kDeviceModePcm; });
    if (mode == reception.modes.end() || *mode != wantedMode) {
        std::fprintf(context.out, "verify: %s: MISMATCH: the device was not put into %s mode\n", path.c_str(),
                     info.dsd ? "DSD" : "PCM");
        return kExitMismatch;
    }
    // The file once more, through the same decoding and conversion as played.
    Decoder decoder;
    if (decoder.Open(path) != DecodeStatus::Ok) {
        std::fprintf(context.err, "lkplay: verify: %s\n", decoder.error().c_str());
        return kExitCapture;
    }
    StreamVerifier verifier(reception.frames.data(), reception.frames.size(), SilenceFrame(info.dsd));
    std::vector<Frame> frames;
    DecodeStatus status = DecodeStatus::Ok;
    while (status == DecodeStatus::Ok) {
        frames.clear();
        status = decoder.Read(frames);
        verifier.Feed(frames.data(), frames.size());
    }
    const VerifyResult result = verifier.Finish();
    if (!result.match) {
        std::fprintf(context.out, "verify: %s: MISMATCH: %s\n", path.c_str(), result.message.c_str());
        return kExitMismatch;
    }
    std::fprintf(context.out, "verify: %s: %s: %s\n", path.c_str(),
                 info.integer ? "bit-exact" : "bit-exact (against its 32-bit conversion from float)",
                 result.message.c_str());
    return kExitOk;
}

} // namespace

ExitCode PlayFile(const PlayContext& context, const std::string& path, const std::string& capturePath) {
    const Options& options = *context.options;
    Decoder decoder;
    if (const DecodeStatus status = decoder.Open(path); status != DecodeStatus::Ok) {
        std::fprintf(context.err, "lkplay: %s\n", decoder.error().c_str());
        return ExitCodeFor(status);
    }
    const StreamInfo& info = decoder.info();
    const double framesPerSecond = info.dsd ? info.rate / kDsdSamplesPerWord : info.rate;

    DriverRef ref;
    ref.driver = context.createDriver ? context.createDriver() : context.library->CreateDriver();
    if (!ref.driver) {
        std::fprintf(context.err, "lkplay: %s\n",
                     context.library ? context.library->error().c_str() : "no driver object");
        return kExitDriverLoad;
    }

    // About a second of audio between the decoder and the callback.
    SpscQueue<Frame> queue;
    if (!queue.Init(std::max<size_t>(static_cast<size_t>(framesPerSecond), 65536))) {
        std::fprintf(context.err, "lkplay: out of memory\n");
        return kExitUnreadable;
    }
    AsioHost host(ref.driver, &queue);
    HostSettings settings;
    settings.dsd = info.dsd;
    settings.rate = info.rate;
    settings.bufferSize = options.bufferSize;
    settings.timeInfo = options.timeInfo;
    HostFailure failure;
    if (!host.Prepare(settings, &failure)) {
        std::fprintf(context.err, "lkplay: %s: %s: %s\n", path.c_str(), HostStepName(failure.step),
                     failure.message.c_str());
        return ExitCodeFor(failure);
    }
    if (!options.quiet) {
        std::fputs(FormatHeader(path, info, host.bufferSize()).c_str(), context.out);
        std::fflush(context.out);
    }

    DecodeThread decoding(&decoder, &queue, &host);
    decoding.Start();
    while (!decoding.done() && queue.FreeSpace() > 0 && !context.interrupted->load())
        Sleep(1);
    context.tap->Clear();
    if (!host.Start(&failure)) {
        decoding.Stop();
        std::fflush(context.out);
        std::fprintf(context.err, "lkplay: %s: %s: %s\n", path.c_str(), HostStepName(failure.step),
                     failure.message.c_str());
        return ExitCodeFor(failure);
    }

    const double total = info.totalSamples >= 0 ? static_cast<double>(info.totalSamples) / info.rate : -1;
    const auto stallNs =
        static_cast<int64_t>(std::max(context.stallSeconds, 10.0 * host.bufferSize() / info.rate) * 1e9);
    const int64_t startNs = NowNs();
    ExitCode result = kExitOk;
    for (int tick = 0;; ++tick) {
        Sleep(10);
        if (host.Finished())
            break;
        if (context.interrupted->load()) {
            result = kExitInterrupted;
            break;
        }
        const int64_t last = std::max(host.lastCallbackNs(), startNs);
        if (NowNs() - last > stallNs) {
            result = kExitStreamStall;
            break;
        }
        if (context.terminal && !options.quiet && tick % 10 == 0) {
            const HostStats stats = host.Stats();
            std::fprintf(context.out, "\r%s",
                         FormatProgress(stats.framesPlayed / framesPerSecond, total, stats).c_str());
            std::fflush(context.out);
        }
    }
    host.Shutdown();
    decoding.Stop();

    const HostStats stats = host.Stats();
    if (!options.quiet) {
        std::fprintf(context.out, "%s%s\n", context.terminal ? "\r" : "",
                     FormatProgress(stats.framesPlayed / framesPerSecond, total, stats).c_str());
    }
    std::fflush(context.out); // what follows on stderr comes after it
    if (result == kExitStreamStall) {
        std::fprintf(context.err, "lkplay: %s: the driver stopped calling back after %llu callbacks\n",
                     path.c_str(), static_cast<unsigned long long>(stats.callbacks));
        return result;
    }
    if (result == kExitInterrupted)
        return result;
    if (stats.resetRequests > 0)
        std::fprintf(context.err, "lkplay: %s: the driver asked for a reset during playback\n", path.c_str());
    if (decoding.done() && decoding.status() != DecodeStatus::End) {
        std::fprintf(context.err, "lkplay: %s\n", decoder.error().c_str());
        result = ExitCodeFor(decoding.status());
    }
    if (options.verify || !capturePath.empty()) {
        const ExitCode checked = CaptureAndVerify(context, path, info, capturePath);
        if (result == kExitOk)
            result = checked;
    }
    return result;
}

} // namespace lkplay
