// A render pin of a simulated Larkspur created and driven by hand, as the device's own tests need it:
// writes with their own events, state and audio property requests, and the vendor mode request.
#pragma once

#include "sim/kernel_objects.h"
#include "sim/larkspur/device.h"
#include "sim/library.h"

#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

namespace testing_support {

// One write of `frames` 8-byte frames, each byte `fill`, or of given bytes.
struct DeviceWrite {
    KSSTREAM_HEADER header{};
    OVERLAPPED overlapped{};
    std::vector<BYTE> data;
    explicit DeviceWrite(size_t frames = 8, BYTE fill = 1)
        : DeviceWrite(std::vector<BYTE>(frames * 8, fill)) {}
    // One write of exactly these bytes.
    explicit DeviceWrite(std::vector<BYTE> bytes) : data(std::move(bytes)) {
        header.Size = sizeof header;
        header.FrameExtent = header.DataUsed = static_cast<ULONG>(data.size());
        header.Data = data.data();
        overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    DeviceWrite(const DeviceWrite&) = delete;
    DeviceWrite& operator=(const DeviceWrite&) = delete;
    ~DeviceWrite() { CloseHandle(overlapped.hEvent); }
    DWORD Send(HANDLE pin) {
        DWORD count = 0;
        return DeviceIoControl(pin, IOCTL_KS_WRITE_STREAM, nullptr, 0, &header, sizeof header, &count,
                               &overlapped)
                   ? ERROR_SUCCESS
                   : GetLastError();
    }
    bool Done() { return WaitForSingleObject(overlapped.hEvent, 0) == WAIT_OBJECT_0; }
};

// A stepped device with its filter open and a 44.1 kHz render pin running.
class DevicePinTest : public ::testing::Test {
protected:
    using Write = DeviceWrite;

    void SetUp() override {
        device = sim::larkspur::Device::Create(sim::larkspur::Clock::Stepped);
        filter = device->OpenFilterHandle();
        ASSERT_EQ(CreatePin(&pin), static_cast<DWORD>(ERROR_SUCCESS));
        ASSERT_EQ(State(KSSTATE_RUN), static_cast<DWORD>(ERROR_SUCCESS));
    }
    void TearDown() override {
        if (pin)
            CloseHandle(pin);
        CloseHandle(filter);
    }

    // Closes the pin and runs a new one under `clock`.
    void Reopen(sim::larkspur::Clock clock) {
        CloseHandle(pin);
        pin = nullptr;
        device->SetClock(clock);
        ASSERT_EQ(CreatePin(&pin), static_cast<DWORD>(ERROR_SUCCESS));
        ASSERT_EQ(State(KSSTATE_RUN), static_cast<DWORD>(ERROR_SUCCESS));
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
    DWORD Request(HANDLE target, const GUID& set, ULONG id, ULONG flags, void* value, DWORD size,
                  OVERLAPPED* overlapped = nullptr, DWORD* returned = nullptr) {
        KSPROPERTY property{set, id, flags};
        DWORD count = 0;
        return DeviceIoControl(target, IOCTL_KS_PROPERTY, &property, sizeof property, value, size,
                               returned ? returned : &count, overlapped)
                   ? ERROR_SUCCESS
                   : GetLastError();
    }
    // The connection state; overlapped when `overlapped` is given.
    DWORD Property(HANDLE target, ULONG flags, void* value, DWORD size, OVERLAPPED* overlapped = nullptr) {
        return Request(target, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, flags, value, size,
                       overlapped);
    }
    DWORD State(KSSTATE state) { return Property(pin, KSPROPERTY_TYPE_SET, &state, sizeof state); }
    KSAUDIO_POSITION Position() {
        KSAUDIO_POSITION position{~0ull, ~0ull};
        EXPECT_EQ(Request(pin, KSPROPSETID_Audio, KSPROPERTY_AUDIO_POSITION, KSPROPERTY_TYPE_GET, &position,
                          sizeof position),
                  static_cast<DWORD>(ERROR_SUCCESS));
        return position;
    }
    DWORD Mode(ULONG code) {
        BYTE request[264] = {};
        std::memcpy(request, &code, sizeof code);
        DWORD count = 0;
        return DeviceIoControl(pin, 0x2F200C, request, sizeof request, nullptr, 0, &count, nullptr)
                   ? ERROR_SUCCESS
                   : GetLastError();
    }

    std::shared_ptr<sim::larkspur::Device> device;
    HANDLE filter = nullptr;
    HANDLE pin = nullptr;
};

} // namespace testing_support
