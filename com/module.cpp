// Entry points of the in-process server.
#include "com/class_factory.h"

#include <new>

extern "C" HRESULT STDMETHODCALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, void** object) {
    if (!IsEqualGUID(riid, IID_IUnknown) && !IsEqualGUID(riid, IID_IClassFactory))
        return E_NOINTERFACE;
    if (!object)
        return E_POINTER;
    for (int i = 0; i < g_classTableCount; ++i) {
        if (!IsEqualGUID(rclsid, *g_classTable[i].clsid))
            continue;
        CClassFactory* factory = new (std::nothrow) CClassFactory(&g_classTable[i]);
        *object = static_cast<IClassFactory*>(factory);
        if (!factory)
            return E_OUTOFMEMORY;
        factory->AddRef();
        return S_OK;
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

extern "C" HRESULT STDMETHODCALLTYPE DllCanUnloadNow() {
    return g_cServerLocks > 0 || InterlockedCompareExchange(&g_cActiveObjects, 0, 0) != 0 ? S_FALSE : S_OK;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}
