// Filter enumeration: which device interfaces become filters, in which order, and how failures of
// single interfaces, of SetupAPI and of memory end.
#include "ks/audio_filter.h"
#include "ks/enum_filters.h"
#include "tests/filter_support.h"

namespace {

using namespace filter_test;
using testing_support::FailOneAllocationAfter;
using testing_support::ResetAllocationFailures;

const GUID kAudioRender[] = {KSCATEGORY_AUDIO, KSCATEGORY_RENDER};

class EnumFiltersTest : public MachineTest {
protected:
    void TearDown() override {
        m_enum.DestroyLists();
        MachineTest::TearDown();
    }
    HRESULT Enumerate(KsFilterType type = KsFilterTypeAudioRender, ULONG categories = 2, BOOL pins = TRUE,
                      BOOL nodes = FALSE, BOOL instantiate = TRUE) {
        return m_enum.EnumFilters(type, kAudioRender, categories, pins, nodes, instantiate);
    }
    std::vector<std::u16string> Names() const {
        std::vector<std::u16string> names;
        CKsListNode* position = m_enum.m_listFilters.GetHeadPosition();
        CKsFilter* filter = nullptr;
        while (m_enum.m_listFilters.GetNext(position, &filter))
            names.push_back(NameOf(*filter));
        return names;
    }
    CKsFilter* First() const {
        CKsListNode* position = m_enum.m_listFilters.GetHeadPosition();
        CKsFilter* filter = nullptr;
        m_enum.m_listFilters.GetNext(position, &filter);
        return filter;
    }
    // A matching Larkspur interface under another instance ID.
    static sim::DeviceInterface WithInstanceId(const char* instanceId, unsigned unit) {
        sim::DeviceInterface entry = sim::LarkspurInterface(Device::Create()->OpenFilter(), unit);
        entry.instanceId = sim::ToWide(instanceId);
        return entry;
    }

    HRESULT m_constructed = E_UNEXPECTED;
    CKsEnumFilters m_enum{&m_constructed};
};

TEST_F(EnumFiltersTest, OneLarkspurBecomesAnOpenedRenderFilterWithItsPins) {
    EXPECT_EQ(m_constructed, S_OK);
    const std::u16string path = Attach(Device::Create(), 1);
    ASSERT_EQ(Enumerate(), S_OK);
    ASSERT_EQ(Names(), std::vector<std::u16string>{path});
    auto* filter = dynamic_cast<CKsAudRenFilter*>(First());
    ASSERT_NE(filter, nullptr);
    EXPECT_EQ(filter->m_eFilterType, KsFilterTypeAudioRender);
    EXPECT_TRUE(CKsIrpTarget::IsValidHandle(filter->GetHandle()));
    EXPECT_EQ(PinIds(filter->m_listRenderSinkPins), std::vector<ULONG>{0});
    EXPECT_TRUE(filter->m_listNodes.IsEmpty());
}

TEST_F(EnumFiltersTest, SeveralLarkspursAreListedInTheSystemsOrder) {
    const std::u16string second = Attach(Device::Create(), 7);
    const std::u16string first = Attach(Device::Create(), 3);
    ASSERT_EQ(Enumerate(), S_OK);
    EXPECT_EQ(Names(), (std::vector<std::u16string>{second, first}));

    // Another enumeration starts afresh: the earlier filters and their handles are gone.
    const size_t handles = sim::OpenHandleCount();
    sim::SetDeviceInterfaces({sim::LarkspurInterface(Device::Create()->OpenFilter(), 9)});
    ASSERT_EQ(Enumerate(), S_OK);
    EXPECT_EQ(Names().size(), 1u);
    EXPECT_EQ(sim::OpenHandleCount(), handles - 1);
}

TEST_F(EnumFiltersTest, TheHardwareIdMatchesAtTheStartInAnyLetterCase) {
    const auto lower = WithInstanceId("usb\\vid_f1e2&pid_0a5c&mi_00\\7&1a2b3c4d&0&0001", 1);
    const auto bare = WithInstanceId("USB\\VID_F1E2&PID_0A5C", 2);
    sim::SetDeviceInterfaces({
        WithInstanceId("ROOT\\USB\\VID_F1E2&PID_0A5C&MI_00\\1", 3), // elsewhere than at the start
        lower,
        WithInstanceId("USB\\VID_F1E2&PID_0A5", 4),           // shorter than the pattern
        WithInstanceId("USB\\VID_F1E2&PID_0A5D&MI_00\\1", 5), // another product
        WithInstanceId("USB/VID_F1E2&PID_0A5C&MI_00\\1", 6),  // only letters fold
        bare,
    });
    ASSERT_EQ(Enumerate(), S_OK);
    EXPECT_EQ(Names(), (std::vector<std::u16string>{lower.devicePath, bare.devicePath}));
}

TEST_F(EnumFiltersTest, EveryFurtherCategoryMustBeAnEnabledAlias) {
    SetTraceLevel(5);
    auto withAlias = [](unsigned unit, std::vector<sim::InterfaceAlias> aliases) {
        sim::DeviceInterface entry = sim::LarkspurInterface(Device::Create()->OpenFilter(), unit);
        entry.aliases = std::move(aliases);
        return entry;
    };
    const auto missing = withAlias(1, {{KSCATEGORY_CAPTURE, SPINT_ACTIVE}});
    const auto zero = withAlias(2, {{KSCATEGORY_RENDER, 0}});
    const auto removed = withAlias(3, {{KSCATEGORY_RENDER, SPINT_ACTIVE | SPINT_REMOVED}});
    const auto enabled = withAlias(4, {{KSCATEGORY_RENDER, SPINT_ACTIVE}});
    sim::SetDeviceInterfaces({missing, zero, removed, enabled});
    ASSERT_EQ(Enumerate(), S_OK);
    EXPECT_EQ(Names(), std::vector<std::u16string>{enabled.devicePath});
    EXPECT_TRUE(Traced("Failed to get requested DeviceInterfaceAlias"));
    const auto trace = Trace();
    EXPECT_EQ(std::count(trace.begin(), trace.end(), "DeviceInterfaceAlias disabled."), 2);

    // With one category no alias is asked for.
    sim::SetDeviceInterfaces({missing, removed});
    ASSERT_EQ(Enumerate(KsFilterTypeAudioRender, 1), S_OK);
    EXPECT_EQ(Names(), (std::vector<std::u16string>{missing.devicePath, removed.devicePath}));

    // An interface whose only Larkspur lacks the alias is no match at all.
    sim::SetDeviceInterfaces({missing});
    EXPECT_EQ(Enumerate(), E_FAIL);
}

TEST_F(EnumFiltersTest, MissingCategoriesFailWithoutAskingTheSystem) {
    Attach(Device::Create(), 1);
    sim::FailNext(sim::Call::SetupDiGetClassDevsW, ERROR_GEN_FAILURE);
    EXPECT_EQ(m_enum.EnumFilters(KsFilterTypeAudioRender, nullptr, 2, TRUE, FALSE, TRUE), E_FAIL);
    const GUID nullFirst[] = {GUID_NULL, KSCATEGORY_RENDER};
    EXPECT_EQ(m_enum.EnumFilters(KsFilterTypeAudioRender, nullFirst, 2, TRUE, FALSE, TRUE), E_FAIL);
    EXPECT_TRUE(m_enum.m_listFilters.IsEmpty());
    // The planned failure was not used up.
    EXPECT_EQ(
        SetupDiGetClassDevsW(&KSCATEGORY_AUDIO, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE),
        INVALID_HANDLE_VALUE);
}

TEST_F(EnumFiltersTest, TheFilterTypeChoosesTheClassAndNoFlagLeavesFiltersUnopened) {
    Attach(Device::Create(), 1);
    ASSERT_EQ(Enumerate(KsFilterTypeGeneric, 2, FALSE, FALSE, FALSE), S_OK);
    EXPECT_EQ(First()->m_eFilterType, KsFilterTypeGeneric);
    EXPECT_EQ(dynamic_cast<CKsAudFilter*>(First()), nullptr);
    EXPECT_EQ(First()->GetHandle(), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(First()->m_listPins.IsEmpty());
    EXPECT_TRUE(sim::FileOpens().empty());

    ASSERT_EQ(Enumerate(KsFilterTypeAudioCapture, 2, FALSE, FALSE, TRUE), S_OK);
    EXPECT_NE(dynamic_cast<CKsAudCapFilter*>(First()), nullptr);
    EXPECT_TRUE(CKsIrpTarget::IsValidHandle(First()->GetHandle()));
    EXPECT_TRUE(First()->m_listPins.IsEmpty());

    ASSERT_EQ(Enumerate(static_cast<KsFilterType>(7), 2, TRUE, TRUE, FALSE), S_OK);
    EXPECT_EQ(dynamic_cast<CKsAudFilter*>(First()), nullptr);
    EXPECT_EQ(PinIds(First()->m_listRenderSinkPins), std::vector<ULONG>{0});
}

TEST_F(EnumFiltersTest, FiltersThatCannotBeBuiltAreLeftOut) {
    SetTraceLevel(1);
    sim::DeviceInterface locked = sim::LarkspurInterface(Device::Create()->OpenFilter(), 1);
    locked.openError = ERROR_ACCESS_DENIED;
    auto bridgeOnly = DeviceWithPins({sim::larkspur::DefaultDescriptor().pins[1]});
    sim::DeviceInterface useless = sim::LarkspurInterface(bridgeOnly->OpenFilter(), 2);
    // A path that fits the detail record but not a filter's name with its terminator.
    sim::DeviceInterface longPath = sim::LarkspurInterface(Device::Create()->OpenFilter(), 3);
    longPath.devicePath.resize(260, u'x');
    sim::SetDeviceInterfaces({locked, useless, longPath});
    EXPECT_EQ(Enumerate(), E_FAIL);
    EXPECT_TRUE(m_enum.m_listFilters.IsEmpty());
    for (const auto& entry : {locked, useless})
        EXPECT_TRUE(Traced("Failed to create filter for " + sim::ToUtf8(entry.devicePath)));
    // The trace cuts its messages at 259 characters.
    const std::string cut =
        ("Failed to create filter for " + sim::ToUtf8(longPath.devicePath)).substr(0, 259);
    EXPECT_TRUE(Traced(cut));
    EXPECT_TRUE(Traced("No valid pins found on the filter"));
    EXPECT_EQ(sim::FileOpens().size(), 2u); // the long path was never opened

    const std::u16string good = Attach(Device::Create(), 4);
    ASSERT_EQ(Enumerate(), S_OK);
    EXPECT_EQ(Names(), std::vector<std::u16string>{good});
}

TEST_F(EnumFiltersTest, InterfacesWithoutDetailOrInstanceIdAreSkipped) {
    Attach(Device::Create(), 1);
    const std::u16string second = Attach(Device::Create(), 2);
    sim::FailNext(sim::Call::SetupDiGetDeviceInterfaceDetailW, ERROR_GEN_FAILURE);
    ASSERT_EQ(Enumerate(), S_OK);
    EXPECT_EQ(Names(), std::vector<std::u16string>{second});

    sim::FailNext(sim::Call::SetupDiGetDeviceInstanceIdW, ERROR_GEN_FAILURE);
    ASSERT_EQ(Enumerate(), S_OK);
    EXPECT_EQ(Names(), std::vector<std::u16string>{second});

    // A device path too long for the detail record.
    sim::DeviceInterface tooLong = sim::LarkspurInterface(Device::Create()->OpenFilter(), 3);
    tooLong.devicePath.resize(262, u'x');
    sim::SetDeviceInterfaces({tooLong});
    EXPECT_EQ(Enumerate(), E_FAIL);
}

TEST_F(EnumFiltersTest, NothingFoundIsAFailureAndTheSetIsAlwaysDestroyed) {
    SetTraceLevel(4);
    EXPECT_EQ(Enumerate(), E_FAIL);
    EXPECT_EQ(sim::OpenDeviceInfoSetCount(), 0u);

    Attach(Device::Create(), 1);
    sim::FailNext(sim::Call::SetupDiGetClassDevsW, ERROR_GEN_FAILURE);
    EXPECT_EQ(Enumerate(), E_FAIL);
    EXPECT_TRUE(Traced("No devices found"));

    sim::FailNext(sim::Call::SetupDiEnumDeviceInterfaces, ERROR_GEN_FAILURE);
    EXPECT_EQ(Enumerate(), E_FAIL);
    EXPECT_EQ(sim::OpenDeviceInfoSetCount(), 0u);
}

TEST_F(EnumFiltersTest, ADetailBlockThatCannotBeAllocatedEndsTheEnumeration) {
    SetTraceLevel(4);
    const std::u16string first = Attach(Device::Create(), 1);
    Attach(Device::Create(), 2);
    // Unopened filters cost three allocations each: the detail block, the filter, its list entry.
    FailOneAllocationAfter(3);
    EXPECT_EQ(Enumerate(KsFilterTypeAudioRender, 2, FALSE, FALSE, FALSE), E_OUTOFMEMORY);
    ResetAllocationFailures();
    EXPECT_EQ(Names(), std::vector<std::u16string>{first});
    EXPECT_TRUE(Traced("Failed to allocate SP_DEVICE_INTERFACE_DETAIL_DATA structure"));
    EXPECT_EQ(sim::OpenDeviceInfoSetCount(), 0u);
}

// Whatever allocation fails, the enumeration ends with whole filters only and nothing leaked.
TEST_F(EnumFiltersTest, RunningOutOfMemoryLeavesOnlyCompleteFilters) {
    Attach(Device::Create(), 1);
    Attach(Device::Create(), 2);
    const size_t handles = sim::OpenHandleCount();
    bool sawLeftOut = false, sawEnded = false;
    bool completed = false;
    for (long n = 0; n < 400; ++n) {
        FailOneAllocationAfter(n);
        const HRESULT hr = Enumerate();
        const bool failed = testing_support::FailedAllocations() > 0;
        ResetAllocationFailures();
        if (!failed) {
            EXPECT_EQ(hr, S_OK);
            EXPECT_EQ(Names().size(), 2u);
            completed = true;
            break;
        }
        sawEnded |= hr == E_OUTOFMEMORY;
        sawLeftOut |= hr == S_OK && Names().size() == 1;
        CKsListNode* position = m_enum.m_listFilters.GetHeadPosition();
        CKsFilter* filter = nullptr;
        while (m_enum.m_listFilters.GetNext(position, &filter)) {
            EXPECT_TRUE(CKsIrpTarget::IsValidHandle(filter->GetHandle())) << n;
            EXPECT_FALSE(filter->m_listRenderSinkPins.IsEmpty()) << n;
        }
        EXPECT_EQ(sim::OpenHandleCount(), handles + Names().size()) << n;
    }
    EXPECT_TRUE(completed) << "an allocation kept failing";
    EXPECT_TRUE(sawLeftOut);
    EXPECT_TRUE(sawEnded);
}

} // namespace
