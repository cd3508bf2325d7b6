// The simulated Larkspur's faults: how each one strikes a running pin, and the environment setting that
// scripts the default device for hosts.
#include "sim/kernel_objects.h"
#include "sim/larkspur/device.h"
#include "sim/library.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace {

using sim::larkspur::Clock;
using sim::larkspur::Device;
using sim::larkspur::Fault;
using sim::larkspur::FaultKind;

TEST(SimFault, ParsesKindAtMilliseconds) {
    const struct {
        const char* text;
        FaultKind kind;
        unsigned delay;
    } good[] = {{"unplug@250", FaultKind::Unplug, 250},
                {"stall@0", FaultKind::Stall, 0},
                {"refuse@1000", FaultKind::Refuse, 1000},
                {"hang@300", FaultKind::Hang, 300},
                {"fail@7", FaultKind::Fail, 7}};
    for (const auto& g : good) {
        Fault fault;
        ASSERT_TRUE(sim::larkspur::ParseFault(g.text, &fault)) << g.text;
        EXPECT_EQ(fault.kind, g.kind) << g.text;
        EXPECT_EQ(fault.delayMs, g.delay) << g.text;
    }
    for (const char* bad : {"", "unplug", "unplug@", "@5", "unplug@-1", "unplug@5ms", "Unplug@5", "stal@5",
                            "stall@99999999999", "hang@ 5"}) {
        Fault fault{FaultKind::Stall, 9};
        EXPECT_FALSE(sim::larkspur::ParseFault(bad, &fault)) << bad;
        EXPECT_EQ(fault.kind, FaultKind::Stall) << bad;
        EXPECT_EQ(fault.delayMs, 9u) << bad;
    }
    EXPECT_FALSE(sim::larkspur::ParseFault(nullptr, nullptr));
}

// A created render pin of a stepped device, driven by hand.
class FaultyPin : public ::testing::Test {
protected:
    struct Write {
        KSSTREAM_HEADER header{};
        OVERLAPPED overlapped{};
        BYTE data[64] = {1, 2, 3};
        Write() {
            header.Size = sizeof header;
            header.FrameExtent = header.DataUsed = sizeof data;
            header.Data = data;
            overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        }
        ~Write() { CloseHandle(overlapped.hEvent); }
        DWORD Send(HANDLE pin) {
            DWORD count = 0;
            return DeviceIoControl(pin, IOCTL_KS_WRITE_STREAM, nullptr, 0, &header, sizeof header, &count,
                                   &overlapped)
                       ? ERROR_SUCCESS
                       : GetLastError();
        }
        bool Done() { return WaitForSingleObject(overlapped.hEvent, 0) == WAIT_OBJECT_0; }
    };

    void SetUp() override {
        device = Device::Create(Clock::Stepped);
        filter = device->OpenFilterHandle();
        ASSERT_EQ(CreatePin(&pin), static_cast<DWORD>(ERROR_SUCCESS));
        ASSERT_EQ(State(KSSTATE_RUN), static_cast<DWORD>(ERROR_SUCCESS));
    }
    void TearDown() override {
        if (pin)
            CloseHandle(pin);
        CloseHandle(filter);
    }

    DWORD CreatePin(HANDLE* created) {
        struct {
            KSPIN_CONNECT connect{};
            KSDATAFORMAT format{};
            WAVEFORMATEXTENSIBLE wave{};
        } c;
        c.connect.Interface.Set = KSINTERFACESETID_Standard;
        c.connect.Medium.Set = KSMEDIUMSETID_Standard;
        c.format.FormatSize = sizeof c.format + sizeof c.wave;
        c.format.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
        c.format.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
        c.format.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
        c.wave.Format = {WAVE_FORMAT_EXTENSIBLE, 2, 44100, 352800, 8, 32, 22};
        c.wave.Samples.wValidBitsPerSample = 32;
        c.wave.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
        return sim::KsCreatePin(filter, &c.connect, GENERIC_READ | GENERIC_WRITE, created);
    }
    // A property request; overlapped when `overlapped` is given.
    DWORD Property(HANDLE target, ULONG flags, void* value, DWORD size, OVERLAPPED* overlapped = nullptr) {
        KSPROPERTY property{KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, flags};
        DWORD count = 0;
        return DeviceIoControl(target, IOCTL_KS_PROPERTY, &property, sizeof property, value, size, &count,
                               overlapped)
                   ? ERROR_SUCCESS
                   : GetLastError();
    }
    DWORD State(KSSTATE state) { return Property(pin, KSPROPERTY_TYPE_SET, &state, sizeof state); }

    std::shared_ptr<Device> device;
    HANDLE filter = nullptr;
    HANDLE pin = nullptr;
};

TEST_F(FaultyPin, NothingStrikesBeforeItsTime) {
    device->SetFault({FaultKind::Unplug, 600000});
    Write write;
    ASSERT_EQ(write.Send(pin), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(device->CompleteWrites(1), 1u);
    EXPECT_EQ(write.overlapped.Internal, 0u);
    EXPECT_FALSE(device->Unplugged());
}

TEST_F(FaultyPin, UnplugFailsWhatIsInFlightAndEverythingAfter) {
    Write inFlight;
    ASSERT_EQ(inFlight.Send(pin), static_cast<DWORD>(ERROR_IO_PENDING));
    device->SetFault({FaultKind::Unplug, 0});
    EXPECT_EQ(device->CompleteWrites(1), 1u);
    ASSERT_TRUE(inFlight.Done());
    EXPECT_NE(inFlight.overlapped.Internal, 0u);
    EXPECT_TRUE(device->Audio().empty());
    EXPECT_TRUE(device->Unplugged());

    Write next;
    EXPECT_EQ(next.Send(pin), sim::larkspur::kErrorDeviceNotConnected);
    ULONG state = 0;
    EXPECT_EQ(Property(pin, KSPROPERTY_TYPE_GET, &state, sizeof state),
              sim::larkspur::kErrorDeviceNotConnected);
    EXPECT_EQ(Property(filter, KSPROPERTY_TYPE_GET, &state, sizeof state),
              sim::larkspur::kErrorDeviceNotConnected);
    CloseHandle(pin);
    pin = nullptr;
    HANDLE again = nullptr;
    EXPECT_EQ(CreatePin(&again), sim::larkspur::kErrorDeviceNotConnected);

    // Clearing the fault plugs it back in.
    device->SetFault({});
    EXPECT_EQ(CreatePin(&pin), static_cast<DWORD>(ERROR_SUCCESS));
}

TEST_F(FaultyPin, StallTakesWritesButCompletesNone) {
    device->SetFault({FaultKind::Stall, 0});
    Write write;
    ASSERT_EQ(write.Send(pin), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(device->CompleteWrites(1), 0u);
    EXPECT_FALSE(write.Done());
    // It still answers requests, and stopping it cancels the write.
    ULONG state = 0;
    EXPECT_EQ(Property(pin, KSPROPERTY_TYPE_GET, &state, sizeof state), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(state, static_cast<ULONG>(KSSTATE_RUN));
    EXPECT_EQ(State(KSSTATE_STOP), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(write.Done());
}

TEST_F(FaultyPin, RefuseLetsTheWriteInFlightPlayAndRefusesTheNext) {
    Write inFlight;
    ASSERT_EQ(inFlight.Send(pin), static_cast<DWORD>(ERROR_IO_PENDING));
    device->SetFault({FaultKind::Refuse, 0});
    EXPECT_EQ(device->CompleteWrites(1), 1u);
    EXPECT_EQ(inFlight.overlapped.Internal, 0u);
    EXPECT_EQ(device->Audio().size(), sizeof inFlight.data);
    Write next;
    EXPECT_EQ(next.Send(pin), sim::larkspur::kErrorGenFailure);
}

TEST_F(FaultyPin, FailCompletesWritesWithAnErrorStatus) {
    device->SetFault({FaultKind::Fail, 0});
    Write write;
    ASSERT_EQ(write.Send(pin), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(device->CompleteWrites(1), 1u);
    ASSERT_TRUE(write.Done());
    EXPECT_NE(write.overlapped.Internal, 0u);
    EXPECT_TRUE(device->Audio().empty());
}

TEST_F(FaultyPin, HangHoldsEveryRequestUntilTheHandleCloses) {
    Write inFlight;
    ASSERT_EQ(inFlight.Send(pin), static_cast<DWORD>(ERROR_IO_PENDING));
    device->SetFault({FaultKind::Hang, 0});
    EXPECT_EQ(device->CompleteWrites(1), 0u);

    ULONG state = 0;
    OVERLAPPED pinRequest{};
    pinRequest.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(Property(pin, KSPROPERTY_TYPE_GET, &state, sizeof state, &pinRequest),
              static_cast<DWORD>(ERROR_IO_PENDING));
    OVERLAPPED filterRequest{};
    filterRequest.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(Property(filter, KSPROPERTY_TYPE_GET, &state, sizeof state, &filterRequest),
              static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(WaitForSingleObject(pinRequest.hEvent, 20), static_cast<DWORD>(WAIT_TIMEOUT));
    // Asked without an OVERLAPPED it cannot pend: the caller gets a timeout rather than blocking.
    EXPECT_EQ(State(KSSTATE_STOP), sim::larkspur::kErrorSemTimeout);
    HANDLE another = nullptr;
    EXPECT_EQ(CreatePin(&another), sim::larkspur::kErrorSemTimeout);

    // Closing the handles ends what they hold, as cancelled.
    CloseHandle(pin);
    pin = nullptr;
    EXPECT_TRUE(inFlight.Done());
    EXPECT_EQ(WaitForSingleObject(pinRequest.hEvent, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_NE(pinRequest.Internal, 0u);
    CloseHandle(filter);
    filter = device->OpenFilterHandle();
    EXPECT_EQ(WaitForSingleObject(filterRequest.hEvent, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    CloseHandle(pinRequest.hEvent);
    CloseHandle(filterRequest.hEvent);
}

TEST_F(FaultyPin, TheRealTimeClockStrikesAtTheFaultsTime) {
    // A write of ten seconds' frames on a real-time pin: an unplug after 20 ms fails it long before.
    CloseHandle(pin);
    device->SetClock(Clock::RealTime);
    ASSERT_EQ(CreatePin(&pin), static_cast<DWORD>(ERROR_SUCCESS));
    device->SetFault({FaultKind::Unplug, 20});
    std::vector<BYTE> frames(441000 * 8);
    Write write;
    write.header.FrameExtent = write.header.DataUsed = static_cast<ULONG>(frames.size());
    write.header.Data = frames.data();
    // Queued while paused; the fault's clock starts with running.
    ASSERT_EQ(State(KSSTATE_PAUSE), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_EQ(write.Send(pin), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_EQ(State(KSSTATE_RUN), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_EQ(WaitForSingleObject(write.overlapped.hEvent, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_NE(write.overlapped.Internal, 0u);
    EXPECT_TRUE(device->Unplugged());
}

// Last: the default device is created here, after the setting is made, as in a host's process.
TEST(SimFaultEnvironment, TheDefaultDeviceReadsLksimFault) {
    ASSERT_EQ(setenv("LKSIM_FAULT", "refuse@1500", 1), 0);
    const Fault fault = sim::larkspur::DefaultDevice()->CurrentFault();
    EXPECT_EQ(fault.kind, FaultKind::Refuse);
    EXPECT_EQ(fault.delayMs, 1500u);
    unsetenv("LKSIM_FAULT");
}

} // namespace
