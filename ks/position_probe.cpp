#include "ks/position_probe.h"

#include "ks/pin.h"

#include <atomic>
#include <cstring>

void CKsPositionProbe::Attach(CKsPin* pin, HANDLE event) {
    m_pin = pin;
    m_property.Set = KSPROPSETID_Audio;
    m_property.Id = KSPROPERTY_AUDIO_POSITION;
    m_property.Flags = KSPROPERTY_TYPE_GET;
    std::memset(&m_overlapped, 0, sizeof m_overlapped);
    m_overlapped.hEvent = event;
    m_pending = false;
}

bool CKsPositionProbe::ReplyBack() const {
    return std::atomic_ref<ULONG_PTR>(const_cast<OVERLAPPED&>(m_overlapped).Internal).load() !=
           STATUS_PENDING;
}

CKsPositionProbe::Reading CKsPositionProbe::Read(KSAUDIO_POSITION* position) {
    if (!m_pin || !m_overlapped.hEvent)
        return Reading::Failed;
    if (m_pending) {
        if (!ReplyBack())
            return Reading::Unknown;
        m_pending = false; // its reply is a period old
    }
    DWORD returned = 0;
    const BOOL done = DeviceIoControl(m_pin->GetHandle(), IOCTL_KS_PROPERTY, &m_property, sizeof m_property,
                                      &m_reply, sizeof m_reply, &returned, &m_overlapped);
    if (!done) {
        if (GetLastError() != ERROR_IO_PENDING)
            return Reading::Failed;
        if (!ReplyBack()) {
            m_pending = true;
            return Reading::Unknown;
        }
        returned = static_cast<DWORD>(m_overlapped.InternalHigh);
        if (m_overlapped.Internal != 0)
            return Reading::Failed;
    }
    if (returned < sizeof m_reply)
        return Reading::Failed;
    *position = m_reply;
    return Reading::Known;
}

void CKsPositionProbe::Cancel(DWORD milliseconds) {
    if (!m_pending)
        return;
    if (CancelIoEx(m_pin->GetHandle(), &m_overlapped))
        WaitForSingleObject(m_overlapped.hEvent, milliseconds);
    m_pending = !ReplyBack();
}
