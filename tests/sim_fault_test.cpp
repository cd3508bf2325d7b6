// The simulated Larkspur's faults: how each one strikes a running pin, and the environment setting that
// scripts the default device for hosts.
#include "sim/kernel_objects.h"
#include "sim/larkspur/device.h"
#include "sim/library.h"
#include "sim/setupapi.h"
#include "tests/support/device_pin.h"

#include <gtest/gtest.h>

#include <chrono>
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

TEST(SimFault, ParsesAReplugOnlyAfterAnUnplugAndLaterThanIt) {
    Fault fault;
    ASSERT_TRUE(sim::larkspur::ParseFault("unplug@100,replug@400", &fault));
    EXPECT_EQ(fault.kind, FaultKind::Unplug);
    EXPECT_EQ(fault.delayMs, 100u);
    EXPECT_EQ(fault.replugDelayMs, 400u);
    ASSERT_TRUE(sim::larkspur::ParseFault("unplug@0,replug@1", &fault));
    EXPECT_EQ(fault.replugDelayMs, 1u);
    ASSERT_TRUE(sim::larkspur::ParseFault("unplug@250", &fault));
    EXPECT_EQ(fault.replugDelayMs, 0u) << "no replug";
    for (const char* bad :
         {"unplug@100,replug@100", "unplug@100,replug@50", "stall@5,replug@9", "unplug@5,", "unplug@5,replug",
          "unplug@5,replug@", "unplug@5,replug@9,replug@10", "unplug@5,plug@9", "replug@5",
          "unplug@5,replug@9x", "unplug@5 ,replug@9", "unplug@5,replug@99999999999"}) {
        Fault kept{FaultKind::Stall, 9, 0};
        EXPECT_FALSE(sim::larkspur::ParseFault(bad, &kept)) << bad;
        EXPECT_EQ(kept.kind, FaultKind::Stall) << bad;
        EXPECT_EQ(kept.delayMs, 9u) << bad;
    }
}

// A created render pin of a stepped device, driven by hand.
class FaultyPin : public testing_support::DevicePinTest {};

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
    EXPECT_EQ(device->Audio().size(), inFlight.data.size());
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

// The device comes back: listed again under the same path and ID, a new pin streams, the lost one
// stays dead.
class Replug : public FaultyPin {
protected:
    void SetUp() override {
        FaultyPin::SetUp();
        sim::SetDeviceInterfaces({sim::LarkspurInterface(device->OpenFilter(), 7)});
        path = sim::GetDeviceInterfaces()[0].devicePath;
    }
    void TearDown() override {
        // Not the default machine: that would create the default device before its test below.
        sim::AttachNoDevice();
        FaultyPin::TearDown();
    }
    // The instance IDs SetupAPI lists among the present audio interfaces.
    static std::vector<std::u16string> Listed() {
        std::vector<std::u16string> ids;
        HDEVINFO set =
            SetupDiGetClassDevsW(&KSCATEGORY_AUDIO, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &KSCATEGORY_AUDIO, i, &data); ++i) {
            SP_DEVINFO_DATA info{};
            info.cbSize = sizeof info;
            SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, nullptr, &info);
            WCHAR id[128] = {};
            EXPECT_TRUE(SetupDiGetDeviceInstanceIdW(set, &info, id, 128, nullptr));
            ids.push_back(reinterpret_cast<const char16_t*>(id));
        }
        SetupDiDestroyDeviceInfoList(set);
        return ids;
    }
    // Opens the filter by its path: the handle, or null with the error in *error.
    HANDLE OpenPath(DWORD* error) {
        HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED, nullptr);
        *error = handle == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
        return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
    }
    // Strikes the unplug with a write in flight, as a stream meets it.
    void StrikeUnplug(Fault fault) {
        Write inFlight;
        ASSERT_EQ(inFlight.Send(pin), static_cast<DWORD>(ERROR_IO_PENDING));
        device->SetFault(fault);
        EXPECT_EQ(device->CompleteWrites(1), 1u);
        EXPECT_NE(inFlight.overlapped.Internal, 0u);
        ASSERT_TRUE(device->Unplugged());
    }
    // A new pin on a filter opened by path plays a write.
    void StreamsOnANewPin() {
        DWORD error = 0;
        HANDLE opened = OpenPath(&error);
        ASSERT_NE(opened, nullptr) << error;
        std::swap(opened, filter);
        ASSERT_EQ(CreatePin(&pin), static_cast<DWORD>(ERROR_SUCCESS));
        ASSERT_EQ(State(KSSTATE_RUN), static_cast<DWORD>(ERROR_SUCCESS));
        Write write(8, 0x5A);
        ASSERT_EQ(write.Send(pin), static_cast<DWORD>(ERROR_IO_PENDING));
        EXPECT_EQ(device->CompleteWrites(1), 1u);
        EXPECT_EQ(write.overlapped.Internal, 0u);
        EXPECT_EQ(device->Audio(), write.data);
        CloseHandle(opened);
    }

    std::u16string path;
};

TEST_F(Replug, TheDeviceComesBackOnCueWithNoPinLeft) {
    const std::vector<std::u16string> before = Listed();
    ASSERT_EQ(before.size(), 1u);
    StrikeUnplug({FaultKind::Unplug, 0, 300});
    // Gone: not listed, its path does not open; the driver closes its pin at once.
    CloseHandle(pin);
    pin = nullptr;
    EXPECT_TRUE(Listed().empty());
    DWORD error = 0;
    EXPECT_EQ(OpenPath(&error), nullptr);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    HANDLE refused = nullptr;
    EXPECT_EQ(CreatePin(&refused), sim::larkspur::kErrorDeviceNotConnected);

    // Polled as a watcher would: back after its time with the same ID, and the unplug does not strike
    // the new pin.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (Listed().empty() && std::chrono::steady_clock::now() < deadline)
        Sleep(5);
    EXPECT_EQ(Listed(), before);
    EXPECT_FALSE(device->Unplugged());
    StreamsOnANewPin();
    Sleep(350);
    Write later;
    EXPECT_EQ(later.Send(pin), static_cast<DWORD>(ERROR_IO_PENDING));
    // Closed while `later` lives: closing cancels the write into its OVERLAPPED.
    CloseHandle(pin);
    pin = nullptr;
}

TEST_F(Replug, TheLostPinStaysDeadUntilClosed) {
    StrikeUnplug({FaultKind::Unplug, 0});
    EXPECT_TRUE(Listed().empty());
    // Clearing the fault plugs it back in, listed again; the pin made before stays dead.
    device->SetFault({});
    EXPECT_EQ(Listed().size(), 1u);
    Write late;
    EXPECT_EQ(late.Send(pin), sim::larkspur::kErrorDeviceNotConnected);
    ULONG state = 0;
    EXPECT_EQ(Property(pin, KSPROPERTY_TYPE_GET, &state, sizeof state),
              sim::larkspur::kErrorDeviceNotConnected);
    CloseHandle(pin);
    pin = nullptr;
    StreamsOnANewPin();
}

TEST_F(Replug, APulledCableGoesWithoutARunningPinAndComesBack) {
    CloseHandle(pin);
    pin = nullptr;
    device->Unplug();
    EXPECT_TRUE(Listed().empty());
    device->Replug();
    EXPECT_EQ(Listed().size(), 1u);
    StreamsOnANewPin();
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
