// The plain filter: opening its device path, building and sorting its pins, reading its topology nodes.
#include "ks/filter.h"
#include "tests/filter_support.h"

#include <cstring>

namespace {

using namespace filter_test;
using testing_support::FailOneAllocationAfter;
using testing_support::ResetAllocationFailures;

class FilterTest : public MachineTest {
protected:
    std::unique_ptr<CKsFilter> Open(const std::u16string& path) {
        HRESULT hr = E_UNEXPECTED;
        auto filter = std::make_unique<CKsFilter>(path.c_str(), &hr);
        EXPECT_EQ(hr, S_OK);
        EXPECT_EQ(filter->Instantiate(), S_OK);
        return filter;
    }
};

TEST_F(FilterTest, InstantiateOpensTheDevicePathExclusivelyForOverlappedReadAndWrite) {
    const size_t handles = sim::OpenHandleCount();
    auto filter = Open(Attach(Device::Create(), 1));
    EXPECT_TRUE(CKsIrpTarget::IsValidHandle(filter->GetHandle()));
    const auto opens = sim::FileOpens();
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].path, NameOf(*filter));
    EXPECT_EQ(opens[0].access, 0xC0000000u);
    EXPECT_EQ(opens[0].shareMode, 0u);
    EXPECT_EQ(opens[0].disposition, static_cast<DWORD>(OPEN_EXISTING));
    EXPECT_EQ(opens[0].flags, 0x40000080u);
    EXPECT_EQ(sim::OpenHandleCount(), handles + 1);
    filter.reset();
    EXPECT_EQ(sim::OpenHandleCount(), handles);

    // A filter that was never opened closes nothing.
    HRESULT hr = E_UNEXPECTED;
    auto unopened = std::make_unique<CKsFilter>(TEXT("\\\\?\\nowhere"), &hr);
    EXPECT_EQ(unopened->GetHandle(), INVALID_HANDLE_VALUE);
    unopened.reset();
    EXPECT_EQ(sim::OpenHandleCount(), handles);
}

TEST_F(FilterTest, InstantiateTracesTheDeviceAndErrorOfAFailedOpen) {
    SetTraceLevel(1);
    sim::DeviceInterface locked = sim::LarkspurInterface(Device::Create()->OpenFilter(), 1);
    locked.openError = ERROR_ACCESS_DENIED;
    sim::AddDeviceInterface(locked);
    HRESULT hr = E_UNEXPECTED;
    CKsFilter filter(locked.devicePath.c_str(), &hr);
    EXPECT_EQ(filter.Instantiate(), E_FAIL);
    EXPECT_EQ(filter.GetHandle(), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(Traced("CKsFilter::Instantiate: CreateFile failed for device " +
                       sim::ToUtf8(locked.devicePath) + ".  ErrorCode = 0x00000005"));

    CKsFilter missing(TEXT("\\\\?\\usb#nothing"), &hr);
    EXPECT_EQ(missing.Instantiate(), E_FAIL);
    EXPECT_TRUE(
        Traced("CKsFilter::Instantiate: CreateFile failed for device \\\\?\\usb#nothing.  ErrorCode = "
               "0x00000002"));
}

TEST_F(FilterTest, PinsAreSortedByCommunicationAndDataFlow) {
    SetTraceLevel(5);
    const auto comm4 = static_cast<KSPIN_COMMUNICATION>(4);
    const auto flowOther = static_cast<KSPIN_DATAFLOW>(0);
    auto filter = Open(Attach(DeviceWithPins({
                                  Pin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN),   // 0
                                  Pin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_OUT),  // 1
                                  Pin(KSPIN_COMMUNICATION_SOURCE, KSPIN_DATAFLOW_IN), // 2
                                  Pin(KSPIN_COMMUNICATION_SOURCE, flowOther),         // 3
                                  Pin(KSPIN_COMMUNICATION_NONE, KSPIN_DATAFLOW_IN),   // 4
                                  Pin(KSPIN_COMMUNICATION_BOTH, KSPIN_DATAFLOW_IN),   // 5
                                  Pin(KSPIN_COMMUNICATION_BOTH, KSPIN_DATAFLOW_OUT),  // 6
                                  Pin(comm4, KSPIN_DATAFLOW_IN),                      // 7
                              }),
                              1));
    EXPECT_EQ(filter->EnumeratePins(), S_OK);
    using Ids = std::vector<ULONG>;
    EXPECT_EQ(PinIds(filter->m_listPins), (Ids{0, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(PinIds(filter->m_listRenderSinkPins), (Ids{0, 5}));
    EXPECT_EQ(PinIds(filter->m_listCaptureSinkPins), (Ids{1, 6}));
    EXPECT_EQ(PinIds(filter->m_listCaptureSourcePins), (Ids{2, 5}));
    EXPECT_EQ(PinIds(filter->m_listRenderSourcePins), (Ids{3, 6}));
    EXPECT_EQ(PinIds(filter->m_listNoCommPins), (Ids{4}));
    EXPECT_TRUE(Traced("Pin communication type not recognized"));

    // Each pin, listed once or twice, is deleted once; the lists are all empty afterwards.
    EXPECT_EQ(filter->DestroyLists(), S_OK);
    for (const CKsList* list :
         {&filter->m_listPins, &filter->m_listRenderSinkPins, &filter->m_listCaptureSinkPins,
          &filter->m_listCaptureSourcePins, &filter->m_listRenderSourcePins, &filter->m_listNoCommPins})
        EXPECT_TRUE(list->IsEmpty());
}

TEST_F(FilterTest, AFilterWithoutClassifiedPinsIsNotViable) {
    SetTraceLevel(1);
    const std::string notViable = "Filter is not viable. It has no pins.";
    auto noPins = Open(Attach(DeviceWithPins({}), 1));
    EXPECT_EQ(noPins->EnumeratePins(), E_FAIL);
    EXPECT_TRUE(Traced(notViable));

    // A pin with an unrecognised communication is built but classified nowhere.
    auto unrecognised =
        Open(Attach(DeviceWithPins({Pin(static_cast<KSPIN_COMMUNICATION>(4), KSPIN_DATAFLOW_IN)}), 2));
    EXPECT_EQ(unrecognised->EnumeratePins(), E_FAIL);
    EXPECT_EQ(unrecognised->m_listPins.GetCount(), 1);

    // The pin count cannot be read.
    sim::ClearDebugOutput();
    auto unreadable = Open(Attach(Device::Create(), 3));
    sim::FailNext(sim::Call::DeviceIoControl, ERROR_GEN_FAILURE);
    EXPECT_EQ(unreadable->EnumeratePins(), E_FAIL);
    EXPECT_TRUE(unreadable->m_listPins.IsEmpty());
    EXPECT_TRUE(Traced(notViable));
}

TEST_F(FilterTest, ClassificationTriesBothListsOfAPinBeforeReportingMemory) {
    auto filter = Open(Attach(DeviceWithPins({Pin(KSPIN_COMMUNICATION_BOTH, KSPIN_DATAFLOW_IN)}), 1));
    ASSERT_EQ(filter->EnumeratePins(), S_OK);
    void* entry = nullptr;
    while (filter->m_listRenderSinkPins.RemoveHead(&entry)) {
    }
    while (filter->m_listCaptureSourcePins.RemoveHead(&entry)) {
    }
    FailOneAllocationAfter(0);
    EXPECT_EQ(filter->ClassifyPins(), E_OUTOFMEMORY);
    ResetAllocationFailures();
    EXPECT_TRUE(filter->m_listRenderSinkPins.IsEmpty());
    EXPECT_EQ(PinIds(filter->m_listCaptureSourcePins), std::vector<ULONG>{0});
}

class NodeTest : public FilterTest {
protected:
    const GUID kTypes[3] = {{0x1, 0x2, 0x3, {1, 2, 3, 4, 5, 6, 7, 8}},
                            {0xA, 0xB, 0xC, {8, 7, 6, 5, 4, 3, 2, 1}},
                            {0xDD, 0xEE, 0xFF, {0, 0, 0, 0, 0, 0, 0, 9}}};

    std::unique_ptr<CKsFilter> FilterWithNodes() {
        auto device = Device::Create();
        device->ChangeDescriptor([&](sim::larkspur::FilterDescriptor& d) {
            d.nodes.assign(std::begin(kTypes), std::end(kTypes));
        });
        return Open(Attach(device, 1));
    }
};

TEST_F(NodeTest, EachNodeBecomesATaggedRecordWithItsType) {
    auto filter = FilterWithNodes();
    for (int round = 0; round < 2; ++round) { // a second call replaces the list
        ASSERT_EQ(filter->EnumerateNodes(), S_OK);
        ASSERT_EQ(filter->m_listNodes.GetCount(), 3);
        CKsListNode* position = filter->m_listNodes.GetHeadPosition();
        CKsNode* node = nullptr;
        for (ULONG i = 0; filter->m_listNodes.GetNext(position, &node); ++i) {
            EXPECT_EQ(node->m_nNodeId, i);
            EXPECT_EQ(std::memcmp(&node->m_fccTag, "NONE", 4), 0);
            EXPECT_EQ(node->m_fccTag, 0x454E4F4Eu);
            EXPECT_TRUE(IsEqualGUID(node->m_guidNodeType, kTypes[i]));
        }
    }
}

TEST_F(NodeTest, TheNodeListHoldsAllNodesOrNone) {
    SetTraceLevel(4);
    auto filter = FilterWithNodes();
    bool sawMissingNode = false, sawNoBuffer = false;
    bool completed = false;
    for (long n = 0; n < 20; ++n) {
        FailOneAllocationAfter(n);
        const HRESULT hr = filter->EnumerateNodes();
        const bool failed = testing_support::FailedAllocations() > 0;
        ResetAllocationFailures();
        if (!failed) {
            EXPECT_EQ(hr, S_OK);
            EXPECT_EQ(filter->m_listNodes.GetCount(), 3);
            completed = true;
            break;
        }
        EXPECT_TRUE(FAILED(hr)) << n;
        EXPECT_TRUE(filter->m_listNodes.IsEmpty()) << n;
        sawMissingNode |= hr == E_FAIL;
        sawNoBuffer |= hr == E_OUTOFMEMORY;
    }
    EXPECT_TRUE(completed) << "an allocation kept failing";
    EXPECT_TRUE(sawMissingNode);
    EXPECT_TRUE(sawNoBuffer);

    sim::ClearDebugOutput();
    sim::FailNext(sim::Call::DeviceIoControl, ERROR_GEN_FAILURE);
    EXPECT_EQ(filter->EnumerateNodes(), E_FAIL);
    EXPECT_TRUE(filter->m_listNodes.IsEmpty());
    EXPECT_TRUE(Traced("Failed to get property KSPROPSETID_Topology.KSPROPERTY_TOPOLOGY_NODES"));
}

TEST_F(NodeTest, ACountBeyondTheReplyIsNotBelieved) {
    // Five nodes announced, two node types sent.
    auto target = std::make_shared<ks_test::ScriptedTarget>(
        [](DWORD, const void*, DWORD, void* out, DWORD outSize, DWORD* returned, OVERLAPPED*) -> DWORD {
            constexpr DWORD kSize = sizeof(KSMULTIPLE_ITEM) + 2 * sizeof(GUID);
            *returned = kSize;
            if (outSize == 0)
                return ERROR_MORE_DATA;
            std::memset(out, 0x11, kSize);
            const KSMULTIPLE_ITEM header{kSize, 5};
            std::memcpy(out, &header, sizeof header);
            return ERROR_SUCCESS;
        });
    ks_test::BoundFilter filter(sim::InsertObject(target));
    EXPECT_EQ(filter.EnumerateNodes(), E_FAIL);
    EXPECT_TRUE(filter.m_listNodes.IsEmpty());

    // No nodes at all is a complete, empty list.
    auto bare = Device::Create();
    bare->ChangeDescriptor([](sim::larkspur::FilterDescriptor& d) { d.nodes.clear(); });
    auto none = Open(Attach(bare, 2));
    EXPECT_EQ(none->EnumerateNodes(), S_OK);
    EXPECT_TRUE(none->m_listNodes.IsEmpty());
}

} // namespace
