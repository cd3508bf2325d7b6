// CKsPin describing itself through the filter's pin property reads, against the simulated Larkspur.
#include "ks/pin.h"
#include "sim/larkspur/device.h"
#include "tests/ks_support.h"

#include <cstring>

namespace {

using ks_test::BoundFilter;
using ks_test::KsTest;
using sim::larkspur::Device;
using testing_support::FailOneAllocationAfter;

std::vector<BYTE> Bytes(const void* data, size_t size) {
    const BYTE* bytes = static_cast<const BYTE*>(data);
    return std::vector<BYTE>(bytes, bytes + size);
}

// A KSMULTIPLE_ITEM reply with the given header over the given items.
std::vector<BYTE> MultiReply(ULONG size, ULONG count, const std::vector<BYTE>& items) {
    std::vector<BYTE> reply = Bytes(&size, 4);
    auto more = Bytes(&count, 4);
    reply.insert(reply.end(), more.begin(), more.end());
    reply.insert(reply.end(), items.begin(), items.end());
    return reply;
}

class PinTest : public KsTest {
protected:
    void SetUp() override {
        KsTest::SetUp();
        m_device = Device::Create();
    }
    void TearDown() override {
        m_filter.reset();
        KsTest::TearDown();
    }
    BoundFilter& Filter() {
        if (!m_filter)
            m_filter = std::make_unique<BoundFilter>(m_device->OpenFilterHandle());
        return *m_filter;
    }
    void ChangePin(ULONG id, const std::function<void(sim::larkspur::PinDescriptor&)>& change) {
        m_device->ChangeDescriptor([&](sim::larkspur::FilterDescriptor& d) { change(d.pins[id]); });
    }

    std::shared_ptr<Device> m_device;
    std::unique_ptr<BoundFilter> m_filter;
};

TEST_F(PinTest, PinPropertyReadsSendAKspPinForThePin) {
    ULONG flow = 0;
    EXPECT_EQ(Filter().GetPinPropertySimple(1, KSPROPSETID_Pin, KSPROPERTY_PIN_DATAFLOW, &flow, sizeof flow),
              S_OK);
    EXPECT_EQ(flow, static_cast<ULONG>(KSPIN_DATAFLOW_OUT));
    EXPECT_EQ(Filter().GetPinPropertySimple(9, KSPROPSETID_Pin, KSPROPERTY_PIN_DATAFLOW, &flow, sizeof flow),
              E_FAIL);

    // A 40-byte reply is read into a buffer of exactly 40 bytes.
    ChangePin(0, [](auto& pin) {
        pin.rawReplies[KSPROPERTY_PIN_MEDIUMS] = MultiReply(40, 1, std::vector<BYTE>(32, 7));
    });
    PKSMULTIPLE_ITEM items = nullptr;
    ULONG size = 0;
    EXPECT_EQ(Filter().GetPinPropertyMulti(0, KSPROPSETID_Pin, KSPROPERTY_PIN_MEDIUMS, &items, &size), S_OK);
    ASSERT_NE(items, nullptr);
    EXPECT_EQ(size, 40u);
    EXPECT_EQ(items->Size, 40u);
    EXPECT_EQ(reinterpret_cast<BYTE*>(items)[39], 7);
    delete[] reinterpret_cast<BYTE*>(items);

    // Size queries answered with ERROR_INSUFFICIENT_BUFFER, and requests answered as pending, work alike.
    m_device->SetSizeQueryError(ERROR_INSUFFICIENT_BUFFER);
    m_device->SetPendingProperties(true);
    items = nullptr;
    EXPECT_EQ(Filter().GetPinPropertyMulti(0, KSPROPSETID_Pin, KSPROPERTY_PIN_MEDIUMS, &items), S_OK);
    ASSERT_NE(items, nullptr);
    EXPECT_EQ(items->Count, 1u);
    delete[] reinterpret_cast<BYTE*>(items);

    FailOneAllocationAfter(0);
    items = nullptr;
    EXPECT_EQ(Filter().GetPinPropertyMulti(0, KSPROPSETID_Pin, KSPROPERTY_PIN_MEDIUMS, &items),
              E_OUTOFMEMORY);
    EXPECT_EQ(items, nullptr);
}

TEST_F(PinTest, ReadsOnAFilterNeverOpenedFailWithoutWritingThePointer) {
    BoundFilter closed(INVALID_HANDLE_VALUE);
    ULONG value = 5;
    EXPECT_EQ(closed.GetPinPropertySimple(0, KSPROPSETID_Pin, KSPROPERTY_PIN_DATAFLOW, &value, 4), E_FAIL);
    auto* marker = reinterpret_cast<PKSMULTIPLE_ITEM>(&value);
    PKSMULTIPLE_ITEM items = marker;
    EXPECT_EQ(closed.GetPinPropertyMulti(0, KSPROPSETID_Pin, KSPROPERTY_PIN_MEDIUMS, &items), E_FAIL);
    EXPECT_EQ(items, marker);
}

TEST_F(PinTest, DescribesTheLarkspurRenderPin) {
    HRESULT hr = E_FAIL;
    CKsPin pin(&Filter(), 0, &hr);
    EXPECT_EQ(hr, S_OK);
    const KsPinDescriptor& d = pin.GetDescriptor();
    KSPIN_COMMUNICATION communication{};
    KSPIN_DATAFLOW flow{};
    EXPECT_EQ(pin.GetCommunication(&communication), S_OK);
    EXPECT_EQ(pin.GetDataFlow(&flow), S_OK);
    EXPECT_EQ(communication, KSPIN_COMMUNICATION_SINK);
    EXPECT_EQ(flow, KSPIN_DATAFLOW_IN);
    ASSERT_EQ(d.InterfacesCount, 1u);
    EXPECT_EQ(d.Interfaces[0].Set, KSINTERFACESETID_Standard);
    EXPECT_EQ(reinterpret_cast<const BYTE*>(d.Interfaces),
              reinterpret_cast<const BYTE*>(d.pmiInterfaces) + 8);
    ASSERT_EQ(d.MediumsCount, 1u);
    EXPECT_EQ(d.Mediums[0].Set, KSMEDIUMSETID_Standard);
    ASSERT_EQ(d.DataRangesCount, 1u);
    EXPECT_EQ(d.DataRanges[0].FormatSize, sizeof(KSDATARANGE_AUDIO));
    EXPECT_EQ(d.CInstances.PossibleCount, 1u);
    EXPECT_EQ(d.CInstancesGlobal.PossibleCount, 1u);
    EXPECT_EQ(sim::ToUtf8(pin.GetName()), "Larkspur Output");
    EXPECT_EQ(pin.GetType(), KsPinTypeGeneric);
    EXPECT_EQ(pin.GetState(), KSSTATE_STOP);

    HRESULT bridgeResult = E_FAIL;
    CKsPin bridge(&Filter(), 1, &bridgeResult);
    EXPECT_EQ(bridgeResult, S_OK);
    bridge.GetCommunication(&communication);
    EXPECT_EQ(communication, KSPIN_COMMUNICATION_BRIDGE);
    EXPECT_NE(bridge.GetCategory(), GUID_NULL);
}

TEST_F(PinTest, EveryUnreadablePropertyIsAWarning) {
    ChangePin(0, [](auto& pin) {
        for (ULONG id : {0u, 2u, 3u, 5u, 6u, 7u, 8u, 11u, 12u})
            pin.refusedProperties[id] = ERROR_NOT_FOUND;
    });
    SetTraceLevel(3);
    HRESULT hr = E_FAIL;
    CKsPin pin(&Filter(), 0, &hr);
    EXPECT_EQ(hr, S_FALSE);
    const KsPinDescriptor& d = pin.GetDescriptor();
    EXPECT_EQ(d.InterfacesCount + d.MediumsCount + d.DataRangesCount, 0u);
    EXPECT_EQ(d.Interfaces, nullptr);
    EXPECT_EQ(d.DataRanges, nullptr);
    EXPECT_EQ(d.pmiInterfaces, nullptr) << "a refused size query allocates nothing";
    EXPECT_EQ(pin.GetCategory(), GUID_NULL);
    EXPECT_EQ(pin.GetName()[0], 0);
    KSPIN_COMMUNICATION communication = KSPIN_COMMUNICATION_BOTH;
    KSPIN_DATAFLOW flow = KSPIN_DATAFLOW_OUT;
    EXPECT_EQ(pin.GetCommunication(&communication), S_OK);
    EXPECT_EQ(pin.GetDataFlow(&flow), S_OK);
    EXPECT_EQ(static_cast<int>(communication), 0);
    EXPECT_EQ(static_cast<int>(flow), 0);
    EXPECT_EQ(Trace(), (std::vector<std::string>{
                           "Failed to retrieve pin property KSPROPERTY_PIN_COMMUNICATION on PinID: 0",
                           "Failed to retrieve pin property KSPROPETY_PIN_INTERFACES on PinID: 0",
                           "Failed to retrieve pin property KSPROPERTY_PIN_MEDIUMS on PinID: 0",
                           "Failed to retrieve pin property KSPROPERTY_PIN_DATARANGES on PinID: 0",
                           "Failed to retrieve pin property KSPROPERTY_PIN_DATAFLOW on PinID: 0",
                           "Failed to retrieve pin property KSPROPERTY_PIN_CINSTANCES on PinID: 0",
                           "Failed to retrieve pin property KSPROPERTY_PIN_GLOBALCINSTANCES on PinID: 0",
                           "Failed to retrieve pin property KSPROPERTY_PIN_CATEGORY on PinID: 0",
                           "Failed to retrieve pin property KSPROPERTY_PIN_NAME on PinID: 0",
                       }));
}

TEST_F(PinTest, AListReadThatFailsLateKeepsItsBufferForTheDestructor) {
    // Requests of Init: communication, then the interfaces' size query and read: fail that read.
    sim::FailNext(sim::Call::DeviceIoControl, ERROR_GEN_FAILURE, 1, 2);
    HRESULT hr = E_FAIL;
    CKsPin pin(&Filter(), 0, &hr);
    EXPECT_EQ(hr, S_FALSE);
    EXPECT_NE(pin.GetDescriptor().pmiInterfaces, nullptr);
    EXPECT_EQ(pin.GetDescriptor().InterfacesCount, 0u);
    EXPECT_EQ(pin.GetDescriptor().MediumsCount, 1u);
}

TEST_F(PinTest, AllocationFailuresAreUnreadProperties) {
    ULONG flow = 0;
    ASSERT_EQ(Filter().GetPinPropertySimple(0, KSPROPSETID_Pin, KSPROPERTY_PIN_DATAFLOW, &flow, sizeof flow),
              S_OK)
        << "the filter's request block exists from now on";
    FailOneAllocationAfter(0);
    HRESULT hr = E_FAIL;
    CKsPin pin(&Filter(), 0, &hr);
    EXPECT_EQ(hr, S_FALSE);
    EXPECT_EQ(pin.GetDescriptor().InterfacesCount, 0u);
}

TEST_F(PinTest, RepliesThatDoNotHoldWhatTheyClaimAreNotRead) {
    const std::vector<BYTE> identifier(sizeof(KSIDENTIFIER), 0);
    auto range = sim::larkspur::AudioDataRange(2, 32, 32, 44100, 768000);
    auto withFormatSize = [&](ULONG formatSize) {
        auto bytes = range;
        std::memcpy(bytes.data(), &formatSize, 4);
        return bytes;
    };
    struct Case {
        const char* what;
        ULONG property;
        std::vector<BYTE> reply;
    };
    const Case cases[] = {
        {"header size past the reply", KSPROPERTY_PIN_INTERFACES, MultiReply(8 + 24 + 1, 1, identifier)},
        {"header size below the header", KSPROPERTY_PIN_INTERFACES, MultiReply(4, 0, identifier)},
        {"more interfaces than the reply holds", KSPROPERTY_PIN_INTERFACES,
         MultiReply(8 + 24, 2, identifier)},
        {"more mediums than the reply holds", KSPROPERTY_PIN_MEDIUMS,
         MultiReply(8 + 24, 1000000, identifier)},
        {"range smaller than a KSDATARANGE", KSPROPERTY_PIN_DATARANGES,
         MultiReply(8 + 88, 1, withFormatSize(40))},
        {"range of size zero", KSPROPERTY_PIN_DATARANGES, MultiReply(8 + 88, 2, withFormatSize(0))},
        {"range past the reply", KSPROPERTY_PIN_DATARANGES, MultiReply(8 + 88, 1, withFormatSize(96))},
        {"second range missing", KSPROPERTY_PIN_DATARANGES, MultiReply(8 + 88, 2, range)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        m_device->SetDescriptor(sim::larkspur::DefaultDescriptor());
        ChangePin(0, [&](auto& pin) { pin.rawReplies[c.property] = c.reply; });
        HRESULT hr = E_FAIL;
        CKsPin pin(&Filter(), 0, &hr);
        EXPECT_EQ(hr, S_FALSE);
        const KsPinDescriptor& d = pin.GetDescriptor();
        const ULONG count = c.property == KSPROPERTY_PIN_INTERFACES ? d.InterfacesCount
                            : c.property == KSPROPERTY_PIN_MEDIUMS  ? d.MediumsCount
                                                                    : d.DataRangesCount;
        EXPECT_EQ(count, 0u);
    }
}

TEST_F(PinTest, RepliesTooShortForAHeaderGiveEmptyLists) {
    ChangePin(0, [](auto& pin) {
        pin.rawReplies[KSPROPERTY_PIN_INTERFACES] = {};
        pin.rawReplies[KSPROPERTY_PIN_MEDIUMS] = {1, 2, 3};
    });
    HRESULT hr = E_FAIL;
    CKsPin pin(&Filter(), 0, &hr);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(pin.GetDescriptor().InterfacesCount, 0u);
    EXPECT_EQ(pin.GetDescriptor().Interfaces, nullptr);
    EXPECT_EQ(pin.GetDescriptor().MediumsCount, 0u);
    EXPECT_EQ(pin.GetDescriptor().Mediums, nullptr);
}

TEST_F(PinTest, ThePinNameIsAlwaysTerminated) {
    // 519 bytes of text and no terminator: the name fills the array and still ends.
    ChangePin(0, [](auto& pin) { pin.rawReplies[KSPROPERTY_PIN_NAME] = std::vector<BYTE>(519, 'A'); });
    HRESULT hr = E_FAIL;
    CKsPin pin(&Filter(), 0, &hr);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(WideTraits::length(pin.GetName()), static_cast<size_t>(MAX_PATH - 1));

    // A name longer than the buffer is refused by the device: empty, and a warning.
    ChangePin(0, [](auto& pin) {
        pin.rawReplies.clear();
        pin.name = std::u16string(300, u'x');
    });
    HRESULT longResult = E_FAIL;
    CKsPin longName(&Filter(), 0, &longResult);
    EXPECT_EQ(longResult, S_FALSE);
    EXPECT_EQ(longName.GetName()[0], 0);
}

TEST_F(PinTest, PendingRequestsAndInsufficientBufferSizeQueriesReadEverything) {
    m_device->SetPendingProperties(true);
    m_device->SetSizeQueryError(ERROR_INSUFFICIENT_BUFFER);
    HRESULT hr = E_FAIL;
    CKsPin pin(&Filter(), 0, &hr);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(pin.GetDescriptor().DataRangesCount, 1u);
    EXPECT_EQ(sim::ToUtf8(pin.GetName()), "Larkspur Output");
}

TEST_F(PinTest, PlainPinHasNothingToCreateOrClose) {
    HRESULT hr = E_FAIL;
    CKsPin pin(&Filter(), 0, &hr);
    EXPECT_EQ(pin.Instantiate(FALSE), S_OK);
    EXPECT_EQ(pin.GetHandle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(m_device->OpenPins(), 0u);
    SetTraceLevel(1);
    pin.ClosePin();
    pin.ClosePin();
    EXPECT_TRUE(m_device->States().empty()) << "closing a pin never created sends nothing";
    EXPECT_EQ(pin.SetState(KSSTATE_RUN), E_FAIL);
    EXPECT_EQ(pin.GetState(), KSSTATE_STOP);
    EXPECT_TRUE(Traced("Failed to Set Pin State"));
    EXPECT_EQ(pin.SetDeviceMode(DEVICE_MODE_PCM), TRUE) << "fails unseen on a pin without a handle";
    EXPECT_TRUE(m_device->ModeCodes().empty());
}

TEST_F(PinTest, TracesItsEntryAndExit) {
    Filter();
    SetTraceLevel(6);
    HRESULT hr = E_FAIL;
    {
        CKsPin pin(&Filter(), 0, &hr);
        pin.ClosePin();
    }
    const auto trace = Trace();
    ASSERT_FALSE(trace.empty());
    EXPECT_EQ(trace.front(), "CKsPin::CKsPin() Enter");
    EXPECT_EQ(trace.back(), "CKsPin::~CKsPin() Leave");
    EXPECT_TRUE(Traced("CKsPin::Init() Enter"));
    EXPECT_TRUE(Traced("CKsPin::Init Leave, returning 00000000"));
    EXPECT_TRUE(Traced("CKsPin::CKsPin Leave, returning 00000000"));
    EXPECT_TRUE(Traced("CKsFilter::GetPinPropertyMulti() Enter"));
    EXPECT_TRUE(Traced("CKsFilter::GetPinPropertySimple Leave, returning 00000000"));
    EXPECT_TRUE(Traced("CKsPin::ClosePin() Leave"));
}

TEST_F(PinTest, FilterConstructionAndTeardown) {
    HRESULT hr = S_OK;
    CKsFilter unnamed(nullptr, &hr);
    EXPECT_EQ(hr, E_INVALIDARG);
    EXPECT_EQ(unnamed.m_szFilterName[0], 0);

    std::u16string path(MAX_PATH - 1, u'p');
    CKsFilter longest(path.c_str(), &hr);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(sim::ToUtf8(longest.m_szFilterName), sim::ToUtf8(path));

    // One character more would leave the name without its terminator.
    path += u'p';
    SetTraceLevel(1);
    CKsFilter tooLong(path.c_str(), &hr);
    EXPECT_EQ(hr, E_INVALIDARG);
    EXPECT_EQ(tooLong.m_szFilterName[0], 0);
    EXPECT_EQ(Trace(), (std::vector<std::string>{"pszName is too long"}));

    // The filter owns its pins and nodes; the classified lists only alias pins.
    auto* filter = new BoundFilter(m_device->OpenFilterHandle());
    HRESULT pinResult = E_FAIL;
    auto* pin = new CKsPin(filter, 0, &pinResult);
    filter->m_listPins.AddTail(pin);
    filter->m_listRenderSinkPins.AddTail(pin);
    filter->m_listCaptureSourcePins.AddTail(pin);
    GUID type = KSCATEGORY_AUDIO;
    filter->m_listNodes.AddTail(new CKsNode(0, &type, &hr));
    delete filter; // the fixture checks that the filter handle was closed
}

} // namespace

namespace {

// A pin whose handle leads to a scripted target, to see the bytes of its own requests.
class ProbedPin : public CKsPin {
public:
    ProbedPin(CKsFilter* filter, HANDLE handle, HRESULT* result) : CKsPin(filter, 0, result) {
        m_handle = handle;
    }
};

TEST_F(PinTest, ModeRequestBytes) {
    auto target = std::make_shared<ks_test::ScriptedTarget>(
        [](DWORD, const void*, DWORD, void*, DWORD, DWORD*, OVERLAPPED*) {
            return static_cast<DWORD>(ERROR_SUCCESS);
        });
    HRESULT hr = E_FAIL;
    ProbedPin pin(&Filter(), sim::InsertObject(target), &hr);
    EXPECT_EQ(pin.SetDeviceMode(0x10000), TRUE);
    ASSERT_EQ(target->requests.size(), 1u);
    const auto& request = target->requests[0];
    EXPECT_EQ(request.code, 0x2F200Cu);
    EXPECT_EQ(request.outSize, 0u);
    EXPECT_TRUE(request.overlapped) << "an overlapped handle takes overlapped requests only";
    ASSERT_EQ(request.input.size(), 264u);
    EXPECT_EQ(std::vector<BYTE>(request.input.begin(), request.input.begin() + 8),
              (std::vector<BYTE>{0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(std::count(request.input.begin() + 8, request.input.end(), 0), 256);
    pin.ClosePin();
    EXPECT_EQ(target->requests.size(), 2u) << "closing a created pin stops it first";
    EXPECT_EQ(pin.GetHandle(), INVALID_HANDLE_VALUE);
}

} // namespace
