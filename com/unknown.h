// Reference-counted COM object base with aggregation support.
#pragma once

#include "com/base_object.h"

struct INonDelegatingUnknown {
    virtual HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** object) = 0;
    virtual ULONG STDMETHODCALLTYPE NonDelegatingAddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE NonDelegatingRelease() = 0;
};

class CUnknown : public INonDelegatingUnknown, public CBaseObject {
public:
    // The name is for diagnostics only and is not kept. A null outer means "not aggregated".
    CUnknown(LPCWSTR name, IUnknown* outer);
    virtual ~CUnknown() = default;

    HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE NonDelegatingAddRef() override;
    ULONG STDMETHODCALLTYPE NonDelegatingRelease() override;

    // Where the public IUnknown calls of a derived interface go: the outer object when aggregated,
    // otherwise this object's own non-delegating side.
    IUnknown* GetOwner() const { return m_pUnknown; }
    HRESULT OwnerQueryInterface(REFIID riid, void** object);
    ULONG OwnerAddRef();
    ULONG OwnerRelease();

private:
    bool IsAggregated() const;

    IUnknown* const m_pUnknown;
    LONG volatile m_cRef;
};
