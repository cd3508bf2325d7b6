#include "tools/lkplay/player.h"

#include "tools/lkplay/asio_host.h"
#include "tools/lkplay/audio_writers.h"
#include "tools/lkplay/display.h"
#include "tools/lkplay/reference.h"
#include "tools/lkplay/resampler.h"
#include "tools/lkplay/spsc_queue.h"
#include "tools/lkplay/verify.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <thread>

namespace lkplay {

namespace {

using Clock = std::chrono::steady_clock;

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

void Sleep(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// What the decoding thread tells about each file of a stream.
struct FileState {
    std::atomic<int64_t> played{-1};         // frames handed to the queue, once the whole file is read
    DecodeStatus status = DecodeStatus::End; // valid once `played` is set
    std::string error;
};

// The decoding thread: reads the stream's files one after the other into the queue, so that the next
// file's first frame follows the previous file's last.
class DecodeThread {
public:
    DecodeThread(std::vector<PlayItem*> items, std::vector<FileState>* states, SpscQueue<Frame>* queue,
                 AsioHost* host)
        : m_items(std::move(items)), m_states(states), m_queue(queue), m_host(host) {}
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

private:
    void Run() {
        std::vector<Frame> decoded, resampled;
        for (size_t k = 0; k < m_items.size() && !m_abort.load(); ++k) {
            Decoder* decoder = m_items[k]->decoder.get();
            uint64_t count = 0;
            DecodeStatus status = DecodeStatus::Ok;
            Resampler resampler;
            const bool resampling = m_items[k]->deviceRate != decoder->info().rate;
            std::string error;
            if (resampling && !resampler.Open(decoder->info().rate, m_items[k]->deviceRate, &error))
                status = DecodeStatus::NoMemory;
            while (status == DecodeStatus::Ok && !m_abort.load()) {
                decoded.clear();
                status = decoder->Read(decoded);
                std::vector<Frame>* pendingFrames = &decoded;
                if (resampling) {
                    resampled.clear();
                    resampler.Convert(decoded.data(), decoded.size(), resampled);
                    // At the end, what the filter still holds.
                    for (size_t before = 0; status != DecodeStatus::Ok && before != resampled.size();) {
                        before = resampled.size();
                        resampler.Convert(nullptr, 0, resampled);
                    }
                    pendingFrames = &resampled;
                }
                const std::vector<Frame>& pending = *pendingFrames;
                size_t pushed = 0;
                while (pushed < pending.size() && !m_abort.load()) {
                    pushed += m_queue->Push(pending.data() + pushed, pending.size() - pushed);
                    if (pushed < pending.size())
                        Sleep(2);
                }
                count += pushed;
            }
            FileState& state = (*m_states)[k];
            state.status = status;
            state.error = error.empty() ? decoder->error() : m_items[k]->path + ": " + error;
            state.played.store(static_cast<int64_t>(count), std::memory_order_release);
        }
        m_host->EndOfInput();
        m_done.store(true, std::memory_order_release);
    }

    std::vector<PlayItem*> m_items;
    std::vector<FileState>* m_states;
    SpscQueue<Frame>* m_queue;
    AsioHost* m_host;
    std::thread m_thread;
    std::atomic<bool> m_abort{false};
    std::atomic<bool> m_done{false};
};

// The driver object a stream plays on: the first, then a new one after each reconnect.
class DriverSlot {
public:
    explicit DriverSlot(const PlayContext& context) : m_context(context) {}
    ~DriverSlot() { Release(); }
    DriverSlot(const DriverSlot&) = delete;
    DriverSlot& operator=(const DriverSlot&) = delete;

    // Releases the current object and creates another; null (the reason on stderr) when it cannot.
    IASIO* Create() {
        Release();
        m_driver = m_context.createDriver ? m_context.createDriver() : m_context.library->CreateDriver();
        if (!m_driver)
            std::fprintf(m_context.err, "lkplay: %s\n",
                         m_context.library ? m_context.library->error().c_str() : "no driver object");
        return m_driver;
    }
    void Release() {
        if (m_driver)
            m_driver->Release();
        m_driver = nullptr;
    }

private:
    const PlayContext& m_context;
    IASIO* m_driver = nullptr;
};

// One stream: its files, what the device received of them, and what is reported about each.
class Stream {
public:
    Stream(const PlayContext& context, std::vector<PlayItem*> items)
        : m_context(context), m_options(*context.options), m_items(std::move(items)),
          m_states(m_items.size()), m_info(m_items[0]->decoder->info()),
          m_verifier(SilenceFrame(m_info.dsd)) {
        m_rate = m_items[0]->deviceRate;
        m_framesPerSecond = m_info.dsd ? m_rate / kDsdSamplesPerWord : m_rate;
        m_writers.resize(m_items.size());
        m_captured.resize(m_items.size());
        m_captureFailed.resize(m_items.size());
    }

    // `settings` are those `host` was prepared with, for a reconnect.
    ExitCode Play(AsioHost* host, SpscQueue<Frame>* queue, DriverSlot* slot, const HostSettings& settings);

private:
    // What the device received since the latest start.
    struct Session {
        uint64_t received = 0;
        int64_t firstSound = -1; // where the first frame other than silence arrived
        uint64_t dropLeft = 0;   // the driver's own silence still to come before the host's first half
    };

    bool Tapping() const {
        if (m_options.verify || (m_options.reconnect && m_context.tap->available()))
            return true;
        for (const PlayItem* item : m_items)
            if (!item->capturePath.empty())
                return true;
        return false;
    }
    // Where file k begins in the stream (frames), once the files before it are read.
    bool FileStart(size_t k, uint64_t* start) const;
    void Drain();
    void Receive(const Frame* frames, size_t count);
    void Route(const Frame* frames, size_t count);
    bool ResumeFrame(const AsioHost& host, uint64_t* frame);
    // After a reset request: takes the driver down, waits for the device, sets up again and plays on.
    // Anything but kExitOk ends the stream, with the reason in m_endMessage.
    ExitCode Reconnect(AsioHost* host, DriverSlot* slot, HostSettings settings);
    bool OpenCapture(size_t k);
    void CloseCapture(size_t k);
    void Report(size_t k);
    // Reports the files before `limit` whose outcome is known (all of them when `final`).
    void ReportReady(size_t limit, bool final);
    void ShowProgress(const AsioHost& host, bool final);
    void AdvanceHeard(const AsioHost& host);
    void Note(ExitCode code) {
        if (m_result == kExitOk)
            m_result = code;
    }
    void Line(const char* format, const std::string& a, const std::string& b = {});
    std::string Header(size_t k, int32_t bufferSize) const {
        const StreamInfo& info = m_items[k]->decoder->info();
        std::string header = FormatHeader(m_items[k]->path, info, bufferSize);
        if (m_rate != info.rate)
            header += "  resampled to " + RateName(m_rate, false) + ": the device does not play " +
                      RateName(info.rate, false) + "\n";
        return header;
    }

    const PlayContext& m_context;
    const Options& m_options;
    std::vector<PlayItem*> m_items;
    std::vector<FileState> m_states;
    StreamInfo m_info;
    double m_rate = 0; // the device's
    double m_framesPerSecond = 0;
    StreamVerifier m_verifier;
    std::vector<std::unique_ptr<AudioFileWriter>> m_writers;
    std::vector<uint64_t> m_captured;
    std::vector<bool> m_captureFailed;
    std::vector<Frame> m_chunk;
    size_t m_capturing = 0;  // the file whose capture the received frames go to
    uint64_t m_received = 0; // frames received in this stream
    size_t m_playedSet = 0;  // files whose count the verifier has
    size_t m_reported = 0;   // files whose outcome has been printed
    size_t m_heard = 0;      // the file being played now
    bool m_progressOpen = false;
    ExitCode m_result = kExitOk;
    Session m_session;
    // The silence the driver sends before the host's first half (its safety buffers), once measured.
    int64_t m_driverLead = -1;
    std::string m_endMessage; // why a reconnect ended the stream, told after the progress line
};

void Stream::Line(const char* format, const std::string& a, const std::string& b) {
    if (m_progressOpen && m_context.terminal) {
        std::fputs("\r\033[K", m_context.out);
        m_progressOpen = false;
    }
    std::fprintf(m_context.out, format, a.c_str(), b.c_str());
}

bool Stream::FileStart(size_t k, uint64_t* start) const {
    uint64_t at = 0;
    for (size_t i = 0; i < k; ++i) {
        const int64_t played = m_states[i].played.load(std::memory_order_acquire);
        if (played < 0)
            return false;
        at += static_cast<uint64_t>(played);
    }
    *start = at;
    return true;
}

bool Stream::OpenCapture(size_t k) {
    const std::string& path = m_items[k]->capturePath;
    if (path.empty() || m_writers[k])
        return true;
    if (m_captureFailed[k])
        return false; // told once; never reopened, which would empty what was written
    if (m_info.dsd)
        m_writers[k] = std::make_unique<DsfWriter>();
    else
        m_writers[k] = std::make_unique<WavWriter>();
    if (!m_writers[k]->Open(path, static_cast<uint32_t>(m_rate))) {
        std::fprintf(m_context.err, "lkplay: capture: %s\n", m_writers[k]->error().c_str());
        m_writers[k].reset();
        m_captureFailed[k] = true;
        Note(kExitCapture);
        return false;
    }
    return true;
}

// Closing writes the header with the sizes of what was captured: a valid file however playback ended.
void Stream::CloseCapture(size_t k) {
    if (!m_writers[k])
        return;
    if (!m_writers[k]->Close()) {
        std::fprintf(m_context.err, "lkplay: capture: %s\n", m_writers[k]->error().c_str());
        Note(kExitCapture);
    } else if (!m_options.quiet) {
        Line("captured %s frames received by the device into %s\n", std::to_string(m_captured[k]),
             m_items[k]->capturePath);
    }
    m_writers[k].reset();
}

// The received frames of file k go to its capture: the first file's capture also holds what came
// before it, the last one's what came after.
void Stream::Route(const Frame* frames, size_t count) {
    if (m_options.verify) {
        while (m_playedSet < m_items.size()) {
            const int64_t played = m_states[m_playedSet].played.load(std::memory_order_acquire);
            if (played < 0)
                break;
            m_verifier.SetPlayed(m_playedSet++, static_cast<uint64_t>(played));
        }
        m_verifier.Received(frames, count);
    }
    size_t at = 0;
    while (at < count) {
        size_t take = count - at;
        uint64_t start = 0;
        if (m_capturing + 1 < m_items.size() && FileStart(m_capturing + 1, &start)) {
            if (m_received >= start) {
                CloseCapture(m_capturing++);
                continue;
            }
            take = static_cast<size_t>(std::min<uint64_t>(take, start - m_received));
        }
        if (!m_items[m_capturing]->capturePath.empty() && OpenCapture(m_capturing) &&
            !m_writers[m_capturing]->Write(frames + at, take)) {
            std::fprintf(m_context.err, "lkplay: capture: %s\n", m_writers[m_capturing]->error().c_str());
            m_writers[m_capturing].reset();
            m_captureFailed[m_capturing] = true;
            Note(kExitCapture);
        }
        m_captured[m_capturing] += take;
        m_received += take;
        at += take;
    }
}

void Stream::Drain() {
    if (!Tapping())
        return;
    for (;;) {
        const size_t got = m_context.tap->Take(m_chunk.data(), m_chunk.size());
        if (got == 0)
            break;
        Receive(m_chunk.data(), got);
    }
}

// The driver's leading silence after a reconnect is no part of the stream: the record goes on from
// the last frame before the loss.
void Stream::Receive(const Frame* frames, size_t count) {
    if (m_session.firstSound < 0) {
        const Frame silence = SilenceFrame(m_info.dsd);
        for (size_t i = 0; i < count; ++i) {
            if (!(frames[i] == silence)) {
                m_session.firstSound = static_cast<int64_t>(m_session.received + i);
                break;
            }
        }
    }
    m_session.received += count;
    const auto skip = static_cast<size_t>(std::min<uint64_t>(count, m_session.dropLeft));
    m_session.dropLeft -= skip;
    Route(frames + skip, count - skip);
}

// The device receives the driver's leading silence, then whole halves in the order the host filled
// them; the first sound the host sent and the first that arrived tell how long that silence is.
bool Stream::ResumeFrame(const AsioHost& host, uint64_t* frame) {
    if (!m_context.tap->available()) {
        // Nothing tells what arrived: go back over the half being filled and the one being played.
        const uint64_t halves = host.HalvesBeforeReset();
        return host.StreamFrameAfterHalves(halves - std::min<uint64_t>(halves, 2), frame);
    }
    const int64_t sent = host.FirstSoundOut();
    if (m_session.firstSound >= 0 && sent >= 0 && m_session.firstSound >= sent)
        m_driverLead = m_session.firstSound - sent;
    if (m_driverLead < 0) {
        // No sound has arrived yet: going back too far only lengthens the lead-in.
        uint64_t start = 0;
        host.StreamFrameAfterHalves(0, &start);
        *frame = std::max(start, host.OldestReplayable());
        return true;
    }
    const auto lead = static_cast<uint64_t>(m_driverLead);
    const uint64_t halves = m_session.received > lead
                                ? (m_session.received - lead) / static_cast<uint64_t>(host.halfFrames())
                                : 0;
    // A device that still works after the request also receives the driver's drain silence at stop:
    // never count past the halves handed out before the request.
    return host.StreamFrameAfterHalves(std::min(halves, host.HalvesBeforeReset()), frame);
}

ExitCode Stream::Reconnect(AsioHost* host, DriverSlot* slot, HostSettings settings) {
    const std::string& heard = m_items[m_heard]->path;
    std::string why = host->DriverMessage();
    if (why.empty())
        why = "the driver asked for a reset";
    host->Shutdown();
    Drain();
    uint64_t resume = 0;
    const bool known = ResumeFrame(*host, &resume);
    host->SetDriver(nullptr);
    slot->Release();
    const double seconds = m_context.reconnectTimeoutMs / 1000.0;
    char wait[64];
    std::snprintf(wait, sizeof wait, "%g s", seconds);
    if (!m_options.quiet)
        Line("device lost: %s; waiting up to %s for it to come back\n", why, wait);

    const int64_t lostNs = NowNs();
    const int64_t pollNs = static_cast<int64_t>(m_context.reconnectPollMs) * 1000000;
    HostFailure failure;
    for (int64_t attempt = 1;; ++attempt) {
        IASIO* driver = slot->Create();
        if (!driver)
            return kExitDriverLoad;
        host->SetDriver(driver);
        if (host->Open(settings, &failure))
            break;
        host->SetDriver(nullptr);
        slot->Release();
        if (failure.step != HostStep::Init) {
            m_endMessage = heard + ": " + HostStepName(failure.step) + ": " + failure.message;
            return ExitCodeFor(failure);
        }
        const int64_t next = lostNs + attempt * pollNs;
        if (next - lostNs > static_cast<int64_t>(m_context.reconnectTimeoutMs) * 1000000) {
            m_endMessage = heard + ": the device was lost during playback: " + why +
                           "; it did not come back within " + wait;
            return kExitDeviceLost;
        }
        while (NowNs() < next) {
            if (const int signal = m_context.stopSignal->load(); signal != 0)
                return signal == SIGTERM ? kExitTerminated : kExitInterrupted;
            Sleep(static_cast<int>(std::min<int64_t>(10, (next - NowNs()) / 1000000 + 1)));
        }
    }
    if (!host->Prepare(settings, &failure)) {
        m_endMessage = heard + ": " + HostStepName(failure.step) + ": " + failure.message;
        return ExitCodeFor(failure);
    }
    if (!known || !host->ResumeAt(resume)) {
        m_endMessage = heard + ": the device came back, but lkplay no longer holds frame " +
                       std::to_string(resume) + " of the stream to play on from";
        return kExitDeviceLost;
    }
    m_session = Session{};
    m_session.dropLeft = m_driverLead > 0 ? static_cast<uint64_t>(m_driverLead) : 0;
    if (!host->Start(&failure)) {
        m_endMessage = heard + ": " + HostStepName(failure.step) + ": " + failure.message;
        return ExitCodeFor(failure);
    }
    if (!m_options.quiet) {
        char back[96];
        std::snprintf(back, sizeof back, "%.1f s, playing on from frame %llu",
                      static_cast<double>(NowNs() - lostNs) / 1e9, static_cast<unsigned long long>(resume));
        Line("device back after %s%s\n", back, "");
    }
    return kExitOk;
}

// What is known of file k once it has been played: a read error, its capture, its verification.
void Stream::Report(size_t k) {
    const PlayItem& item = *m_items[k];
    const FileState& state = m_states[k];
    // A file whose reading was cut short by a stop (status Ok) has nothing to report.
    if (state.played.load(std::memory_order_acquire) >= 0 && state.status != DecodeStatus::End &&
        state.status != DecodeStatus::Ok) {
        if (m_progressOpen && m_context.terminal)
            Line("%s%s", "", "");
        std::fflush(m_context.out);
        std::fprintf(m_context.err, "lkplay: %s\n", state.error.c_str());
        Note(ExitCodeFor(state.status));
    }
    if (m_capturing <= k)
        CloseCapture(k);
    if (!m_options.verify)
        return;
    const VerifyResult& result = m_verifier.Result(k);
    if (!result.verified) {
        Line("verify: %s: not verified: %s\n", item.path, result.message);
    } else if (!result.match) {
        Line("verify: %s: MISMATCH: %s\n", item.path, result.message);
        Note(kExitMismatch);
    } else {
        const bool integer = item.decoder ? item.decoder->info().integer : true;
        Line("verify: %s: %s\n", item.path,
             std::string(integer ? "bit-exact" : "bit-exact (against its 32-bit conversion from float)") +
                 ": " + result.message);
    }
}

void Stream::ReportReady(size_t limit, bool final) {
    while (m_reported < std::min(limit, m_items.size())) {
        const size_t k = m_reported;
        const bool captureDone = m_capturing > k || final;
        const bool verifyDone = !m_options.verify || m_verifier.Settled() > k;
        const bool readDone = m_states[k].played.load(std::memory_order_acquire) >= 0 || final;
        if (!(captureDone && verifyDone && readDone))
            break;
        Report(k);
        ++m_reported;
    }
}

void Stream::ShowProgress(const AsioHost& host, bool final) {
    if (m_options.quiet || m_heard >= m_items.size())
        return;
    uint64_t start = 0;
    FileStart(m_heard, &start);
    const HostStats stats = host.Stats();
    const StreamInfo& info = m_items[m_heard]->decoder->info();
    const double total = info.totalSamples >= 0 ? static_cast<double>(info.totalSamples) / info.rate : -1;
    const double elapsed =
        static_cast<double>(stats.framesPlayed > start ? stats.framesPlayed - start : 0) / m_framesPerSecond;
    if (final) {
        std::fprintf(m_context.out, "%s%s\n", m_context.terminal ? "\r\033[K" : "",
                     FormatProgress(elapsed, total, stats).c_str());
        m_progressOpen = false;
    } else if (m_context.terminal) {
        std::fprintf(m_context.out, "\r%s", FormatProgress(elapsed, total, stats).c_str());
        m_progressOpen = true;
    }
    std::fflush(m_context.out);
}

// Moves the display on to the next file once playback has passed the seam.
void Stream::AdvanceHeard(const AsioHost& host) {
    uint64_t next = 0;
    while (m_heard + 1 < m_items.size() && FileStart(m_heard + 1, &next) &&
           host.Stats().framesPlayed > next) {
        ShowProgress(host, true);
        ++m_heard;
        if (!m_options.quiet) {
            std::fputs(
                FormatHeader(m_items[m_heard]->path, m_items[m_heard]->decoder->info(), host.bufferSize())
                    .c_str(),
                m_context.out);
            std::fflush(m_context.out);
        }
    }
}

ExitCode Stream::Play(AsioHost* host, SpscQueue<Frame>* queue, DriverSlot* slot,
                      const HostSettings& settings) {
    const bool tapping = Tapping();
    if (tapping) {
        m_chunk.resize(16384);
        m_context.tap->Attach();
    }
    if (m_options.verify) {
        for (const PlayItem* item : m_items) {
            const std::string path = item->path;
            const double rate = item->decoder->info().rate;
            if (rate != m_rate) {
                const std::string why = "resampled from " + RateName(rate, false) + " to " +
                                        RateName(m_rate, false) + ", so it cannot arrive bit-exact";
                m_verifier.AddFile([why](std::string* whyNot) -> std::unique_ptr<FrameSource> {
                    *whyNot = why;
                    return nullptr;
                });
                continue;
            }
            m_verifier.AddFile([path](std::string* whyNot) -> std::unique_ptr<FrameSource> {
                auto reader = std::make_unique<ReferenceReader>();
                if (!reader->Open(path)) {
                    *whyNot = "no second reading of the file: " + reader->error();
                    return nullptr;
                }
                return reader;
            });
        }
    }
    if (!m_options.quiet) {
        std::fputs(Header(0, host->bufferSize()).c_str(), m_context.out);
        std::fflush(m_context.out);
    }
    OpenCapture(0); // there even if nothing arrives

    std::vector<PlayItem*> items = m_items;
    DecodeThread decoding(items, &m_states, queue, host);
    decoding.Start();
    while (!decoding.done() && queue->FreeSpace() > 0 && m_context.stopSignal->load() == 0)
        Sleep(1);
    HostFailure failure;
    if (!host->Start(&failure)) {
        decoding.Stop();
        std::fflush(m_context.out);
        std::fprintf(m_context.err, "lkplay: %s: %s: %s\n", m_items[0]->path.c_str(),
                     HostStepName(failure.step), failure.message.c_str());
        if (tapping)
            m_context.tap->Detach();
        return ExitCodeFor(failure);
    }

    const auto stallNs =
        static_cast<int64_t>(std::max(m_context.stallSeconds, 10.0 * host->bufferSize() / m_info.rate) * 1e9);
    int64_t startNs = NowNs();
    ExitCode ending = kExitOk;
    for (int tick = 0;; ++tick) {
        Sleep(10);
        const bool finished = host->Finished();
        Drain();
        AdvanceHeard(*host);
        ReportReady(m_heard, false);
        if (finished)
            break;
        if (const int signal = m_context.stopSignal->load(); signal != 0) {
            ending = signal == SIGTERM ? kExitTerminated : kExitInterrupted;
            break;
        }
        if (host->ResetRequested()) {
            ending = kExitDeviceLost;
            if (!m_options.reconnect)
                break;
            HostSettings again = settings;
            again.bufferSize = host->bufferSize();
            ending = Reconnect(host, slot, again);
            if (ending != kExitOk)
                break;
            startNs = NowNs();
        }
        if (NowNs() - std::max(host->lastCallbackNs(), startNs) > stallNs) {
            ending = kExitStreamStall;
            break;
        }
        if (tick % 10 == 0)
            ShowProgress(*host, false);
    }
    host->Shutdown();
    decoding.Stop();
    Drain();
    if (tapping)
        m_context.tap->Detach();
    ShowProgress(*host, true);
    std::fflush(m_context.out); // what follows on stderr comes after it

    const HostStats stats = host->Stats();
    const std::string& heard = m_items[m_heard]->path;
    if (!m_endMessage.empty()) {
        std::fprintf(m_context.err, "lkplay: %s\n", m_endMessage.c_str());
    } else if (ending == kExitStreamStall) {
        std::fprintf(m_context.err, "lkplay: %s: the driver stopped calling back after %llu callbacks\n",
                     heard.c_str(), static_cast<unsigned long long>(stats.callbacks));
    } else if (ending == kExitDeviceLost) {
        const std::string text = host->DriverMessage();
        std::fprintf(m_context.err, "lkplay: %s: the device was lost during playback: %s\n", heard.c_str(),
                     text.empty() ? "the driver asked for a reset" : text.c_str());
    }
    Note(ending);

    if (m_options.verify) {
        for (size_t k = 0; k < m_items.size(); ++k) {
            const int64_t played = m_states[k].played.load(std::memory_order_acquire);
            // A file the player had not finished reading was not played whole: no count to hold it to.
            if (played >= 0)
                m_verifier.SetPlayed(k, static_cast<uint64_t>(played));
        }
        m_verifier.Finish();
        const uint32_t wanted = m_info.dsd ? kDeviceModeDsd : kDeviceModePcm;
        const std::vector<uint32_t> modes = m_context.tap->Modes();
        const auto mode = std::find_if(modes.begin(), modes.end(),
                                       [](uint32_t m) { return m == kDeviceModeDsd || m == kDeviceModePcm; });
        if (mode == modes.end() || *mode != wanted) {
            Line("verify: %s: MISMATCH: the device was not put into %s mode\n", m_items[0]->path,
                 m_info.dsd ? "DSD" : "PCM");
            Note(kExitMismatch);
        }
    }
    // After a stop, the files not reached have nothing to report.
    ReportReady(ending == kExitOk ? m_items.size() : m_heard + 1, true);
    for (size_t k = 0; k < m_items.size(); ++k)
        CloseCapture(k);
    return m_result;
}

ExitCode PlayStream(const PlayContext& context, std::vector<PlayItem>& items, size_t first, size_t* end) {
    const Options& options = *context.options;
    *end = first + 1;
    const StreamInfo info = items[first].decoder->info();

    DriverSlot slot(context);
    IASIO* driver = slot.Create();
    if (!driver)
        return kExitDriverLoad;
    SpscQueue<Frame> queue;
    AsioHost host(driver, &queue);
    HostSettings settings;
    settings.dsd = info.dsd;
    settings.rate = info.rate;
    settings.bufferSize = options.bufferSize;
    settings.timeInfo = options.timeInfo;
    HostFailure failure;
    if (!host.Open(settings, &failure)) {
        std::fprintf(context.err, "lkplay: %s: %s: %s\n", items[first].path.c_str(),
                     HostStepName(failure.step), failure.message.c_str());
        return ExitCodeFor(failure);
    }
    // The rate the device takes: the file's own, else (PCM) the nearest of its family, resampled.
    const auto takes = [&host](double rate) { return host.CanSampleRate(rate) == ASE_OK; };
    const auto deviceRateFor = [&](const StreamInfo& file) {
        if (takes(file.rate))
            return file.rate;
        return file.dsd || options.noResample ? 0.0 : NearestFamilyRate(file.rate, takes);
    };
    const double deviceRate = deviceRateFor(info);
    if (deviceRate == 0) {
        const double nearest = info.dsd ? 0.0 : NearestFamilyRate(info.rate, takes);
        char rate[32];
        std::snprintf(rate, sizeof rate, "%.0f Hz", info.rate);
        std::string message = "the device does not play " + RateName(info.rate, info.dsd) + " (" + rate + ")";
        if (nearest > 0)
            message += "; --no-resample keeps lkplay from resampling it to " + RateName(nearest, false);
        std::fprintf(context.err, "lkplay: %s: %s\n", items[first].path.c_str(), message.c_str());
        return kExitUnsupported;
    }
    settings.rate = deviceRate;
    // About a second of audio between the decoder and the callback.
    const double framesPerSecond = info.dsd ? deviceRate / kDsdSamplesPerWord : deviceRate;
    if (!queue.Init(std::max<size_t>(static_cast<size_t>(framesPerSecond), 65536))) {
        std::fprintf(context.err, "lkplay: out of memory\n");
        return kExitUnreadable;
    }
    if (!host.Prepare(settings, &failure)) {
        std::fprintf(context.err, "lkplay: %s: %s: %s\n", items[first].path.c_str(),
                     HostStepName(failure.step), failure.message.c_str());
        return ExitCodeFor(failure);
    }
    // Enough to go back over what a lost device never received: the halves in flight and those the
    // driver asks for until lkplay has stopped it.
    const size_t history = std::max({static_cast<size_t>(framesPerSecond / 2), size_t{1} << 16,
                                     16 * static_cast<size_t>(host.halfFrames())});
    if (options.reconnect && !host.EnableReplay(history)) {
        std::fprintf(context.err, "lkplay: out of memory\n");
        return kExitUnreadable;
    }
    // The files that follow in the same mode and for the same device rate join the stream.
    items[first].deviceRate = deviceRate;
    std::vector<PlayItem*> group = {&items[first]};
    while (*end < items.size() && items[*end].decoder && items[*end].openStatus == DecodeStatus::Ok &&
           items[*end].decoder->info().dsd == info.dsd &&
           deviceRateFor(items[*end].decoder->info()) == deviceRate) {
        items[*end].deviceRate = deviceRate;
        group.push_back(&items[(*end)++]);
    }
    Stream stream(context, group);
    const ExitCode code = stream.Play(&host, &queue, &slot, settings);
    host.Shutdown();
    for (PlayItem* item : group)
        item->decoder.reset();
    return code;
}

} // namespace

PlayItem OpenItem(const std::string& path, const std::string& capturePath) {
    PlayItem item;
    item.path = path;
    item.capturePath = capturePath;
    item.decoder = std::make_unique<Decoder>();
    item.openStatus = item.decoder->Open(path);
    return item;
}

ExitCode PlayItems(const PlayContext& context, std::vector<PlayItem>& items) {
    ExitCode result = kExitOk;
    size_t i = 0;
    while (i < items.size() && context.stopSignal->load() == 0) {
        ExitCode code = kExitOk;
        if (items[i].openStatus != DecodeStatus::Ok) {
            std::fprintf(context.err, "lkplay: %s\n", items[i].decoder->error().c_str());
            code = ExitCodeFor(items[i].openStatus);
            items[i].decoder.reset();
            ++i;
        } else {
            size_t end = i + 1;
            code = PlayStream(context, items, i, &end);
            i = end;
        }
        if (result == kExitOk)
            result = code;
        if (code == kExitDriverLoad || code == kExitDriverInit || code == kExitInterrupted ||
            code == kExitTerminated || code == kExitDeviceLost)
            break;
    }
    if (result == kExitOk && context.stopSignal->load() != 0)
        result = context.stopSignal->load() == SIGTERM ? kExitTerminated : kExitInterrupted;
    return result;
}

ExitCode PlayFile(const PlayContext& context, const std::string& path, const std::string& capturePath) {
    std::vector<PlayItem> items;
    items.push_back(OpenItem(path, capturePath));
    return PlayItems(context, items);
}

} // namespace lkplay
