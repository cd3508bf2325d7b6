// init: binding the driver to the Larkspur's render filter, driven through IASIO as a host does.
#include "asio/asio_larkspur.h"
#include "ks/audio_filter.h"
#include "tests/filter_support.h"
#include "tests/support/host.h"

namespace {

using namespace filter_test;
using testing_support::DriverError;
using testing_support::FailOneAllocationAfter;
using testing_support::ResetAllocationFailures;

constexpr char kEnumFailure[] = "ASIO Larkspur Driver Enum Failure!";

class DiscoveryTest : public MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        m_driver = testing_support::CreateDriver();
        ASSERT_NE(m_driver, nullptr);
    }
    void TearDown() override {
        // Releasing the driver releases its filters: every handle they held is closed (checked below).
        if (m_driver) {
            EXPECT_EQ(m_driver->Release(), 0u);
        }
        MachineTest::TearDown();
    }
    const CKsAudRenFilter* Bound() const { return static_cast<ASIOLarkspur*>(m_driver)->GetRenderFilter(); }

    IASIO* m_driver = nullptr;
};

TEST_F(DiscoveryTest, WithoutADeviceInitFailsWithTheEnumerationText) {
    EXPECT_EQ(m_driver->init(nullptr), ASIOFalse);
    EXPECT_EQ(DriverError(m_driver), kEnumFailure);
    EXPECT_EQ(Bound(), nullptr);
}

TEST_F(DiscoveryTest, TheDefaultMachinesLarkspurIsBound) {
    sim::ResetDeviceInterfaces();
    EXPECT_EQ(m_driver->init(nullptr), ASIOTrue);
    EXPECT_EQ(DriverError(m_driver), "");
    ASSERT_NE(Bound(), nullptr);
    EXPECT_EQ(NameOf(*Bound()), sim::GetDeviceInterfaces()[0].devicePath);
    EXPECT_TRUE(CKsIrpTarget::IsValidHandle(Bound()->GetHandle()));
    EXPECT_EQ(PinIds(Bound()->m_listRenderSinkPins), std::vector<ULONG>{0});
}

TEST_F(DiscoveryTest, OfTwoLarkspursTheFirstListedIsBound) {
    const std::u16string first = Attach(Device::Create(), 5);
    Attach(Device::Create(), 2);
    ASSERT_EQ(m_driver->init(nullptr), ASIOTrue);
    EXPECT_EQ(NameOf(*Bound()), first);
}

TEST_F(DiscoveryTest, ARepeatedInitReplacesTheBindingAndReleasesTheOldFilters) {
    const size_t handles = sim::OpenHandleCount();
    Attach(Device::Create(), 1);
    Attach(Device::Create(), 2);
    ASSERT_EQ(m_driver->init(nullptr), ASIOTrue);
    EXPECT_EQ(sim::OpenHandleCount(), handles + 2); // the enumerator keeps both filters

    sim::SetDeviceInterfaces({});
    const std::u16string replacement = Attach(Device::Create(), 3);
    ASSERT_EQ(m_driver->init(nullptr), ASIOTrue);
    EXPECT_EQ(NameOf(*Bound()), replacement);
    EXPECT_EQ(sim::OpenHandleCount(), handles + 1);

    // The same device again: its path is opened a second time before the old filter goes.
    ASSERT_EQ(m_driver->init(nullptr), ASIOTrue);
    EXPECT_EQ(NameOf(*Bound()), replacement);
    EXPECT_EQ(sim::OpenHandleCount(), handles + 1);
}

TEST_F(DiscoveryTest, AFailedInitKeepsTheBindingAndSuccessKeepsTheText) {
    EXPECT_EQ(m_driver->init(nullptr), ASIOFalse);
    const std::u16string path = Attach(Device::Create(), 1);
    ASSERT_EQ(m_driver->init(nullptr), ASIOTrue);
    EXPECT_EQ(DriverError(m_driver), kEnumFailure); // success does not clear the text
    const CKsAudRenFilter* bound = Bound();

    sim::AttachNoDevice();
    EXPECT_EQ(m_driver->init(nullptr), ASIOFalse);
    EXPECT_EQ(Bound(), bound);
    EXPECT_EQ(NameOf(*bound), path);
    EXPECT_TRUE(CKsIrpTarget::IsValidHandle(bound->GetHandle()));
}

TEST_F(DiscoveryTest, ALarkspurThatCannotBeOpenedIsNotFound) {
    sim::DeviceInterface locked = sim::LarkspurInterface(Device::Create()->OpenFilter(), 1);
    locked.openError = ERROR_SHARING_VIOLATION;
    sim::SetDeviceInterfaces({locked});
    EXPECT_EQ(m_driver->init(nullptr), ASIOFalse);
    EXPECT_EQ(DriverError(m_driver), kEnumFailure);

    auto bridgeOnly = DeviceWithPins({sim::larkspur::DefaultDescriptor().pins[1]});
    sim::SetDeviceInterfaces({sim::LarkspurInterface(bridgeOnly->OpenFilter(), 2)});
    EXPECT_EQ(m_driver->init(nullptr), ASIOFalse);
    EXPECT_EQ(Bound(), nullptr);
}

// Whichever allocation fails, init either binds a complete filter or reports the enumeration failure
// and keeps what it had; the enumerator's own allocation is the first.
TEST_F(DiscoveryTest, RunningOutOfMemoryIsAnEnumerationFailure) {
    Attach(Device::Create(), 1);
    FailOneAllocationAfter(0);
    EXPECT_EQ(m_driver->init(nullptr), ASIOFalse);
    ResetAllocationFailures();
    EXPECT_EQ(DriverError(m_driver), kEnumFailure);
    EXPECT_EQ(Bound(), nullptr);

    const size_t handles = sim::OpenHandleCount();
    bool completed = false;
    for (long n = 0; n < 400; ++n) {
        const CKsAudRenFilter* before = Bound();
        FailOneAllocationAfter(n);
        const ASIOBool bound = m_driver->init(nullptr);
        const bool failed = testing_support::FailedAllocations() > 0;
        ResetAllocationFailures();
        if (bound) {
            ASSERT_NE(Bound(), nullptr);
            EXPECT_FALSE(Bound()->m_listRenderSinkPins.IsEmpty()) << n;
        } else {
            EXPECT_TRUE(failed) << n;
            EXPECT_EQ(DriverError(m_driver), kEnumFailure) << n;
            EXPECT_EQ(Bound(), before) << n;
        }
        EXPECT_EQ(sim::OpenHandleCount(), handles + (Bound() ? 1 : 0)) << n;
        if (!failed) {
            completed = true;
            break;
        }
    }
    EXPECT_TRUE(completed) << "an allocation kept failing";
    EXPECT_NE(Bound(), nullptr);
}

} // namespace
