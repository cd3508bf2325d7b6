// ksuser.dll is loaded once per process, from the system directory only: this program starts with it
// not yet loaded and goes through the load in order.
#include "ks/audio_pin.h"
#include "sim/larkspur/device.h"
#include "sim/library.h"
#include "tests/ks_support.h"

namespace {

using ks_test::BoundFilter;
using ks_test::KsTest;

class PinLoadTest : public KsTest {};

TEST_F(PinLoadTest, LoadsKsUserOnceFromTheSystemDirectory) {
    auto device = sim::larkspur::Device::Create();
    BoundFilter filter(device->OpenFilterHandle());
    HRESULT hr = E_UNEXPECTED;
    CKsAudRenPin pin(&filter, 0, &hr);
    ASSERT_EQ(hr, S_OK);
    WAVEFORMATEX format{WAVE_FORMAT_PCM, 2, 44100, 44100 * 8, 8, 32, 0};
    ASSERT_EQ(pin.SetFormat(&format), S_OK);

    // A ksuser.dll beside the host that a default search would load.
    sim::PlantLibraryBesideHost(u"ksuser.dll");
    SetTraceLevel(1);

    // The library cannot be loaded: 0x80070002 whatever the real error, and a later call tries again.
    sim::FailNext(sim::Call::LoadLibraryExW, ERROR_ACCESS_DENIED);
    EXPECT_EQ(pin.Instantiate(FALSE), static_cast<HRESULT>(0x80070002u));
    EXPECT_EQ(sim::LoadedLibraryCount(), 0u);

    // Loaded, but the function is missing: the module stays loaded and is not loaded a second time.
    sim::FailNext(sim::Call::GetProcAddress, ERROR_PROC_NOT_FOUND);
    EXPECT_EQ(pin.Instantiate(FALSE), static_cast<HRESULT>(0x80070002u));
    EXPECT_EQ(sim::LoadedLibraryCount(), 1u);
    EXPECT_EQ(sim::LibraryLoads().size(), 1u);
    EXPECT_EQ(Trace(), (std::vector<std::string>{
                           "Failed to instantiate pin. hr=0x80070002",
                           "Failed to instantiate pin. hr=0x80070002",
                       }));

    EXPECT_EQ(pin.Instantiate(FALSE), S_OK);
    pin.ClosePin();
    EXPECT_EQ(pin.Instantiate(FALSE), S_OK);
    pin.ClosePin();

    const auto loads = sim::LibraryLoads();
    ASSERT_EQ(loads.size(), 1u);
    EXPECT_TRUE(loads[0].fromSystem);
    EXPECT_EQ(loads[0].flags, static_cast<DWORD>(LOAD_LIBRARY_SEARCH_SYSTEM32));
    EXPECT_EQ(sim::PlantedCodeCalls(), 0u);
    EXPECT_EQ(device->States(), (std::vector<KSSTATE>{KSSTATE_STOP, KSSTATE_STOP}));
}

} // namespace
