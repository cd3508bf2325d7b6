#include "asio/device_watch.h"

#include "asio/render_loop.h"
#include "ks/enum_filters.h"

bool LarkspurPresent() {
    HRESULT result = S_OK;
    CKsEnumFilters filters(&result);
    if (FAILED(result))
        return false;
    const GUID categories[] = {KSCATEGORY_AUDIO, KSCATEGORY_RENDER};
    if (FAILED(filters.EnumFilters(KsFilterTypeAudioRender, categories, 2, FALSE, FALSE, TRUE)))
        return false;
    return filters.m_listFilters.GetHeadPosition() != nullptr;
}

void DeviceWatch::Start(bool gone) {
    if (m_thread || !m_quit)
        return;
    m_gone = gone;
    m_found.store(false);
    ResetEvent(m_quit);
    m_thread = CreateThread(nullptr, 0, &DeviceWatch::Watch, this, 0, nullptr);
}

void DeviceWatch::Stop() {
    if (!m_thread)
        return;
    SetEvent(m_quit);
    // The thread works on this object; enumeration is bounded by the device requests' own timeouts.
    WaitForSingleObject(m_thread, INFINITE);
    CloseHandle(m_thread);
    m_thread = nullptr;
}

DWORD WINAPI DeviceWatch::Watch(LPVOID self) {
    auto* watch = static_cast<DeviceWatch*>(self);
    // A device that stalled or refused writes never left: only one seen gone and then back has returned.
    bool seenGone = watch->m_gone;
    while (WaitForSingleObject(watch->m_quit, kDeviceWatchMilliseconds) == WAIT_TIMEOUT) {
        const bool present = LarkspurPresent();
        if (present && seenGone) {
            watch->m_found.store(true);
            break;
        }
        seenGone = seenGone || !present;
    }
    return 0;
}
