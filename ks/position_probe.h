// The render pin's stream position, read without waiting: one request whose buffers and event are made
// before the stream, so a read on the render thread allocates nothing and never blocks. A reply that
// has not come back when it is asked for counts as unknown.
#pragma once

#include "platform/platform.h"

class CKsPin;

class CKsPositionProbe {
public:
    enum class Reading { Known, Unknown, Failed };

    // `event` is a manual- or auto-reset event the probe owns the use of until Cancel.
    void Attach(CKsPin* pin, HANDLE event);
    // The position now, if the device answers at once. A request it left pending is looked at again on
    // the next read (its late reply is dropped as stale) before another is sent.
    Reading Read(KSAUDIO_POSITION* position);
    // Before the pin closes: a request still pending is cancelled and waited for, at most `milliseconds`.
    void Cancel(DWORD milliseconds);

private:
    bool ReplyBack() const;

    CKsPin* m_pin = nullptr;
    KSPROPERTY m_property{};
    KSAUDIO_POSITION m_reply{};
    OVERLAPPED m_overlapped{};
    bool m_pending = false;
};
