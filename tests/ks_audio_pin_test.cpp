// Audio pins: data ranges, format test, connect request, creation, streaming and position, against the
// simulated Larkspur; and the end-to-end render pin on the default device.
#include "ks/audio_pin.h"
#include "sim/larkspur/device.h"
#include "tests/ks_support.h"

#include <cstring>

namespace {

using ks_test::BoundFilter;
using ks_test::KsTest;
using sim::larkspur::AudioDataRange;
using sim::larkspur::Device;
using sim::larkspur::Identifier;
using testing_support::FailOneAllocationAfter;

WAVEFORMATEXTENSIBLE Extensible(WORD channels, WORD bits, DWORD rate) {
    WAVEFORMATEXTENSIBLE format{};
    format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    format.Format.nChannels = channels;
    format.Format.nSamplesPerSec = rate;
    format.Format.wBitsPerSample = bits;
    format.Format.nBlockAlign = static_cast<WORD>(channels * bits / 8);
    format.Format.nAvgBytesPerSec = rate * format.Format.nBlockAlign;
    format.Format.cbSize = 22;
    format.Samples.wValidBitsPerSample = bits;
    format.dwChannelMask = SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT;
    format.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    return format;
}

WAVEFORMATEX Pcm(WORD channels, WORD bits, DWORD rate) {
    WAVEFORMATEX format = Extensible(channels, bits, rate).Format;
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.cbSize = 0;
    return format;
}

// A write request of the render thread's kind, with its own event.
struct Packet {
    StreamPacket packet{};
    std::vector<BYTE> data;
    explicit Packet(std::vector<BYTE> bytes) : data(std::move(bytes)) {
        packet.Header.Size = sizeof(KSSTREAM_HEADER);
        packet.Header.PresentationTime.Numerator = 1;
        packet.Header.PresentationTime.Denominator = 1;
        packet.Header.FrameExtent = static_cast<ULONG>(data.size());
        packet.Header.DataUsed = static_cast<ULONG>(data.size());
        packet.Header.Data = data.data();
        packet.Overlapped.hEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    }
    ~Packet() { CloseHandle(packet.Overlapped.hEvent); }
    DWORD Wait(DWORD ms) { return WaitForSingleObject(packet.Overlapped.hEvent, ms); }
};

std::vector<BYTE> Frames(size_t frames, BYTE seed) {
    std::vector<BYTE> bytes(frames * 8);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<BYTE>(seed + i * 7);
    return bytes;
}

class AudioPinTest : public ks_test::FilterTest {
protected:
    void SetRanges(std::vector<std::vector<BYTE>> ranges) {
        m_device->ChangeDescriptor([&](auto& d) { d.pins[0].dataRanges = std::move(ranges); });
    }
    std::unique_ptr<CKsAudRenPin> RenderPin(HRESULT expected = S_OK) {
        HRESULT hr = E_UNEXPECTED;
        auto pin = std::make_unique<CKsAudRenPin>(m_filter.get(), 0, &hr);
        EXPECT_EQ(hr, expected);
        return pin;
    }
    // A render pin created on the device in 2-channel 32-bit 44100 Hz.
    std::unique_ptr<CKsAudRenPin> CreatedPin() {
        auto pin = RenderPin();
        const WAVEFORMATEXTENSIBLE format = Extensible(2, 32, 44100);
        EXPECT_EQ(pin->SetFormat(&format.Format), S_OK);
        EXPECT_EQ(pin->Instantiate(FALSE), S_OK);
        return pin;
    }
};

TEST_F(AudioPinTest, BuildsTheConnectRequest) {
    auto pin = RenderPin();
    EXPECT_EQ(pin->GetType(), KsPinTypeAudioRender);
    EXPECT_EQ(pin->m_listDataRange.GetCount(), 1);
    ASSERT_EQ(pin->GetConnectSize(), 154u);
    const KSPIN_CONNECT* connect = pin->GetConnect();
    EXPECT_EQ(connect->Interface.Set, KSINTERFACESETID_Standard);
    EXPECT_EQ(connect->Interface.Id, static_cast<ULONG>(KSINTERFACE_STANDARD_STREAMING));
    EXPECT_EQ(connect->Medium.Set, KSMEDIUMSETID_Standard);
    EXPECT_EQ(connect->PinId, 0u);
    EXPECT_EQ(connect->PinToHandle, nullptr);
    EXPECT_EQ(connect->Priority.PriorityClass, static_cast<ULONG>(KSPRIORITY_NORMAL));
    EXPECT_EQ(connect->Priority.PrioritySubClass, 1u);
    ASSERT_EQ(reinterpret_cast<const BYTE*>(pin->m_pksDataFormatWfx),
              reinterpret_cast<const BYTE*>(connect) + 72);
    EXPECT_EQ(pin->m_pksDataFormatWfx->FormatSize, 82u);
    EXPECT_EQ(pin->m_pksDataFormatWfx->MajorFormat, KSDATAFORMAT_TYPE_AUDIO);
    EXPECT_EQ(pin->m_pksDataFormatWfx->SubFormat, KSDATAFORMAT_SUBTYPE_PCM);
    EXPECT_EQ(pin->m_pksDataFormatWfx->Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX);

    HRESULT hr = E_UNEXPECTED;
    CKsAudCapPin capture(m_filter.get(), 0, &hr);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(capture.GetType(), KsPinTypeAudioCapture);
    CKsAudPin plain(m_filter.get(), 0, &hr);
    EXPECT_EQ(plain.GetType(), KsPinTypeGeneric);
}

TEST_F(AudioPinTest, RefusesPinsThatDoNotStreamTheStandardWay) {
    SetTraceLevel(1);
    m_device->ChangeDescriptor([](auto& d) {
        d.pins[0].interfaces = {Identifier(KSINTERFACESETID_Standard, KSINTERFACE_STANDARD_LOOPED_STREAMING)};
    });
    RenderPin(E_FAIL);
    m_device->ChangeDescriptor([](auto& d) {
        d.pins[0].interfaces = {Identifier(KSINTERFACESETID_Standard, KSINTERFACE_STANDARD_STREAMING, 5)};
        d.pins[0].mediums = {Identifier(KSINTERFACESETID_Standard, 0)};
    });
    RenderPin(E_FAIL);
    // The standard medium second in the list is found.
    m_device->ChangeDescriptor([](auto& d) {
        d.pins[0].mediums.push_back(Identifier(KSMEDIUMSETID_Standard, KSMEDIUM_TYPE_ANYINSTANCE));
    });
    RenderPin(S_OK);
    // No range of the wave-format family, whatever the major format.
    SetRanges({AudioDataRange(2, 32, 32, 44100, 768000, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX)});
    RenderPin(E_FAIL);
    SetRanges({});
    RenderPin(E_FAIL);
    EXPECT_EQ(Trace(), (std::vector<std::string>{
                           "No standard streaming interfaces on the pin",
                           "No standard streaming mediums on the pin",
                           "No audio dataranges on the pin",
                           "No audio dataranges on the pin",
                       }));
}

TEST_F(AudioPinTest, KeepsAudioRangesOnceAnAudioSubformatWasSeen) {
    GUID ones;
    std::memset(&ones, 0xFF, sizeof ones);
    // A PCM range of another major format sets the flag; then any subformat of audio is kept.
    SetRanges(
        {AudioDataRange(2, 16, 16, 8000, 8000, KSDATAFORMAT_SUBTYPE_PCM, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX),
         AudioDataRange(6, 8, 24, 1000, 2000, ones)});
    auto pin = RenderPin();
    ASSERT_EQ(pin->m_listDataRange.GetCount(), 1);
    KSDATARANGE_AUDIO* range = nullptr;
    CKsListNode* position = pin->m_listDataRange.GetHeadPosition();
    pin->m_listDataRange.GetNext(position, &range);
    EXPECT_EQ(range->MaximumChannels, 6u);
    EXPECT_EQ(range->DataRange.SubFormat, ones);

    // Only wildcard-major ranges: constructed, but nothing is stored and no format fits.
    SetRanges({AudioDataRange(2, 32, 32, 44100, 768000, KSDATAFORMAT_SUBTYPE_WILDCARD,
                              KSDATAFORMAT_TYPE_WILDCARD)});
    auto wildcard = RenderPin(S_OK);
    EXPECT_EQ(wildcard->m_listDataRange.GetCount(), 0);
    const WAVEFORMATEXTENSIBLE format = Extensible(2, 32, 44100);
    EXPECT_FALSE(wildcard->IsFormatSupported(&format.Format));
}

TEST_F(AudioPinTest, ShortRangesAreSkippedAndOddSizesReadSafely) {
    // A 72-byte audio range (too short for the limits), then an 88-byte one behind it, unaligned.
    auto shortRange = AudioDataRange(8, 8, 32, 8000, 768000);
    shortRange.resize(72);
    const ULONG shortSize = 72;
    std::memcpy(shortRange.data(), &shortSize, 4);
    SetRanges({shortRange, AudioDataRange(2, 32, 32, 44100, 96000)});
    auto pin = RenderPin();
    EXPECT_EQ(pin->m_listDataRange.GetCount(), 1);
    const WAVEFORMATEXTENSIBLE stereo = Extensible(2, 32, 48000);
    const WAVEFORMATEXTENSIBLE eight = Extensible(8, 32, 48000);
    EXPECT_TRUE(pin->IsFormatSupported(&stereo.Format));
    EXPECT_FALSE(pin->IsFormatSupported(&eight.Format));
}

TEST_F(AudioPinTest, RangeCopiesThatCannotBeAllocated) {
    SetTraceLevel(1);
    SetRanges({AudioDataRange(2, 32, 32, 44100, 48000), AudioDataRange(2, 16, 16, 96000, 96000)});
    RenderPin(); // the filter's request block exists from now on
    sim::ClearDebugOutput();
    // Allocations of construction: the three list replies, the connect block, then per range a copy
    // and its list node.
    FailOneAllocationAfter(4);
    auto noCopy = RenderPin(E_OUTOFMEMORY);
    EXPECT_EQ(noCopy->m_listDataRange.GetCount(), 1) << "the later range is still kept";
    FailOneAllocationAfter(5);
    auto noNode = RenderPin(E_OUTOFMEMORY);
    EXPECT_EQ(noNode->m_listDataRange.GetCount(), 1);
    FailOneAllocationAfter(3);
    auto noBlock = RenderPin(E_OUTOFMEMORY);
    EXPECT_EQ(noBlock->GetConnect(), nullptr);
    const WAVEFORMATEXTENSIBLE format = Extensible(2, 32, 44100);
    EXPECT_EQ(noBlock->SetFormat(&format.Format), E_FAIL);
    EXPECT_EQ(noBlock->Instantiate(FALSE), S_OK) << "nothing to create";
    EXPECT_EQ(Trace(), (std::vector<std::string>{
                           "Unable to allocate memory to save datarange in",
                           "Unable to allocate list entry to save datarange in",
                           "Failed to allocate m_pksPinCreate",
                           "pwfx or m_pksDataFormatWfx are NULL",
                       }));
}

TEST_F(AudioPinTest, FormatTestAgainstOneRange) {
    SetRanges({AudioDataRange(2, 16, 32, 44100, 192000)});
    auto pin = RenderPin();
    auto fits = [&](WAVEFORMATEX format) { return pin->IsFormatSupported(&format) != FALSE; };
    auto fitsExtensible = [&](WAVEFORMATEXTENSIBLE format) {
        return pin->IsFormatSupported(&format.Format) != FALSE;
    };
    EXPECT_TRUE(fitsExtensible(Extensible(2, 32, 192000)));
    EXPECT_TRUE(fits(Pcm(1, 16, 44100)));
    EXPECT_FALSE(fits(Pcm(3, 16, 44100)));
    EXPECT_FALSE(fits(Pcm(2, 8, 44100)));
    EXPECT_FALSE(fits(Pcm(2, 16, 8000)));
    EXPECT_FALSE(fits(Pcm(2, 16, 384000)));
    // Matched through the subformat: the extensible's own, or the tag's for a plain format.
    WAVEFORMATEXTENSIBLE floating = Extensible(2, 32, 44100);
    floating.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    EXPECT_FALSE(fitsExtensible(floating));
    WAVEFORMATEX floatTag = Pcm(2, 32, 44100);
    floatTag.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    EXPECT_FALSE(fits(floatTag));
    // An extensible tag whose cbSize leaves out the extensible part is not read past its end.
    WAVEFORMATEXTENSIBLE truncated = Extensible(2, 32, 44100);
    truncated.Format.cbSize = 0;
    EXPECT_FALSE(fitsExtensible(truncated));
}

TEST_F(AudioPinTest, SetFormatSizesTheConnectRequest) {
    auto pin = RenderPin();
    const WAVEFORMATEX pcm = Pcm(2, 32, 44100);
    EXPECT_EQ(pin->SetFormat(&pcm), S_OK);
    EXPECT_EQ(pin->GetConnectSize(), 154u);
    EXPECT_EQ(pin->m_pksDataFormatWfx->FormatSize, 82u);
    EXPECT_EQ(pin->m_pksDataFormatWfx->SampleSize, 8u);

    const WAVEFORMATEXTENSIBLE extensible = Extensible(2, 32, 48000);
    EXPECT_EQ(pin->SetFormat(&extensible.Format), S_OK);
    EXPECT_EQ(pin->GetConnectSize(), 176u);
    EXPECT_EQ(pin->m_pksDataFormatWfx->FormatSize, 104u);
    EXPECT_EQ(pin->m_pksDataFormatWfx->SubFormat, KSDATAFORMAT_SUBTYPE_PCM);
    EXPECT_EQ(std::memcmp(pin->m_pksDataFormatWfx + 1, &extensible, sizeof extensible), 0);
    EXPECT_EQ(pin->GetConnect()->PinId, 0u) << "the request is carried over into the new block";
    const KSPIN_CONNECT* block = pin->GetConnect();
    EXPECT_EQ(pin->SetFormat(&extensible.Format), S_OK);
    EXPECT_EQ(pin->GetConnect(), block) << "same size, same block";

    // A failed reallocation keeps the previous block and format.
    SetTraceLevel(1);
    FailOneAllocationAfter(0);
    EXPECT_EQ(pin->SetFormat(&pcm), E_OUTOFMEMORY);
    EXPECT_EQ(pin->GetConnect(), block);
    EXPECT_EQ(pin->m_pksDataFormatWfx->FormatSize, 104u);
    EXPECT_TRUE(Traced("Unable to allocate KSPIN_CONNECT structure"));
    testing_support::ResetAllocationFailures();

    EXPECT_EQ(pin->SetFormat(&pcm), S_OK);
    EXPECT_EQ(pin->GetConnectSize(), 154u);
    EXPECT_EQ(pin->m_pksDataFormatWfx->FormatSize, 82u);
    EXPECT_EQ(pin->SetFormat(nullptr), E_FAIL);
}

TEST_F(AudioPinTest, CreatesThePinInTheRequestedFormat) {
    auto pin = CreatedPin();
    EXPECT_TRUE(CKsIrpTarget::IsValidHandle(pin->GetHandle()));
    EXPECT_EQ(m_device->OpenPins(), 1u);
    WAVEFORMATEXTENSIBLE seen{};
    ULONG interfaceId = 99;
    ASSERT_TRUE(m_device->LatestConnect(&seen, &interfaceId));
    const WAVEFORMATEXTENSIBLE wanted = Extensible(2, 32, 44100);
    EXPECT_EQ(std::memcmp(&seen, &wanted, sizeof seen), 0);
    EXPECT_EQ(interfaceId, 0u);
    pin->ClosePin();
    EXPECT_EQ(pin->GetHandle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(m_device->OpenPins(), 0u);
    // A closed pin can be created again.
    EXPECT_EQ(pin->Instantiate(FALSE), S_OK);
    EXPECT_EQ(m_device->OpenPins(), 1u);
}

TEST_F(AudioPinTest, LoopedStreamingAsksForTheLoopedInterface) {
    m_device->ChangeDescriptor([](auto& d) {
        d.pins[0].interfaces.push_back(
            Identifier(KSINTERFACESETID_Standard, KSINTERFACE_STANDARD_LOOPED_STREAMING));
    });
    auto pin = RenderPin();
    const WAVEFORMATEXTENSIBLE format = Extensible(2, 32, 44100);
    pin->SetFormat(&format.Format);
    EXPECT_EQ(pin->Instantiate(TRUE), S_OK);
    ULONG interfaceId = 0;
    m_device->LatestConnect(nullptr, &interfaceId);
    EXPECT_EQ(interfaceId, static_cast<ULONG>(KSINTERFACE_STANDARD_LOOPED_STREAMING));
}

TEST_F(AudioPinTest, RefusedCreationBecomesAnHresult) {
    SetTraceLevel(1);
    auto pin = RenderPin();
    // The device refuses a format outside its range (16 bits) ...
    const WAVEFORMATEXTENSIBLE sixteen = Extensible(2, 16, 44100);
    pin->SetFormat(&sixteen.Format);
    EXPECT_EQ(pin->Instantiate(FALSE), static_cast<HRESULT>(0x80070491u));
    // ... and the looped interface it does not offer.
    const WAVEFORMATEXTENSIBLE format = Extensible(2, 32, 44100);
    pin->SetFormat(&format.Format);
    EXPECT_EQ(pin->Instantiate(TRUE), static_cast<HRESULT>(0x80070491u));
    // Win32 codes are mapped, negative codes kept.
    sim::FailNext(sim::Call::KsCreatePin, ERROR_ACCESS_DENIED);
    EXPECT_EQ(pin->Instantiate(FALSE), static_cast<HRESULT>(0x80070005u));
    sim::FailNext(sim::Call::KsCreatePin, 0xC0000182u);
    EXPECT_EQ(pin->Instantiate(FALSE), static_cast<HRESULT>(0xC0000182u));
    EXPECT_EQ(pin->GetHandle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(m_device->OpenPins(), 0u);
    EXPECT_EQ(Trace(), (std::vector<std::string>{
                           "Failed to instantiate pin. hr=0x80070491",
                           "Failed to instantiate pin. hr=0x80070491",
                           "Failed to instantiate pin. hr=0x80070005",
                           "Failed to instantiate pin. hr=0xc0000182",
                       }));
}

TEST_F(AudioPinTest, StateModeWritesAndPosition) {
    auto pin = CreatedPin();
    EXPECT_EQ(pin->SetDeviceMode(DEVICE_MODE_PCM), TRUE);
    EXPECT_EQ(pin->SetState(KSSTATE_RUN), S_OK);
    EXPECT_EQ(pin->GetState(), KSSTATE_RUN);

    // A failed state request leaves the recorded state alone.
    SetTraceLevel(1);
    sim::FailNext(sim::Call::DeviceIoControl, ERROR_GEN_FAILURE);
    EXPECT_EQ(pin->SetState(KSSTATE_PAUSE), E_FAIL);
    EXPECT_EQ(pin->GetState(), KSSTATE_RUN);
    EXPECT_EQ(Trace(), (std::vector<std::string>{"Failed to Set Pin State"}));

    Packet first(Frames(32, 1)), second(Frames(16, 2));
    EXPECT_EQ(pin->WriteData(&first.packet.Header, &first.packet.Overlapped), S_OK);
    EXPECT_EQ(pin->WriteData(&second.packet.Header, &second.packet.Overlapped), S_OK);
    EXPECT_EQ(m_device->PendingWrites(), 2u);
    EXPECT_EQ(first.Wait(0), WAIT_TIMEOUT);
    KSAUDIO_POSITION position{};
    EXPECT_EQ(pin->GetPosition(&position), S_OK);
    EXPECT_EQ(position.PlayOffset, 0u);
    EXPECT_EQ(position.WriteOffset, 48u * 8);

    EXPECT_EQ(m_device->CompleteWrites(1), 1u);
    EXPECT_EQ(first.Wait(0), WAIT_OBJECT_0);
    EXPECT_EQ(second.Wait(0), WAIT_TIMEOUT);
    EXPECT_EQ(pin->GetPosition(&position), S_OK);
    // Completed, but still in the stepped device until the next write arrives.
    EXPECT_EQ(position.PlayOffset, 0u);
    EXPECT_EQ(m_device->CompleteWrites(5), 1u);
    EXPECT_EQ(second.Wait(0), WAIT_OBJECT_0);

    auto expected = first.data;
    expected.insert(expected.end(), second.data.begin(), second.data.end());
    EXPECT_EQ(m_device->Audio(), expected);
    EXPECT_EQ(m_device->WritePackets(), 2u);
    EXPECT_EQ(pin->GetPosition(nullptr), E_INVALIDARG);

    // Closing stops the pin and cancels what is still pending.
    Packet third(Frames(8, 3));
    EXPECT_EQ(pin->WriteData(&third.packet.Header, &third.packet.Overlapped), S_OK);
    pin->ClosePin();
    EXPECT_EQ(third.Wait(0), WAIT_OBJECT_0);
    EXPECT_NE(third.packet.Overlapped.Internal, 0u);
    EXPECT_EQ(m_device->Audio(), expected);
    EXPECT_EQ(m_device->ModeCodes(), (std::vector<ULONG>{DEVICE_MODE_PCM}));
    EXPECT_EQ(m_device->States(), (std::vector<KSSTATE>{KSSTATE_RUN, KSSTATE_STOP}));
    EXPECT_EQ(pin->GetState(), KSSTATE_STOP);
}

TEST_F(AudioPinTest, FailuresOfWritesAndPositionReads) {
    SetTraceLevel(1);
    auto pin = CreatedPin();
    // The pin is still stopped: the device refuses stream data.
    Packet packet(Frames(4, 0));
    EXPECT_EQ(pin->WriteData(&packet.packet.Header, &packet.packet.Overlapped), E_FAIL);
    EXPECT_EQ(packet.packet.Header.DataUsed, 32u) << "the packet is not touched";
    pin->ClosePin();
    KSAUDIO_POSITION position{};
    EXPECT_EQ(pin->GetPosition(&position), E_FAIL);
    EXPECT_EQ(Trace(), (std::vector<std::string>{
                           "CKsPin::WriteData's DeviceIoControl Failed!  Error=0x0x000016",
                           "CKsIrpTarget::SyncIoctl Invalid Handle",
                           "Failed to retrieve audio stream position - 0x80004005",
                       }));
}

TEST_F(AudioPinTest, WritesAllocateNothingOnTheCallersThread) {
    auto pin = CreatedPin();
    pin->SetState(KSSTATE_RUN);
    std::vector<std::unique_ptr<Packet>> packets;
    for (int i = 0; i < 8; ++i)
        packets.push_back(std::make_unique<Packet>(Frames(64, static_cast<BYTE>(i))));
    const long before = testing_support::ThreadAllocationCount();
    for (auto& p : packets)
        EXPECT_EQ(pin->WriteData(&p->packet.Header, &p->packet.Overlapped), S_OK);
    EXPECT_EQ(testing_support::ThreadAllocationCount(), before);
    EXPECT_EQ(m_device->CompleteWrites(8), 8u);
}

TEST_F(AudioPinTest, TracesConstructionAndDestruction) {
    SetTraceLevel(6);
    RenderPin().reset();
    const auto trace = Trace();
    ASSERT_FALSE(trace.empty());
    EXPECT_EQ(trace.front(), "CKsPin::CKsPin() Enter");
    EXPECT_TRUE(Traced("CKsAudPin::CKsAudPin() Enter"));
    EXPECT_TRUE(Traced("CKsAudPin::Init Leave, returning 00000000"));
    EXPECT_TRUE(Traced("CKsAudPin::CKsAudPin Leave, returning 00000000"));
    EXPECT_TRUE(Traced("CKsAudRenPin::CKsAudRenPin Leave, returning 00000000"));
    EXPECT_TRUE(Traced("CKsAudRenPin::~CKsAudRenPin() Leave"));
    EXPECT_TRUE(Traced("CKsAudPin::~CKsAudPin() Leave"));
    EXPECT_EQ(trace.back(), "CKsPin::~CKsPin() Leave");
}

// The render pin on the process-wide Larkspur, as the driver will use it: real-time clock.
TEST_F(AudioPinTest, EndToEndRenderPinOnTheDefaultDevice) {
    auto device = sim::larkspur::DefaultDevice();
    device->ClearRecord();
    BoundFilter filter(device->OpenFilterHandle());
    HRESULT hr = E_UNEXPECTED;
    CKsAudRenPin pin(&filter, 0, &hr);
    ASSERT_EQ(hr, S_OK);
    const WAVEFORMATEXTENSIBLE format = Extensible(2, 32, 44100);
    ASSERT_TRUE(pin.IsFormatSupported(&format.Format));
    ASSERT_EQ(pin.SetFormat(&format.Format), S_OK);
    ASSERT_EQ(pin.Instantiate(FALSE), S_OK);
    EXPECT_TRUE(pin.SetDeviceMode(DEVICE_MODE_PCM));
    ASSERT_EQ(pin.SetState(KSSTATE_RUN), S_OK);

    std::vector<BYTE> sent;
    for (int i = 0; i < 4; ++i) {
        Packet packet(Frames(64, static_cast<BYTE>(17 * i)));
        ASSERT_EQ(pin.WriteData(&packet.packet.Header, &packet.packet.Overlapped), S_OK);
        ASSERT_EQ(packet.Wait(10000), WAIT_OBJECT_0);
        EXPECT_EQ(packet.packet.Overlapped.Internal, 0u);
        sent.insert(sent.end(), packet.data.begin(), packet.data.end());
    }
    // The last frames leave the device's buffer a moment after their write completed.
    KSAUDIO_POSITION position{};
    for (int tries = 0; tries < 1000 && position.PlayOffset < sent.size(); ++tries) {
        EXPECT_EQ(pin.GetPosition(&position), S_OK);
        Sleep(1);
    }
    EXPECT_EQ(position.PlayOffset, sent.size());
    EXPECT_EQ(position.WriteOffset, sent.size());
    EXPECT_TRUE(pin.SetDeviceMode(DEVICE_MODE_STREAM_END));
    pin.ClosePin();

    EXPECT_EQ(device->ModeCodes(), (std::vector<ULONG>{DEVICE_MODE_PCM, DEVICE_MODE_STREAM_END}));
    EXPECT_EQ(device->States(), (std::vector<KSSTATE>{KSSTATE_RUN, KSSTATE_STOP}));
    EXPECT_EQ(device->Audio(), sent);
    EXPECT_EQ(device->WritePackets(), 4u);
    EXPECT_EQ(device->OpenPins(), 0u);
}

} // namespace
