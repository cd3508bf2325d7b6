// The Kernel Streaming layer against a device that answers late, fails late or never answers.
#include "ks/audio_pin.h"
#include "ks/pin.h"
#include "sim/larkspur/device.h"
#include "tests/ks_support.h"

namespace {

using ks_test::BoundFilter;
using ks_test::KsTest;
using sim::larkspur::Device;

class KsRobustTest : public ks_test::FilterTest {
protected:
    HRESULT ReadFlow(ULONG pinId, ULONG* flow) {
        return m_filter->GetPinPropertySimple(pinId, KSPROPSETID_Pin, KSPROPERTY_PIN_DATAFLOW, flow,
                                              sizeof *flow);
    }
};

TEST_F(KsRobustTest, APendedRequestGivesTheStatusAndCountOfItsCompletion) {
    m_device->SetPendingProperties(true);
    ULONG flow = 0;
    EXPECT_EQ(ReadFlow(0, &flow), S_OK);
    EXPECT_EQ(flow, static_cast<ULONG>(KSPIN_DATAFLOW_IN));

    // "Not supported" given after pending is the same refusal as given at once.
    m_device->ChangeDescriptor(
        [](auto& d) { d.pins[0].refusedProperties[KSPROPERTY_PIN_DATAFLOW] = ERROR_NOT_SUPPORTED; });
    flow = 77;
    EXPECT_EQ(ReadFlow(0, &flow), E_FAIL);
    EXPECT_EQ(flow, 77u);

    // A pended size query reports the size the property needs.
    PKSMULTIPLE_ITEM ranges = nullptr;
    ULONG size = 0;
    EXPECT_EQ(m_filter->GetPinPropertyMulti(0, KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES, &ranges, &size),
              S_OK);
    ASSERT_NE(ranges, nullptr);
    EXPECT_EQ(size, sizeof(KSMULTIPLE_ITEM) + sizeof(KSDATARANGE_AUDIO));
    EXPECT_EQ(ranges->Count, 1u);
    delete[] reinterpret_cast<BYTE*>(ranges);

    // A pin whose every read pends describes itself as one answered at once.
    m_device->ChangeDescriptor([](auto& d) { d.pins[0].refusedProperties.clear(); });
    HRESULT hr = E_FAIL;
    CKsAudRenPin pin(m_filter.get(), 0, &hr);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(pin.GetDescriptor().DataRangesCount, 1u);
}

TEST_F(KsRobustTest, ARequestTheDeviceNeverAnswersIsCancelledAndTheDeviceCountsAsDead) {
    SetTraceLevel(1);
    m_device->SetHung(true);
    ULONG flow = 77;
    EXPECT_EQ(ReadFlow(0, &flow), KS_E_TIMEOUT);
    EXPECT_EQ(flow, 77u) << "nothing written back";
    EXPECT_EQ(m_device->HeldRequests(), 0u) << "the cancellation completed the request";
    EXPECT_TRUE(m_filter->IsDeviceDead());
    EXPECT_TRUE(Traced("CKsIrpTarget::SyncIoctl request timed out"));

    // Later requests fail at once, without reaching the device.
    m_device->SetHung(false);
    EXPECT_EQ(ReadFlow(0, &flow), KS_E_TIMEOUT);
    EXPECT_TRUE(Traced("CKsIrpTarget::SyncIoctl device not answering"));
    PKSMULTIPLE_ITEM ranges = nullptr;
    EXPECT_EQ(m_filter->GetPinPropertyMulti(0, KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES, &ranges),
              KS_E_TIMEOUT);
    EXPECT_EQ(ranges, nullptr);
}

TEST_F(KsRobustTest, ARequestWhoseCancellationNeverCompletesOutlivesItsOwner) {
    SetTraceLevel(1);
    m_device->SetHung(true);
    m_device->SetCancelIgnored(true);
    ULONG flow = 77;
    EXPECT_EQ(ReadFlow(0, &flow), KS_E_TIMEOUT);
    EXPECT_TRUE(Traced("CKsIrpTarget::SyncIoctl cancelled request did not complete"));
    EXPECT_EQ(m_device->HeldRequests(), 1u);
    EXPECT_TRUE(m_filter->IsDeviceDead());

    // The filter goes; the device comes back and completes the request into memory that must still be
    // there (AddressSanitizer watches the write).
    m_filter.reset();
    m_device->SetCancelIgnored(false);
    EXPECT_EQ(m_device->ReleaseHeld(), 1u);
    EXPECT_EQ(flow, 77u);

    // Without an owner the static request is kept the same way.
    m_device->SetCancelIgnored(true);
    HANDLE handle = m_device->OpenFilterHandle();
    KSP_PIN request{};
    request.Property.Set = KSPROPSETID_Pin;
    request.Property.Id = KSPROPERTY_PIN_CTYPES;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    ULONG count = 0;
    ULONG returned = 9;
    EXPECT_EQ(CKsIrpTarget::SyncIoctl(handle, IOCTL_KS_PROPERTY, &request, sizeof request, &count,
                                      sizeof count, &returned),
              KS_E_TIMEOUT);
    EXPECT_EQ(returned, 0u);
    CloseHandle(handle);
    EXPECT_EQ(m_device->ReleaseHeld(), 1u);
}

TEST_F(KsRobustTest, ARequestThatCompletesDuringItsCancellationIsReleased) {
    // The pin of a device that stops answering after it was created: its stop request times out, the
    // close still happens, and the pin can go.
    HRESULT hr = E_FAIL;
    auto pin = std::make_unique<CKsAudRenPin>(m_filter.get(), 0, &hr);
    ASSERT_EQ(hr, S_OK);
    WAVEFORMATEX format{WAVE_FORMAT_PCM, 2, 44100, 44100 * 8, 8, 32, 0};
    ASSERT_EQ(pin->SetFormat(&format), S_OK);
    ASSERT_EQ(pin->Instantiate(FALSE), S_OK);
    EXPECT_EQ(pin->SetState(KSSTATE_RUN), S_OK);
    m_device->SetHung(true);
    EXPECT_EQ(pin->SetState(KSSTATE_PAUSE), KS_E_TIMEOUT);
    EXPECT_EQ(pin->GetState(), KSSTATE_RUN);
    EXPECT_TRUE(pin->IsDeviceDead());
    EXPECT_FALSE(m_filter->IsDeviceDead()) << "each handle learns for itself";
    pin->ClosePin();
    EXPECT_EQ(pin->GetHandle(), INVALID_HANDLE_VALUE);
    pin.reset();
    EXPECT_EQ(m_device->OpenPins(), 0u);
}

TEST_F(KsRobustTest, TheModeRequestIsBoundedLikeEveryOtherRequest) {
    HRESULT hr = E_FAIL;
    CKsAudRenPin pin(m_filter.get(), 0, &hr);
    WAVEFORMATEX format{WAVE_FORMAT_PCM, 2, 44100, 44100 * 8, 8, 32, 0};
    ASSERT_EQ(pin.SetFormat(&format), S_OK);
    ASSERT_EQ(pin.Instantiate(FALSE), S_OK);

    // Pended, then failed: the same unreported result.
    m_device->SetPendingProperties(true);
    EXPECT_EQ(pin.SetDeviceMode(DEVICE_MODE_DSD), TRUE);
    EXPECT_EQ(m_device->ModeCodes(), (std::vector<ULONG>{DEVICE_MODE_DSD}));

    // A device that never answers: the request returns, cancelled, and the pin counts as dead.
    m_device->SetHung(true);
    EXPECT_EQ(pin.SetDeviceMode(DEVICE_MODE_STREAM_END), TRUE);
    EXPECT_EQ(m_device->HeldRequests(), 0u);
    EXPECT_TRUE(pin.IsDeviceDead());
    EXPECT_EQ(m_device->ModeCodes().size(), 1u);
}

} // namespace
