// Audio filters: pin enumeration that builds audio pins, and the render filter that creates a render
// pin for a wave format.
#pragma once

#include "ks/audio_pin.h"
#include "ks/filter.h"

class CKsAudFilter : public CKsFilter {
public:
    CKsAudFilter(LPCWSTR pszName, HRESULT* result);
    HRESULT EnumeratePins() override;
};

class CKsAudRenFilter : public CKsAudFilter {
public:
    CKsAudRenFilter(LPCWSTR pszName, HRESULT* result);

    // The first render-sink pin that claims the format, or null.
    CKsAudPin* FindViablePin(const WAVEFORMATEX* format);
    // A render pin set to the format and created on the device, or null. The pin stays the filter's.
    CKsAudPin* CreateRenderPin(const WAVEFORMATEX* format, BOOL looped);
};

class CKsAudCapFilter : public CKsAudFilter {
public:
    CKsAudCapFilter(LPCWSTR pszName, HRESULT* result);
};
