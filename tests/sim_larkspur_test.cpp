// The simulated Larkspur itself: what it accepts in a connect request, its replies, its clocks and its
// record.
#include "sim/larkspur/device.h"
#include "sim/library.h"
#include "tests/ks_support.h"
#include "tests/support/device_pin.h"

#include <cstring>

namespace {

using ks_test::KsTest;
using sim::larkspur::Clock;
using sim::larkspur::Device;

// A connect request as a driver builds it: KSPIN_CONNECT, KSDATAFORMAT, WAVEFORMATEXTENSIBLE.
struct Connect {
    KSPIN_CONNECT connect{};
    KSDATAFORMAT format{};
    WAVEFORMATEXTENSIBLE wave{};

    Connect(WORD channels = 2, WORD bits = 32, DWORD rate = 44100) {
        connect.Interface.Set = KSINTERFACESETID_Standard;
        connect.Medium.Set = KSMEDIUMSETID_Standard;
        connect.Priority.PriorityClass = KSPRIORITY_NORMAL;
        format.FormatSize = sizeof format + sizeof wave;
        format.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
        format.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
        format.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
        wave.Format = {WAVE_FORMAT_EXTENSIBLE,
                       channels,
                       rate,
                       rate * channels * bits / 8,
                       static_cast<WORD>(channels * bits / 8),
                       bits,
                       22};
        wave.Samples.wValidBitsPerSample = bits;
        wave.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    }
};
static_assert(sizeof(Connect) == 72 + 64 + 40);

class LarkspurTest : public KsTest {
protected:
    void SetUp() override {
        KsTest::SetUp();
        m_device = Device::Create();
        m_filter = m_device->OpenFilterHandle();
    }
    void TearDown() override {
        for (HANDLE pin : m_pins)
            CloseHandle(pin);
        CloseHandle(m_filter);
        KsTest::TearDown();
    }
    DWORD Create(Connect c, ACCESS_MASK access = GENERIC_READ | GENERIC_WRITE) {
        HANDLE pin = nullptr;
        const DWORD error = sim::KsCreatePin(m_filter, &c.connect, access, &pin);
        if (error == ERROR_SUCCESS)
            m_pins.push_back(pin);
        return error;
    }
    HANDLE Pin() { return m_pins.back(); }

    DWORD Property(HANDLE target, const GUID& set, ULONG id, ULONG flags, void* value, DWORD size,
                   DWORD* returned = nullptr) {
        KSPROPERTY property{};
        property.Set = set;
        property.Id = id;
        property.Flags = flags;
        DWORD count = 0;
        if (DeviceIoControl(target, IOCTL_KS_PROPERTY, &property, sizeof property, value, size,
                            returned ? returned : &count, nullptr))
            return ERROR_SUCCESS;
        return GetLastError();
    }
    DWORD SetState(KSSTATE state) {
        return Property(Pin(), KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_SET,
                        &state, sizeof state);
    }
    DWORD Mode(ULONG code, DWORD size = 264) {
        BYTE request[300] = {};
        std::memcpy(request, &code, sizeof code);
        DWORD count = 0;
        return DeviceIoControl(Pin(), 0x2F200C, request, size, nullptr, 0, &count, nullptr) ? ERROR_SUCCESS
                                                                                            : GetLastError();
    }

    std::shared_ptr<Device> m_device;
    HANDLE m_filter = nullptr;
    std::vector<HANDLE> m_pins;
};

using Write = testing_support::DeviceWrite;

TEST_F(LarkspurTest, AcceptsOnlyConnectRequestsItCanPlay) {
    constexpr DWORD kNoMatch = 1169;
    EXPECT_EQ(Create(Connect()), 0u);
    EXPECT_EQ(Create(Connect()), 1450u) << "one instance of the render pin at a time";
    CloseHandle(m_pins.back());
    m_pins.pop_back();

    Connect wrongPin;
    wrongPin.connect.PinId = 2;
    EXPECT_EQ(Create(wrongPin), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    Connect bridge;
    bridge.connect.PinId = 1;
    EXPECT_EQ(Create(bridge), 1u);
    EXPECT_EQ(Create(Connect(), GENERIC_READ), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    Connect looped;
    looped.connect.Interface.Id = KSINTERFACE_STANDARD_LOOPED_STREAMING;
    EXPECT_EQ(Create(looped), kNoMatch);
    Connect medium;
    medium.connect.Medium.Set = KSINTERFACESETID_Standard;
    EXPECT_EQ(Create(medium), kNoMatch);
    Connect shortFormat;
    shortFormat.format.FormatSize = 70;
    EXPECT_EQ(Create(shortFormat), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    Connect major;
    major.format.MajorFormat = GUID_NULL;
    EXPECT_EQ(Create(major), kNoMatch);
    Connect specifier;
    specifier.format.Specifier = KSDATAFORMAT_SUBTYPE_PCM;
    EXPECT_EQ(Create(specifier), kNoMatch);
    Connect floating;
    floating.wave.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    EXPECT_EQ(Create(floating), kNoMatch);
    Connect cut;
    cut.wave.Format.cbSize = 0;
    EXPECT_EQ(Create(cut), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Create(Connect(2, 24, 44100)), kNoMatch);
    EXPECT_EQ(Create(Connect(3, 32, 44100)), kNoMatch);
    EXPECT_EQ(Create(Connect(0, 32, 44100)), kNoMatch);
    EXPECT_EQ(Create(Connect(2, 32, 22050)), kNoMatch);
    EXPECT_EQ(Create(Connect(2, 32, 768001)), kNoMatch);
    EXPECT_EQ(m_device->OpenPins(), 0u);

    // A plain WAVEFORMATEX at the top rate is fine.
    Connect plain(1, 32, 768000);
    plain.wave.Format.wFormatTag = WAVE_FORMAT_PCM;
    plain.wave.Format.cbSize = 0;
    plain.format.FormatSize = sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX);
    EXPECT_EQ(Create(plain), 0u);
}

TEST_F(LarkspurTest, AnswersFilterAndPinProperties) {
    ULONG types = 0;
    EXPECT_EQ(Property(m_filter, KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, KSPROPERTY_TYPE_GET, &types, 4), 0u);
    EXPECT_EQ(types, 2u);
    DWORD needed = 0;
    EXPECT_EQ(Property(m_filter, KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, KSPROPERTY_TYPE_GET,
                       nullptr, 0, &needed),
              static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(needed, 8u + 2 * sizeof(GUID));
    std::vector<BYTE> nodes(needed);
    EXPECT_EQ(Property(m_filter, KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, KSPROPERTY_TYPE_GET,
                       nodes.data(), needed),
              0u);
    EXPECT_EQ(reinterpret_cast<KSMULTIPLE_ITEM*>(nodes.data())->Count, 2u);
    EXPECT_EQ(Property(m_filter, KSPROPSETID_Audio, 0, KSPROPERTY_TYPE_GET, &types, 4), 1170u);
    m_device->SetSizeQueryError(ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(
        Property(m_filter, KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, KSPROPERTY_TYPE_GET, nullptr, 0),
        static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

    ASSERT_EQ(Create(Connect()), 0u);
    KSSTATE state = KSSTATE_RUN;
    EXPECT_EQ(
        Property(Pin(), KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_GET, &state, 4),
        0u);
    EXPECT_EQ(state, KSSTATE_STOP);
    EXPECT_EQ(SetState(KSSTATE_PAUSE), 0u);
    EXPECT_EQ(SetState(static_cast<KSSTATE>(7)), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(
        Property(Pin(), KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_GET, &state, 4),
        0u);
    EXPECT_EQ(state, KSSTATE_PAUSE);
    KSAUDIO_POSITION position{1, 1};
    EXPECT_EQ(
        Property(Pin(), KSPROPSETID_Audio, KSPROPERTY_AUDIO_POSITION, KSPROPERTY_TYPE_GET, &position, 16),
        0u);
    EXPECT_EQ(position.PlayOffset + position.WriteOffset, 0u);
    EXPECT_EQ(Mode(0x8000, 263), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Mode(0x8000), 0u);
    EXPECT_EQ(m_device->Events(), (std::vector<sim::larkspur::RecordEvent>{
                                      {sim::larkspur::RecordEvent::State, KSSTATE_PAUSE},
                                      {sim::larkspur::RecordEvent::Mode, 0x8000},
                                  }));
}

TEST_F(LarkspurTest, RecordsDsdWordsAsTheHostWroteThem) {
    ASSERT_EQ(Create(Connect()), 0u);
    SetState(KSSTATE_RUN);
    const std::vector<BYTE> host = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    const std::vector<BYTE> swapped = {0x44, 0x33, 0x22, 0x11, 0x88, 0x77, 0x66, 0x55};
    Mode(0x8000);
    Write dsd(swapped);
    EXPECT_EQ(dsd.Send(Pin()), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(m_device->CompleteWrites(1), 1u);
    Mode(0x8002); // stream end keeps the DSD mode
    Write tail(swapped);
    tail.Send(Pin());
    m_device->CompleteWrites(1);
    Mode(0x10000);
    Write pcm(host);
    pcm.Send(Pin());
    m_device->CompleteWrites(1);
    std::vector<BYTE> expected = host;
    expected.insert(expected.end(), host.begin(), host.end());
    expected.insert(expected.end(), host.begin(), host.end());
    EXPECT_EQ(m_device->Audio(), expected);
    EXPECT_EQ(m_device->WritePackets(), 3u);
    m_device->ClearRecord();
    EXPECT_TRUE(m_device->Audio().empty());
    EXPECT_EQ(m_device->WritePackets(), 0u);
}

TEST_F(LarkspurTest, RefusesMalformedWritesAndHoldsABoundedQueue) {
    ASSERT_EQ(Create(Connect()), 0u);
    Write early(std::vector<BYTE>(64));
    EXPECT_EQ(early.Send(Pin()), 22u) << "no stream data while stopped";
    SetState(KSSTATE_RUN);
    Write bad(std::vector<BYTE>(64));
    bad.header.Size = 48;
    EXPECT_EQ(bad.Send(Pin()), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    bad.header.Size = sizeof(KSSTREAM_HEADER);
    bad.header.DataUsed = 65;
    EXPECT_EQ(bad.Send(Pin()), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    DWORD count = 0;
    EXPECT_FALSE(DeviceIoControl(Pin(), IOCTL_KS_WRITE_STREAM, nullptr, 0, &bad.header, sizeof bad.header,
                                 &count, nullptr));

    std::vector<std::unique_ptr<Write>> writes;
    for (int i = 0; i < 64; ++i) {
        writes.push_back(std::make_unique<Write>(std::vector<BYTE>(8, static_cast<BYTE>(i))));
        EXPECT_EQ(writes.back()->Send(Pin()), static_cast<DWORD>(ERROR_IO_PENDING));
    }
    Write overflow(std::vector<BYTE>(8));
    EXPECT_EQ(overflow.Send(Pin()), 1450u);
    EXPECT_EQ(m_device->PendingWrites(), 64u);
    // Stopping cancels them all, unrecorded.
    SetState(KSSTATE_STOP);
    EXPECT_EQ(m_device->PendingWrites(), 0u);
    for (auto& w : writes) {
        EXPECT_TRUE(w->Done());
        EXPECT_EQ(w->overlapped.Internal, 0xC0000120u) << "STATUS_CANCELLED";
    }
    EXPECT_TRUE(m_device->Audio().empty());
}

TEST_F(LarkspurTest, RealTimeClockPlaysWritesInOrderAtTheStreamRate) {
    m_device->SetClock(Clock::RealTime);
    ASSERT_EQ(Create(Connect()), 0u);
    SetState(KSSTATE_RUN);
    Write a(std::vector<BYTE>(44 * 8, 1)), b(std::vector<BYTE>(44 * 8, 2)), c(std::vector<BYTE>(44 * 8, 3));
    a.Send(Pin());
    b.Send(Pin());
    c.Send(Pin());
    EXPECT_EQ(WaitForSingleObject(c.overlapped.hEvent, 10000), WAIT_OBJECT_0);
    EXPECT_TRUE(a.Done());
    EXPECT_TRUE(b.Done());
    std::vector<BYTE> expected = a.data;
    expected.insert(expected.end(), b.data.begin(), b.data.end());
    expected.insert(expected.end(), c.data.begin(), c.data.end());
    EXPECT_EQ(m_device->Audio(), expected);

    // A second's worth of frames does not play at once, and closing the pin cancels it.
    Write second(std::vector<BYTE>(44100 * 8, 4));
    second.Send(Pin());
    EXPECT_EQ(WaitForSingleObject(second.overlapped.hEvent, 50), WAIT_TIMEOUT);
    CloseHandle(m_pins.back());
    m_pins.pop_back();
    EXPECT_TRUE(second.Done());
    EXPECT_EQ(second.overlapped.Internal, 0xC0000120u);
    EXPECT_EQ(m_device->OpenPins(), 0u);
}

TEST_F(LarkspurTest, TheDefaultDeviceIsThereWithoutSetup) {
    auto device = sim::larkspur::DefaultDevice();
    EXPECT_EQ(device, sim::larkspur::DefaultDevice());
    const auto descriptor = device->Descriptor();
    ASSERT_EQ(descriptor.pins.size(), 2u);
    EXPECT_EQ(descriptor.pins[0].name, u"Larkspur Output");
    EXPECT_EQ(descriptor.pins[0].communication, KSPIN_COMMUNICATION_SINK);
    EXPECT_EQ(descriptor.pins[1].communication, KSPIN_COMMUNICATION_BRIDGE);
}

} // namespace
