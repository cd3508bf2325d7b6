#include "com/class_factory.h"

HRESULT STDMETHODCALLTYPE CClassFactory::QueryInterface(REFIID riid, void** object) {
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IClassFactory)) {
        *object = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CClassFactory::AddRef() {
    return static_cast<ULONG>(++m_cRef);
}

ULONG STDMETHODCALLTYPE CClassFactory::Release() {
    if (--m_cRef == 0) {
        delete this;
        return 0;
    }
    return static_cast<ULONG>(m_cRef);
}

HRESULT STDMETHODCALLTYPE CClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** object) {
    if (!object)
        return E_POINTER;
    // An aggregated object can only hand its inner unknown to the outer one.
    if (outer && !IsEqualGUID(riid, IID_IUnknown))
        return E_NOINTERFACE;

    HRESULT hr = S_OK;
    CUnknown* created = m_pEntry->create(outer, &hr);
    if (!created)
        return E_OUTOFMEMORY;
    if (FAILED(hr)) {
        delete created;
        return hr;
    }
    // The caller's reference is the only one left when the query succeeds; a failed query lets the
    // release destroy the object.
    created->NonDelegatingAddRef();
    hr = created->NonDelegatingQueryInterface(riid, object);
    created->NonDelegatingRelease();
    return hr;
}

HRESULT STDMETHODCALLTYPE CClassFactory::LockServer(BOOL lock) {
    if (lock)
        ++g_cServerLocks;
    else
        --g_cServerLocks;
    return S_OK;
}
