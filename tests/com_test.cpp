// The COM contract of the server: class objects, factories, reference counts, aggregation and unloading.
#include "com/base_object.h"
#include "com/unknown.h"
#include "tests/support/alloc_control.h"
#include "tests/support/host.h"

#include <gtest/gtest.h>

using namespace testing_support;

namespace {

constexpr CLSID kOtherClsid{0x11111111, 0x2222, 0x3333, {4, 4, 5, 5, 6, 6, 7, 7}};

IClassFactory* GetFactory() {
    IClassFactory* factory = nullptr;
    EXPECT_EQ(DllGetClassObject(CLSID_ASIOLarkspur, IID_IClassFactory, reinterpret_cast<void**>(&factory)),
              S_OK);
    return factory;
}

// A minimal outer object for aggregation: counts the calls it receives.
struct Outer : IUnknown {
    int queries = 0, addRefs = 0, releases = 0;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
        ++queries;
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++addRefs); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(++releases); }
};

TEST(ClassObject, HandsOutAFactoryForTheDriverClass) {
    IClassFactory* factory = GetFactory();
    ASSERT_NE(factory, nullptr);
    IUnknown* unknown = nullptr;
    EXPECT_EQ(factory->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
    EXPECT_EQ(unknown, static_cast<IUnknown*>(factory));
    EXPECT_EQ(factory->Release(), 1u);
    void* other = &other;
    EXPECT_EQ(factory->QueryInterface(CLSID_ASIOLarkspur, &other), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(factory->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(factory->Release(), 0u);

    IUnknown* viaUnknown = nullptr;
    EXPECT_EQ(DllGetClassObject(CLSID_ASIOLarkspur, IID_IUnknown, reinterpret_cast<void**>(&viaUnknown)),
              S_OK);
    ASSERT_NE(viaUnknown, nullptr);
    EXPECT_EQ(viaUnknown->Release(), 0u);
}

TEST(ClassObject, ChecksTheInterfaceBeforeTheClass) {
    void* out = &out;
    EXPECT_EQ(DllGetClassObject(kOtherClsid, CLSID_ASIOLarkspur, &out), E_NOINTERFACE);
    EXPECT_EQ(DllGetClassObject(CLSID_ASIOLarkspur, CLSID_ASIOLarkspur, &out), E_NOINTERFACE);
    EXPECT_EQ(out, &out);
    EXPECT_EQ(DllGetClassObject(kOtherClsid, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(out, &out);
    EXPECT_EQ(DllGetClassObject(CLSID_ASIOLarkspur, IID_IClassFactory, nullptr), E_POINTER);
}

TEST(ClassObject, ReportsAFactoryThatCannotBeAllocated) {
    void* out = &out;
    FailOneAllocationAfter(0);
    EXPECT_EQ(DllGetClassObject(CLSID_ASIOLarkspur, IID_IClassFactory, &out), E_OUTOFMEMORY);
    ResetAllocationFailures();
    EXPECT_EQ(out, nullptr);
}

TEST(Factory, CreatesTheDriverWithOneReferenceForTheCaller) {
    const LONG before = CBaseObject::ObjectsActive();
    IASIO* driver = CreateDriver();
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(CBaseObject::ObjectsActive(), before + 1);
    EXPECT_EQ(driver->AddRef(), 2u);
    EXPECT_EQ(driver->AddRef(), 3u);
    EXPECT_EQ(driver->Release(), 2u);
    EXPECT_EQ(driver->Release(), 1u);
    EXPECT_EQ(driver->Release(), 0u);
    EXPECT_EQ(CBaseObject::ObjectsActive(), before);
}

TEST(Factory, DestroysTheObjectWhenTheInterfaceIsNotSupported) {
    IClassFactory* factory = GetFactory();
    const LONG before = CBaseObject::ObjectsActive();
    void* out = &out;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(CBaseObject::ObjectsActive(), before);
    EXPECT_EQ(factory->CreateInstance(nullptr, CLSID_ASIOLarkspur, nullptr), E_POINTER);
    factory->Release();
}

TEST(Factory, ReportsADriverThatCannotBeAllocated) {
    IClassFactory* factory = GetFactory();
    void* out = &out;
    FailOneAllocationAfter(0);
    EXPECT_EQ(factory->CreateInstance(nullptr, CLSID_ASIOLarkspur, &out), E_OUTOFMEMORY);
    ResetAllocationFailures();
    EXPECT_EQ(out, &out);
    factory->Release();
}

TEST(Factory, AggregatesOnlyThroughTheInnerUnknown) {
    IClassFactory* factory = GetFactory();
    Outer outer;
    const LONG before = CBaseObject::ObjectsActive();
    void* out = &out;
    EXPECT_EQ(factory->CreateInstance(&outer, CLSID_ASIOLarkspur, &out), E_NOINTERFACE);
    EXPECT_EQ(out, &out);
    EXPECT_EQ(CBaseObject::ObjectsActive(), before);

    INonDelegatingUnknown* inner = nullptr;
    ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner)), S_OK);
    ASSERT_NE(inner, nullptr);

    // The inner object's IASIO forwards its IUnknown calls to the outer object.
    IASIO* asio = nullptr;
    ASSERT_EQ(inner->NonDelegatingQueryInterface(CLSID_ASIOLarkspur, reinterpret_cast<void**>(&asio)), S_OK);
    EXPECT_EQ(outer.addRefs, 1);
    asio->AddRef();
    asio->Release();
    void* dummy = nullptr;
    asio->QueryInterface(IID_IUnknown, &dummy);
    EXPECT_EQ(outer.addRefs, 2);
    EXPECT_EQ(outer.releases, 1);
    EXPECT_EQ(outer.queries, 1);

    // References taken through IASIO went to the outer object; the inner one holds just the creator's.
    EXPECT_EQ(inner->NonDelegatingRelease(), 0u);
    EXPECT_EQ(CBaseObject::ObjectsActive(), before);
    factory->Release();
}

TEST(DriverIdentity, AnswersItsClassIdAndIUnknownOnly) {
    IASIO* driver = CreateDriver();
    ASSERT_NE(driver, nullptr);
    IASIO* again = nullptr;
    EXPECT_EQ(driver->QueryInterface(CLSID_ASIOLarkspur, reinterpret_cast<void**>(&again)), S_OK);
    EXPECT_EQ(again, driver);
    EXPECT_EQ(driver->Release(), 1u);

    // IUnknown is answered by the non-delegating side (the same vtable shape as IUnknown).
    INonDelegatingUnknown* unknown = nullptr;
    EXPECT_EQ(driver->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
    ASSERT_NE(unknown, nullptr);
    EXPECT_NE(static_cast<void*>(unknown), static_cast<void*>(driver));
    EXPECT_EQ(unknown->NonDelegatingRelease(), 1u);

    void* out = &out;
    EXPECT_EQ(driver->QueryInterface(IID_IClassFactory, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(driver->QueryInterface(CLSID_ASIOLarkspur, nullptr), E_POINTER);
    EXPECT_EQ(driver->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(driver->Release(), 0u);
}

TEST(Unloading, FollowsLocksLiveObjectsAndFactories) {
    ASSERT_EQ(DllCanUnloadNow(), S_OK);
    IClassFactory* factory = GetFactory();
    // A host holding a factory calls through it later: the module must stay.
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    factory->Release();
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
    factory = GetFactory();
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(factory->Release(), 0u);
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    factory = GetFactory();
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);

    IASIO* driver = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, CLSID_ASIOLarkspur, reinterpret_cast<void**>(&driver)), S_OK);
    factory->Release();
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    driver->Release();
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

} // namespace
