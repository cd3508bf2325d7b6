// Audio filters: which audio pin each pin type becomes, and how the render filter finds and creates a
// render pin for a wave format.
#include "ks/audio_filter.h"
#include "tests/filter_support.h"

namespace {

using namespace filter_test;
using testing_support::FailOneAllocationAfter;
using testing_support::ResetAllocationFailures;
using Ids = std::vector<ULONG>;

WAVEFORMATEXTENSIBLE Stereo32(DWORD rate) {
    WAVEFORMATEXTENSIBLE format{};
    format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    format.Format.nChannels = 2;
    format.Format.nSamplesPerSec = rate;
    format.Format.wBitsPerSample = 32;
    format.Format.nBlockAlign = 8;
    format.Format.nAvgBytesPerSec = rate * 8;
    format.Format.cbSize = 22;
    format.Samples.wValidBitsPerSample = 32;
    format.dwChannelMask = SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT;
    format.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    return format;
}

template <typename Filter>
std::unique_ptr<Filter> OpenAudio(const std::u16string& path, HRESULT pins = S_OK) {
    HRESULT hr = E_UNEXPECTED;
    auto filter = std::make_unique<Filter>(path.c_str(), &hr);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(filter->Instantiate(), S_OK);
    EXPECT_EQ(filter->EnumeratePins(), pins);
    return filter;
}

using AudioFilterTest = MachineTest;

TEST_F(AudioFilterTest, TheLarkspurFilterHasOneRenderPinAndSkipsItsBridge) {
    SetTraceLevel(1);
    auto filter = OpenAudio<CKsAudRenFilter>(Attach(Device::Create(), 1));
    EXPECT_EQ(filter->m_eFilterType, KsFilterTypeAudioRender);
    EXPECT_EQ(PinIds(filter->m_listPins), Ids{0});
    EXPECT_EQ(PinIds(filter->m_listRenderSinkPins), Ids{0});
    CKsPin* pin = nullptr;
    CKsListNode* position = filter->m_listPins.GetHeadPosition();
    filter->m_listPins.GetNext(position, &pin);
    EXPECT_NE(dynamic_cast<CKsAudRenPin*>(pin), nullptr);
    EXPECT_EQ(pin->GetType(), KsPinTypeAudioRender);
    EXPECT_TRUE(Traced("Pin communication value doesn't make sense"));
}

TEST_F(AudioFilterTest, EachPinTypeBecomesTheMatchingAudioPin) {
    auto filter =
        OpenAudio<CKsAudCapFilter>(Attach(DeviceWithPins({
                                              Pin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_OUT),   // 0
                                              Pin(KSPIN_COMMUNICATION_BOTH, KSPIN_DATAFLOW_IN),    // 1
                                              Pin(KSPIN_COMMUNICATION_SOURCE, KSPIN_DATAFLOW_OUT), // 2
                                              Pin(KSPIN_COMMUNICATION_NONE, KSPIN_DATAFLOW_IN),    // 3
                                              Pin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN),    // 4
                                          }),
                                          1));
    EXPECT_EQ(filter->m_eFilterType, KsFilterTypeAudioCapture);
    EXPECT_EQ(PinIds(filter->m_listPins), (Ids{0, 1, 2, 4}));
    EXPECT_EQ(PinIds(filter->m_listRenderSinkPins), (Ids{1, 4}));
    EXPECT_EQ(PinIds(filter->m_listCaptureSourcePins), Ids{1});
    EXPECT_EQ(PinIds(filter->m_listCaptureSinkPins), Ids{0});
    EXPECT_EQ(PinIds(filter->m_listRenderSourcePins), Ids{2});
    EXPECT_TRUE(filter->m_listNoCommPins.IsEmpty());

    const KsPinType expected[] = {KsPinTypeAudioCapture, KsPinTypeGeneric, KsPinTypeGeneric,
                                  KsPinTypeAudioRender};
    CKsListNode* position = filter->m_listPins.GetHeadPosition();
    CKsPin* pin = nullptr;
    for (KsPinType type : expected) {
        ASSERT_TRUE(filter->m_listPins.GetNext(position, &pin));
        EXPECT_NE(dynamic_cast<CKsAudPin*>(pin), nullptr);
        EXPECT_EQ(pin->GetType(), type);
    }
}

TEST_F(AudioFilterTest, PinTypesThatCannotBeReadOrBuiltAreSkipped) {
    SetTraceLevel(1);
    PinDescriptor noCommunication = Pin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN);
    noCommunication.refusedProperties[KSPROPERTY_PIN_COMMUNICATION] = ERROR_NOT_FOUND;
    PinDescriptor noFlow = Pin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN);
    noFlow.refusedProperties[KSPROPERTY_PIN_DATAFLOW] = ERROR_NOT_FOUND;
    PinDescriptor notStreaming = Pin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN);
    notStreaming.interfaces = {sim::larkspur::Identifier(KSINTERFACESETID_Standard, 7)};
    auto filter =
        OpenAudio<CKsAudRenFilter>(Attach(DeviceWithPins({noCommunication, noFlow, notStreaming,
                                                          Pin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN)}),
                                          1));
    EXPECT_EQ(PinIds(filter->m_listPins), Ids{3});
    EXPECT_EQ(PinIds(filter->m_listRenderSinkPins), Ids{3});
    EXPECT_TRUE(Traced("Failed to retrieve pin property KSPROPERTY_PIN_COMMUNICATION"));
    EXPECT_TRUE(Traced("Failed to retrieve pin property KSPROPERTY_PIN_DATAFLOW"));
    EXPECT_TRUE(Traced("No standard streaming interfaces on the pin"));
}

TEST_F(AudioFilterTest, AFilterWithoutStreamingPinsIsRefused) {
    SetTraceLevel(1);
    OpenAudio<CKsAudRenFilter>(Attach(DeviceWithPins({Pin(KSPIN_COMMUNICATION_NONE, KSPIN_DATAFLOW_IN),
                                                      Pin(KSPIN_COMMUNICATION_BRIDGE, KSPIN_DATAFLOW_OUT)}),
                                      1),
                               E_FAIL);
    EXPECT_TRUE(Traced("No valid pins found on the filter"));

    sim::ClearDebugOutput();
    const std::u16string path = Attach(Device::Create(), 2);
    HRESULT hr = E_UNEXPECTED;
    CKsAudRenFilter filter(path.c_str(), &hr);
    ASSERT_EQ(filter.Instantiate(), S_OK);
    sim::FailNext(sim::Call::DeviceIoControl, ERROR_GEN_FAILURE);
    EXPECT_EQ(filter.EnumeratePins(), E_FAIL);
    EXPECT_TRUE(Traced("Failed to retrieve count of pins in audio filter"));
    EXPECT_TRUE(Traced("No valid pins found on the filter"));
}

// Whatever allocation fails, the filter ends with its pins complete or with no pins at all.
TEST_F(AudioFilterTest, RunningOutOfMemoryDeletesEveryPin) {
    SetTraceLevel(1);
    const std::u16string path = Attach(DeviceWithPins({Pin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN),
                                                       Pin(KSPIN_COMMUNICATION_BOTH, KSPIN_DATAFLOW_IN),
                                                       Pin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN)}),
                                       1);
    bool sawCreate = false, sawAdd = false, sawClassify = false;
    bool completed = false;
    for (long n = 0; n < 200; ++n) {
        HRESULT hr = E_UNEXPECTED;
        CKsAudRenFilter filter(path.c_str(), &hr);
        ASSERT_EQ(filter.Instantiate(), S_OK);
        // One request first: the filter's request block is then reused by every later one.
        ULONG pins = 0;
        ASSERT_EQ(filter.GetPinPropertySimple(0, KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, &pins, sizeof pins),
                  S_OK);
        sim::ClearDebugOutput();
        FailOneAllocationAfter(n);
        hr = filter.EnumeratePins();
        const bool failed = testing_support::FailedAllocations() > 0;
        ResetAllocationFailures();
        if (!failed) {
            EXPECT_EQ(hr, S_OK);
            EXPECT_EQ(PinIds(filter.m_listRenderSinkPins), (Ids{0, 1, 2}));
            completed = true;
            break;
        }
        if (hr == E_OUTOFMEMORY) {
            EXPECT_TRUE(Traced("Ran out of memory enumerating pins - deleting all pins")) << n;
            for (const CKsList* list :
                 {&filter.m_listPins, &filter.m_listRenderSinkPins, &filter.m_listCaptureSourcePins})
                EXPECT_TRUE(list->IsEmpty()) << n;
            const bool create = Traced("Failed to create audio pin");
            const bool add = Traced("Unable to allocate list entry to save pin in");
            sawCreate |= create;
            sawAdd |= add;
            sawClassify |= !create && !add;
        } else {
            // A pin whose own construction ran out of memory is dropped; the others stay.
            EXPECT_EQ(hr, S_OK) << n;
            EXPECT_EQ(filter.m_listPins.GetCount(), 2) << n;
        }
    }
    EXPECT_TRUE(completed) << "an allocation kept failing";
    EXPECT_TRUE(sawCreate);
    EXPECT_TRUE(sawAdd);
    EXPECT_TRUE(sawClassify);
}

class RenderPinTest : public MachineTest {
protected:
    // Two render pins: pin 0 takes 16 bits only, pin 1 takes 16 to 32 bits.
    void SetUp() override {
        MachineTest::SetUp();
        m_device = DeviceWithPins({Pin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN, 16, 16),
                                   Pin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN)});
        m_filter = OpenAudio<CKsAudRenFilter>(Attach(m_device, 1));
    }
    void TearDown() override {
        m_filter.reset();
        EXPECT_EQ(m_device->OpenPins(), 0u);
        MachineTest::TearDown();
    }
    // The device now takes 32 bits up to 384000 Hz on both pins, which the filter's copies of the
    // ranges do not know.
    void WidenDeviceRanges() {
        m_device->ChangeDescriptor([](sim::larkspur::FilterDescriptor& d) {
            for (auto& pin : d.pins)
                pin.dataRanges = {AudioDataRange(2, 16, 32, 44100, 384000)};
        });
    }
    CKsAudPin* PinAt(ULONG index) {
        CKsListNode* position = m_filter->m_listRenderSinkPins.GetHeadPosition();
        CKsAudPin* pin = nullptr;
        for (ULONG i = 0; i <= index; ++i)
            m_filter->m_listRenderSinkPins.GetNext(position, &pin);
        return pin;
    }

    std::shared_ptr<Device> m_device;
    std::unique_ptr<CKsAudRenFilter> m_filter;
    WAVEFORMATEXTENSIBLE m_format = Stereo32(96000);
};

TEST_F(RenderPinTest, TheFirstPinThatClaimsTheFormatIsCreated) {
    SetTraceLevel(5);
    const auto* format = &m_format.Format;
    EXPECT_EQ(m_filter->FindViablePin(format), PinAt(1));
    CKsAudPin* pin = m_filter->CreateRenderPin(format, FALSE);
    ASSERT_EQ(pin, PinAt(1));
    EXPECT_TRUE(CKsIrpTarget::IsValidHandle(pin->GetHandle()));
    EXPECT_EQ(m_device->OpenPins(), 1u);
    WAVEFORMATEXTENSIBLE sent{};
    ULONG interfaceId = 99;
    ASSERT_TRUE(m_device->LatestConnect(&sent, &interfaceId));
    EXPECT_EQ(sent.Format.nSamplesPerSec, 96000u);
    EXPECT_EQ(interfaceId, static_cast<ULONG>(KSINTERFACE_STANDARD_STREAMING));
    bool announced = false;
    for (const std::string& line : Trace())
        announced |= line.rfind("Successfully instantiated Render Pin.  Handle = 0x", 0) == 0;
    EXPECT_TRUE(announced);
}

TEST_F(RenderPinTest, WithoutAClaimEveryPinIsTriedInOrder) {
    SetTraceLevel(4);
    WidenDeviceRanges();
    // No pin claims 384000 Hz; pin 0 cannot take the format for want of memory, pin 1 takes it.
    WAVEFORMATEXTENSIBLE format = Stereo32(384000);
    FailOneAllocationAfter(0);
    CKsAudPin* pin = m_filter->CreateRenderPin(&format.Format, FALSE);
    ResetAllocationFailures();
    EXPECT_TRUE(Traced("Could not find a Render pin that supports the given wave format"));
    EXPECT_EQ(pin, PinAt(1));
    EXPECT_EQ(m_device->OpenPins(), 1u);
}

TEST_F(RenderPinTest, AClaimingPinThatCannotBeCreatedFallsBackToTheHeadOfTheList) {
    SetTraceLevel(1);
    WidenDeviceRanges();
    sim::FailNext(sim::Call::KsCreatePin, ERROR_GEN_FAILURE);
    CKsAudPin* pin = m_filter->CreateRenderPin(&m_format.Format, FALSE);
    EXPECT_TRUE(Traced("Failed to instantiate Render Pin"));
    EXPECT_EQ(pin, PinAt(0)); // pin 1 claimed the format; pin 0 is first in the list
    EXPECT_EQ(m_device->OpenPins(), 1u);
}

TEST_F(RenderPinTest, NoRenderPinGivesNull) {
    // Both pins refuse on the device: no claim works, no fallback either.
    WAVEFORMATEXTENSIBLE format = Stereo32(384000);
    EXPECT_EQ(m_filter->CreateRenderPin(&format.Format, FALSE), nullptr);
    EXPECT_EQ(m_device->OpenPins(), 0u);

    SetTraceLevel(4);
    auto capture = OpenAudio<CKsAudRenFilter>(
        Attach(DeviceWithPins({Pin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_OUT)}), 2));
    EXPECT_TRUE(capture->m_listRenderSinkPins.IsEmpty());
    EXPECT_EQ(capture->CreateRenderPin(&m_format.Format, FALSE), nullptr);
    EXPECT_TRUE(Traced("Could not find a Render pin that supports the given wave format"));
    EXPECT_EQ(capture->CreateRenderPin(nullptr, FALSE), nullptr);
}

} // namespace
