#include "com/unknown.h"

namespace {
// The INonDelegatingUnknown vtable has the IUnknown shape, so an object that is not aggregated is its
// own owner.
IUnknown* AsUnknown(INonDelegatingUnknown* self) {
    return reinterpret_cast<IUnknown*>(self);
}

ULONG AtLeastOne(LONG count) {
    return static_cast<ULONG>(count) > 1u ? static_cast<ULONG>(count) : 1u;
}

// An interlocked read: the count may be changed by another thread at the same time.
LONG Read(LONG volatile* count) {
    return InterlockedCompareExchange(count, 0, 0);
}
} // namespace

CUnknown::CUnknown(LPCWSTR, IUnknown* outer)
    : m_pUnknown(outer ? outer : AsUnknown(static_cast<INonDelegatingUnknown*>(this))), m_cRef(0) {}

bool CUnknown::IsAggregated() const {
    return m_pUnknown !=
           AsUnknown(const_cast<INonDelegatingUnknown*>(static_cast<const INonDelegatingUnknown*>(this)));
}

// Calls on our own non-delegating side go to it directly, by its real type.
HRESULT CUnknown::OwnerQueryInterface(REFIID riid, void** object) {
    return IsAggregated() ? m_pUnknown->QueryInterface(riid, object)
                          : NonDelegatingQueryInterface(riid, object);
}

ULONG CUnknown::OwnerAddRef() {
    return IsAggregated() ? m_pUnknown->AddRef() : NonDelegatingAddRef();
}

ULONG CUnknown::OwnerRelease() {
    return IsAggregated() ? m_pUnknown->Release() : NonDelegatingRelease();
}

HRESULT STDMETHODCALLTYPE CUnknown::NonDelegatingQueryInterface(REFIID riid, void** object) {
    if (!object)
        return E_POINTER;
    if (IsEqualGUID(riid, IID_IUnknown)) {
        INonDelegatingUnknown* self = this;
        *object = self;
        self->NonDelegatingAddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CUnknown::NonDelegatingAddRef() {
    InterlockedIncrement(&m_cRef);
    return AtLeastOne(Read(&m_cRef));
}

ULONG STDMETHODCALLTYPE CUnknown::NonDelegatingRelease() {
    if (InterlockedDecrement(&m_cRef) == 0) {
        // Guard against a re-entrant release while the destructor runs.
        m_cRef = 1;
        delete this;
        return 0;
    }
    return AtLeastOne(Read(&m_cRef));
}
