// Hostile device replies: counts and sizes beyond what a KS filter has, replies shorter than the value
// asked for, and values no enumeration names.
#include "ks/audio_filter.h"
#include "ks/pin.h"
#include "sim/larkspur/device.h"
#include "tests/ks_support.h"

namespace {

using ks_test::BoundFilter;
using ks_test::KsTest;
using sim::larkspur::Device;

class BoundAudioFilter : public CKsAudRenFilter {
public:
    explicit BoundAudioFilter(HANDLE handle) : CKsAudRenFilter(TEXT("\\\\?\\usb#larkspur#test"), &m_result) {
        m_handle = handle;
    }

private:
    HRESULT m_result;
};

std::vector<BYTE> Word(ULONG value, size_t bytes = 4) {
    std::vector<BYTE> reply(bytes);
    std::memcpy(reply.data(), &value, bytes < 4 ? bytes : 4);
    return reply;
}

class KsRepliesTest : public KsTest {
protected:
    void SetUp() override {
        KsTest::SetUp();
        m_device = Device::Create();
    }
    void ChangePin(ULONG id, const std::function<void(sim::larkspur::PinDescriptor&)>& change) {
        m_device->ChangeDescriptor([&](sim::larkspur::FilterDescriptor& d) { change(d.pins[id]); });
    }
    std::shared_ptr<Device> m_device;
};

TEST_F(KsRepliesTest, APinCountBeyondAHandfulIsMalformed) {
    SetTraceLevel(1);
    for (const auto& reply : {Word(0xFFFFFFFFu), Word(KS_MAX_PIN_COUNT + 1), Word(0x100000, 3)}) {
        m_device->ChangeDescriptor([&](auto& d) { d.rawPinCount = reply; });
        BoundAudioFilter audio(m_device->OpenFilterHandle());
        EXPECT_EQ(audio.EnumeratePins(), E_FAIL);
        EXPECT_TRUE(audio.m_listPins.IsEmpty());
        BoundFilter plain(m_device->OpenFilterHandle());
        EXPECT_EQ(plain.EnumeratePins(), E_FAIL);
        EXPECT_TRUE(plain.m_listPins.IsEmpty());
    }
    EXPECT_TRUE(Traced("Pin count 4294967295 is not credible"));
    EXPECT_TRUE(Traced("Pin property 1: a reply of 3 bytes for a 4-byte value"))
        << "three bytes are no count";

    m_device->ChangeDescriptor([&](auto& d) { d.rawPinCount = Word(2); });
    BoundAudioFilter audio(m_device->OpenFilterHandle());
    EXPECT_EQ(audio.EnumeratePins(), S_OK) << "a credible count still works";
    EXPECT_EQ(audio.m_listRenderSinkPins.GetCount(), 1);
}

TEST_F(KsRepliesTest, AHugeSizeAnswerAllocatesNothing) {
    SetTraceLevel(1);
    BoundFilter filter(m_device->OpenFilterHandle());
    for (ULONG size : {KS_MAX_PROPERTY_SIZE + 1, 0x40000000u, 0xFFFFFFFFu}) {
        ChangePin(0, [&](auto& pin) { pin.claimedSizes[KSPROPERTY_PIN_DATARANGES] = size; });
        PKSMULTIPLE_ITEM items = nullptr;
        EXPECT_EQ(filter.GetPinPropertyMulti(0, KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES, &items), E_FAIL);
        EXPECT_EQ(items, nullptr);
    }
    EXPECT_TRUE(Traced("Pin property 3: a reply of 1073741824 bytes is not credible"));

    // A pin described through such replies lacks the list and says so.
    HRESULT hr = E_FAIL;
    CKsPin pin(&filter, 0, &hr);
    EXPECT_EQ(hr, S_FALSE);
    EXPECT_EQ(pin.GetDescriptor().DataRangesCount, 0u);
    EXPECT_EQ(pin.GetDescriptor().pmiDataRanges, nullptr);

    // A list is judged by its own header: a node count its reply cannot hold is malformed.
    std::vector<BYTE> nodes = Word(8);
    const std::vector<BYTE> count = Word(0x40000000u);
    nodes.insert(nodes.end(), count.begin(), count.end());
    m_device->ChangeDescriptor([&](auto& d) { d.rawNodes = nodes; });
    EXPECT_EQ(filter.EnumerateNodes(), E_FAIL);
    EXPECT_TRUE(filter.m_listNodes.IsEmpty());
}

TEST_F(KsRepliesTest, ARepliesShorterThanTheFixedValueAskedForIsMalformed) {
    BoundFilter filter(m_device->OpenFilterHandle());
    ChangePin(0, [](auto& pin) {
        pin.rawReplies[KSPROPERTY_PIN_DATAFLOW] = Word(KSPIN_DATAFLOW_IN, 2);
        pin.rawReplies[KSPROPERTY_PIN_CATEGORY] = std::vector<BYTE>(15, 0x11);
        pin.rawReplies[KSPROPERTY_PIN_NAME] = {'A', 0, 0, 0};
    });
    ULONG flow = 77;
    EXPECT_EQ(filter.GetPinPropertySimple(0, KSPROPSETID_Pin, KSPROPERTY_PIN_DATAFLOW, &flow, sizeof flow),
              E_FAIL);
    ULONG returned = 0;
    EXPECT_EQ(filter.GetPinPropertySimple(0, KSPROPSETID_Pin, KSPROPERTY_PIN_DATAFLOW, &flow, sizeof flow,
                                          &returned),
              S_OK)
        << "a caller that takes a shorter value asks for its length";
    EXPECT_EQ(returned, 2u);

    HRESULT hr = E_FAIL;
    CKsPin pin(&filter, 0, &hr);
    EXPECT_EQ(hr, S_FALSE);
    EXPECT_EQ(pin.GetDescriptor().DataFlow, 0u);
    EXPECT_EQ(pin.GetCategory(), GUID_NULL);
    EXPECT_EQ(pin.GetName()[0], u'A') << "a name is as long as it is";

    // A created pin's position: a short reply is no position.
    m_device->ChangeDescriptor([](auto& d) { d.rawPosition = std::vector<BYTE>(8, 0x22); });
    HRESULT pinResult = E_FAIL;
    CKsAudRenPin render(&filter, 0, &pinResult);
    WAVEFORMATEX format{WAVE_FORMAT_PCM, 2, 44100, 44100 * 8, 8, 32, 0};
    ASSERT_EQ(render.SetFormat(&format), S_OK);
    ASSERT_EQ(render.Instantiate(FALSE), S_OK);
    KSAUDIO_POSITION position{};
    EXPECT_EQ(render.GetPosition(&position), E_FAIL);
}

TEST_F(KsRepliesTest, AReplyLargerThanItsBufferIsMalformed) {
    auto target = std::make_shared<ks_test::ScriptedTarget>(
        [](DWORD, const void*, DWORD, void*, DWORD outSize, DWORD* returned, OVERLAPPED*) {
            *returned = outSize + 1;
            return static_cast<DWORD>(ERROR_SUCCESS);
        });
    HANDLE handle = sim::InsertObject(target);
    BYTE out[8];
    ULONG returned = 5;
    EXPECT_EQ(CKsIrpTarget::SyncIoctl(handle, IOCTL_KS_PROPERTY, nullptr, 0, out, sizeof out, &returned),
              E_FAIL);
    EXPECT_EQ(returned, 0u);
    CloseHandle(handle);
}

TEST_F(KsRepliesTest, ValuesNoEnumerationNamesMakeNoKindOfPin) {
    SetTraceLevel(5);
    m_device->ChangeDescriptor([](auto& d) {
        d.pins[0].rawReplies[KSPROPERTY_PIN_COMMUNICATION] = Word(213);
        d.pins[0].rawReplies[KSPROPERTY_PIN_DATAFLOW] = Word(7);
        d.pins[1].rawReplies[KSPROPERTY_PIN_DATAFLOW] = Word(7);
        d.pins[1].communication = KSPIN_COMMUNICATION_SINK;
    });
    BoundFilter filter(m_device->OpenFilterHandle());
    EXPECT_EQ(filter.EnumeratePins(), S_OK);
    EXPECT_EQ(filter.m_listPins.GetCount(), 2);
    EXPECT_TRUE(filter.m_listRenderSinkPins.IsEmpty()) << "a data flow of 7 is not in";
    EXPECT_EQ(filter.m_listCaptureSinkPins.GetCount(), 1);
    EXPECT_TRUE(Traced("Pin communication type not recognized"));

    CKsPin* odd = nullptr;
    CKsListNode* position = filter.m_listPins.GetHeadPosition();
    filter.m_listPins.GetNext(position, &odd);
    ASSERT_NE(odd, nullptr);
    EXPECT_EQ(odd->GetDescriptor().Communication, 213u);
    EXPECT_EQ(odd->GetDescriptor().DataFlow, 7u);
    KSPIN_COMMUNICATION communication = KSPIN_COMMUNICATION_NONE;
    KSPIN_DATAFLOW flow = KSPIN_DATAFLOW_OUT;
    EXPECT_EQ(odd->GetCommunication(&communication), E_FAIL);
    EXPECT_EQ(odd->GetDataFlow(&flow), E_FAIL);
    EXPECT_EQ(communication, KSPIN_COMMUNICATION_NONE);
    EXPECT_EQ(flow, KSPIN_DATAFLOW_OUT);

    // The audio filter passes over both: neither is a render pin, so it has no pin to offer.
    BoundAudioFilter audio(m_device->OpenFilterHandle());
    EXPECT_EQ(audio.EnumeratePins(), E_FAIL);
    EXPECT_TRUE(audio.m_listRenderSinkPins.IsEmpty());
}

} // namespace
