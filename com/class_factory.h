// The class factory and the table of classes this server can create.
#pragma once

#include "com/unknown.h"

// Creates one object of a class: its non-delegating unknown, or null when it cannot be allocated.
using CreateObjectFunction = CUnknown* (*)(IUnknown* outer, HRESULT* result);

struct ClassTableEntry {
    LPCWSTR name;
    const CLSID* clsid;
    CreateObjectFunction create;
};

extern const ClassTableEntry g_classTable[];
extern const int g_classTableCount;

// A factory counts as a live object: a host may keep one and create drivers with it later, so the
// module must stay loaded while it exists.
class CClassFactory final : public IClassFactory, private CBaseObject {
public:
    explicit CClassFactory(const ClassTableEntry* entry) : m_pEntry(entry), m_cRef(0) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

private:
    const ClassTableEntry* m_pEntry;
    LONG m_cRef;
};
