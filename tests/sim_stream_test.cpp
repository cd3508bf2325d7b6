// What the simulated Larkspur reports of a stream as a KS render pin does: its position (bytes received
// and bytes that have left the device), its latency, its underruns while streaming and while draining,
// and how many writes were queued at it.
#include "sim/larkspur/targets.h"
#include "tests/support/device_pin.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using sim::larkspur::Clock;
using sim::larkspur::StreamStats;

constexpr ULONG kModeStreamEnd = 0x8002;

class SteppedStream : public testing_support::DevicePinTest {
protected:
    DWORD Latency(KSTIME* latency, OVERLAPPED* overlapped = nullptr, DWORD* returned = nullptr) {
        return Request(pin, KSPROPSETID_Audio, KSPROPERTY_AUDIO_LATENCY, KSPROPERTY_TYPE_GET, latency,
                       sizeof *latency, overlapped, returned);
    }
    StreamStats Stats() const { return device->LatestStreamStats(); }
};

TEST_F(SteppedStream, ACompletedWriteStaysHeldUntilTheNextWriteArrives) {
    Write a(8), b(4), c(2);
    ASSERT_EQ(a.Send(pin), static_cast<DWORD>(ERROR_IO_PENDING));
    KSAUDIO_POSITION position = Position();
    EXPECT_EQ(position.PlayOffset, 0u);
    EXPECT_EQ(position.WriteOffset, 64u);
    ASSERT_EQ(device->CompleteWrites(1), 1u);
    // Completed, but the device still holds it until the host's next write comes.
    EXPECT_EQ(Position().PlayOffset, 0u);
    ASSERT_EQ(b.Send(pin), static_cast<DWORD>(ERROR_IO_PENDING));
    position = Position();
    EXPECT_EQ(position.PlayOffset, 64u);
    EXPECT_EQ(position.WriteOffset, 96u);
    // A write that arrives with one still pending plays out only the completed ones.
    ASSERT_EQ(c.Send(pin), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(Position().PlayOffset, 64u);
    ASSERT_EQ(device->CompleteWrites(2), 2u);
    EXPECT_EQ(Position().PlayOffset, 64u);
    EXPECT_EQ(Stats().underruns, 0u) << "the stepped device never runs dry by itself";

    ASSERT_EQ(State(KSSTATE_STOP), static_cast<DWORD>(ERROR_SUCCESS));
    position = Position();
    EXPECT_EQ(position.PlayOffset + position.WriteOffset, 0u);
}

TEST_F(SteppedStream, RunningDryPlaysEverythingOutBeforeSignallingAndTheNextWriteUnderruns) {
    Write a(8, 1), b(8, 2);
    ASSERT_EQ(a.Send(pin), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_EQ(b.Send(pin), static_cast<DWORD>(ERROR_IO_PENDING));
    // A host that reads the position on the first completion sees it played out already.
    std::atomic<ULONGLONG> seenPlayed{0};
    std::thread host([&] {
        WaitForSingleObject(a.overlapped.hEvent, 10000);
        seenPlayed = Position().PlayOffset;
    });
    EXPECT_EQ(device->RunDry(), 2u);
    host.join();
    EXPECT_EQ(seenPlayed.load(), 128u);
    EXPECT_TRUE(b.Done());
    std::vector<BYTE> audio = a.data;
    audio.insert(audio.end(), b.data.begin(), b.data.end());
    EXPECT_EQ(device->Audio(), audio);
    const KSAUDIO_POSITION position = Position();
    EXPECT_EQ(position.PlayOffset, position.WriteOffset);

    // Only the first write to a dry device comes too late.
    Write c(8), d(8);
    ASSERT_EQ(c.Send(pin), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_EQ(d.Send(pin), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(Stats().underruns, 1u);
    EXPECT_EQ(Stats().underrunsStreaming, 1u);
    EXPECT_EQ(device->CompleteWrites(2), 2u);
    Write e(8);
    ASSERT_EQ(e.Send(pin), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(Stats().underruns, 1u);

    // Dry with nothing pending, still before the stream's end: a streaming underrun, even if the next
    // write is the drain's.
    EXPECT_EQ(device->RunDry(), 1u);
    EXPECT_EQ(device->RunDry(), 0u);
    ASSERT_EQ(Mode(kModeStreamEnd), static_cast<DWORD>(ERROR_SUCCESS));
    Write silence(8, 0);
    ASSERT_EQ(silence.Send(pin), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(Stats().underrunsStreaming, 2u);
    // Dry during the drain.
    EXPECT_EQ(device->RunDry(), 1u);
    Write tail(8, 0);
    ASSERT_EQ(tail.Send(pin), static_cast<DWORD>(ERROR_IO_PENDING));
    StreamStats stats = Stats();
    EXPECT_EQ(stats.underrunsStreaming, 2u);
    EXPECT_EQ(stats.underrunsDrain, 1u);
    EXPECT_EQ(stats.underruns, 3u);

    // A stop ends the drain and the dry state: the next stream starts afresh.
    device->RunDry();
    ASSERT_EQ(State(KSSTATE_STOP), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_EQ(State(KSSTATE_RUN), static_cast<DWORD>(ERROR_SUCCESS));
    Write next(8);
    ASSERT_EQ(next.Send(pin), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(Stats().underruns, 3u);
    device->RunDry();
    Write after(8);
    ASSERT_EQ(after.Send(pin), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(Stats().underrunsStreaming, 3u) << "the drain ended with the stop";
}

TEST_F(SteppedStream, RunningDryFailsWhatAGoneDeviceHeldAndARealTimePinCannot) {
    Write a(8);
    ASSERT_EQ(a.Send(pin), static_cast<DWORD>(ERROR_IO_PENDING));
    device->SetFault({sim::larkspur::FaultKind::Unplug, 0});
    EXPECT_EQ(device->RunDry(), 1u);
    EXPECT_TRUE(a.Done());
    EXPECT_NE(a.overlapped.Internal, 0u);
    EXPECT_TRUE(device->Audio().empty());
    device->SetFault({});

    Reopen(Clock::RealTime);
    EXPECT_EQ(device->RunDry(), 0u);
}

TEST_F(SteppedStream, CountsTheMostWritesQueuedAtTheLatestPin) {
    EXPECT_EQ(device->MostPendingWrites(), 0u);
    std::vector<std::unique_ptr<Write>> writes;
    auto send = [&] {
        writes.push_back(std::make_unique<Write>());
        ASSERT_EQ(writes.back()->Send(pin), static_cast<DWORD>(ERROR_IO_PENDING));
    };
    send();
    send();
    send();
    EXPECT_EQ(device->MostPendingWrites(), 3u);
    device->CompleteWrites(2);
    send();
    EXPECT_EQ(device->MostPendingWrites(), 3u);
    send();
    send();
    EXPECT_EQ(device->MostPendingWrites(), 4u);
    // Kept once the pin closed, until the next pin.
    CloseHandle(pin);
    pin = nullptr;
    EXPECT_EQ(device->MostPendingWrites(), 4u);
    ASSERT_EQ(CreatePin(&pin), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(device->MostPendingWrites(), 0u);
}

TEST_F(SteppedStream, AnswersItsLatencyAsTheDeviceBufferInEveryWay) {
    KSTIME latency{-1, 0, 0};
    ASSERT_EQ(Latency(&latency), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(latency.Time, 0);
    EXPECT_EQ(latency.Numerator, 1u);
    EXPECT_EQ(latency.Denominator, 1u);
    // Only read, sized like any property.
    EXPECT_EQ(Request(pin, KSPROPSETID_Audio, KSPROPERTY_AUDIO_LATENCY, KSPROPERTY_TYPE_SET, &latency,
                      sizeof latency),
              static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    DWORD needed = 0;
    EXPECT_EQ(Request(pin, KSPROPSETID_Audio, KSPROPERTY_AUDIO_LATENCY, KSPROPERTY_TYPE_GET, nullptr, 0,
                      nullptr, &needed),
              static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(needed, sizeof(KSTIME));
    EXPECT_EQ(Request(pin, KSPROPSETID_Audio, KSPROPERTY_AUDIO_LATENCY, KSPROPERTY_TYPE_GET, &latency, 8),
              static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

    // Real time: the device's buffer in 100 ns units, answered as a pending request when asked so.
    device->SetFifoMicroseconds(3000);
    Reopen(Clock::RealTime);
    device->SetPendingProperties(true);
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_EQ(Latency(&latency, &overlapped), static_cast<DWORD>(ERROR_IO_PENDING));
    DWORD bytes = 0;
    ASSERT_TRUE(GetOverlappedResult(pin, &overlapped, &bytes, TRUE));
    EXPECT_EQ(bytes, sizeof(KSTIME));
    EXPECT_EQ(latency.Time * latency.Numerator / latency.Denominator, 30000);
    CloseHandle(overlapped.hEvent);
    device->SetPendingProperties(false);
    device->SetFifoMicroseconds(sim::larkspur::kDefaultFifoMicroseconds);
    Reopen(Clock::RealTime);
    ASSERT_EQ(Latency(&latency), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(latency.Time, 20000);
}

// Under the real-time clock the play offset is what has left the device buffer.
class RealTimeStream : public SteppedStream {
protected:
    void SetUp() override {
        SteppedStream::SetUp();
        Reopen(Clock::RealTime);
    }
    // Polls the position until the device has played all it received; the last position read.
    KSAUDIO_POSITION WaitPlayedOut() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        KSAUDIO_POSITION position = Position();
        while (position.PlayOffset != position.WriteOffset && std::chrono::steady_clock::now() < deadline) {
            Sleep(1);
            const KSAUDIO_POSITION next = Position();
            EXPECT_GE(next.PlayOffset, position.PlayOffset) << "played bytes never go back";
            EXPECT_LE(next.PlayOffset, next.WriteOffset);
            position = next;
        }
        return position;
    }
};

TEST_F(RealTimeStream, PlaysOutWhatLeftTheBufferAfterItsCompletion) {
    // 100 ms of frames: it completes once its last frame entered the 2 ms buffer, 2 ms before it has
    // all played.
    Write write(4410);
    ASSERT_EQ(write.Send(pin), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_LT(Position().PlayOffset, 4410u * 8);
    ASSERT_EQ(WaitForSingleObject(write.overlapped.hEvent, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
    const KSAUDIO_POSITION done = WaitPlayedOut();
    EXPECT_EQ(done.PlayOffset, 4410u * 8);
    EXPECT_EQ(done.WriteOffset, 4410u * 8);
    ASSERT_EQ(State(KSSTATE_STOP), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(Position().PlayOffset + Position().WriteOffset, 0u);
}

TEST_F(RealTimeStream, ABufferThatRunsEmptyUnderrunsWhileStreamingOrInTheDrain) {
    // 1 ms of frames each, 20 ms apart: the buffer runs empty before every next write.
    Write first(44), streaming(44), drain(44);
    ASSERT_EQ(first.Send(pin), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_EQ(WaitForSingleObject(first.overlapped.hEvent, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
    WaitPlayedOut();
    Sleep(20);
    ASSERT_EQ(streaming.Send(pin), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_EQ(WaitForSingleObject(streaming.overlapped.hEvent, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
    WaitPlayedOut();
    Sleep(5);
    ASSERT_EQ(Mode(kModeStreamEnd), static_cast<DWORD>(ERROR_SUCCESS));
    Sleep(20);
    // Ran empty before the stream's end: still the stream's underrun.
    ASSERT_EQ(drain.Send(pin), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_EQ(WaitForSingleObject(drain.overlapped.hEvent, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
    WaitPlayedOut();
    Sleep(20);
    Write tail(44);
    ASSERT_EQ(tail.Send(pin), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_EQ(WaitForSingleObject(tail.overlapped.hEvent, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
    const StreamStats stats = Stats();
    EXPECT_EQ(stats.underrunsStreaming, 2u);
    EXPECT_EQ(stats.underrunsDrain, 1u);
    EXPECT_EQ(stats.underruns, 3u);
}

TEST_F(RealTimeStream, KeepsWhenEachWritesFirstFrameLeftTheBuffer) {
    // Three 10 ms writes sent at once: each first frame leaves exactly when the one before has played.
    Write a(441), b(441), c(441);
    ASSERT_EQ(a.Send(pin), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_EQ(b.Send(pin), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_EQ(c.Send(pin), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_EQ(WaitForSingleObject(c.overlapped.hEvent, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
    int64_t times[4] = {};
    ASSERT_EQ(device->FirstFrameLeaveTimes(times, 4), 3u);
    EXPECT_GE(times[0], Stats().firstWriteNs);
    EXPECT_EQ(times[1] - times[0], 10000000);
    EXPECT_EQ(times[2] - times[1], 10000000);
    // Kept after the pin closed, until the next pin; none under the stepped clock.
    CloseHandle(pin);
    pin = nullptr;
    int64_t kept[3] = {};
    ASSERT_EQ(device->FirstFrameLeaveTimes(kept, 2), 3u);
    EXPECT_EQ(kept[1], times[1]);
    EXPECT_EQ(kept[2], 0) << "copies only what fits";
    Reopen(Clock::Stepped);
    Write stepped;
    ASSERT_EQ(stepped.Send(pin), static_cast<DWORD>(ERROR_IO_PENDING));
    device->CompleteWrites(1);
    EXPECT_EQ(device->FirstFrameLeaveTimes(kept, 3), 0u);
}

} // namespace
