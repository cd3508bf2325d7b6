// The simulated kernel objects: events, waits, handles and overlapped DeviceIoControl.
#include "sim/failure_injection.h"
#include "sim/kernel_objects.h"
#include "sim/library.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

class SimKernelTest : public ::testing::Test {
protected:
    void SetUp() override { sim::ClearFailures(); }
    void TearDown() override { sim::ClearFailures(); }
};

HANDLE Tagged(HANDLE handle) {
    return reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(handle) | 1);
}

TEST_F(SimKernelTest, AutoResetEventReleasesOneWaitThenResets) {
    HANDLE event = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(SetEvent(event));
    EXPECT_TRUE(ResetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(event));
}

TEST_F(SimKernelTest, ManualResetEventStaysSignalledUntilReset) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    SetEvent(event);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    ResetEvent(event);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    CloseHandle(event);
}

TEST_F(SimKernelTest, TaggedHandleNamesTheSameEvent) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_TRUE(SetEvent(Tagged(event)));
    EXPECT_EQ(WaitForSingleObject(Tagged(event), 0), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(Tagged(event)));
    EXPECT_FALSE(CloseHandle(event));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(SimKernelTest, ClosedOrUnknownHandlesFail) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    const size_t open = sim::OpenHandleCount();
    EXPECT_TRUE(CloseHandle(event));
    EXPECT_EQ(sim::OpenHandleCount(), open - 1);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SetEvent(event));
    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
}

TEST_F(SimKernelTest, WaitForMultipleObjectsAnyAndAll) {
    HANDLE a = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE b = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE both[] = {a, b};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_TIMEOUT);
    SetEvent(b);
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0 + 1);
    // All: one signalled is not enough, and the one that is keeps its signal.
    SetEvent(a);
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_TIMEOUT);
    SetEvent(b);
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForMultipleObjects(0, both, FALSE, 0), WAIT_FAILED);
    // The same object twice is refused, as Windows does.
    HANDLE twice[] = {a, Tagged(a)};
    SetEvent(a);
    EXPECT_EQ(WaitForMultipleObjects(2, twice, TRUE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    CloseHandle(a);
    CloseHandle(b);
}

TEST_F(SimKernelTest, InfiniteWaitWakesWhenAnotherThreadSignals) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::thread setter([event] {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        SetEvent(event);
    });
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    setter.join();
    CloseHandle(event);
}

TEST_F(SimKernelTest, WaitWithTimeoutEndsAfterTheTimeout) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(event, 20), WAIT_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
    CloseHandle(event);
}

TEST_F(SimKernelTest, InjectedFailuresSetTheLastError) {
    sim::FailNext(sim::Call::CreateEventW, ERROR_NOT_ENOUGH_MEMORY, 1, 1);
    HANDLE first = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(CreateEventW(nullptr, FALSE, FALSE, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    sim::FailNext(sim::Call::WaitForSingleObject, ERROR_INVALID_HANDLE);
    SetEvent(first);
    EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_FAILED);
    sim::FailNext(sim::Call::WaitForMultipleObjects, ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForMultipleObjects(1, &first, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_OBJECT_0) << "failed waits consume nothing";
    sim::FailNext(sim::Call::SetEvent, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(SetEvent(first));
    sim::FailNext(sim::Call::CloseHandle, ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(first));
    EXPECT_TRUE(CloseHandle(first));
}

// A device that answers each request as the test sets it up.
class Target : public sim::IoTarget {
public:
    DWORD status = ERROR_SUCCESS;
    DWORD bytes = 0;
    OVERLAPPED* pending = nullptr;
    DWORD IoControl(DWORD, const void*, DWORD, void*, DWORD, DWORD* returned,
                    OVERLAPPED* overlapped) override {
        *returned = bytes;
        if (status == ERROR_IO_PENDING)
            pending = overlapped;
        return status;
    }
};

TEST_F(SimKernelTest, DeviceIoControlCompletesAtOnceOrLater) {
    auto target = std::make_shared<Target>();
    HANDLE device = sim::InsertObject(target);
    HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    OVERLAPPED overlapped{};
    overlapped.hEvent = Tagged(event);
    DWORD returned = 99;

    target->bytes = 12;
    EXPECT_TRUE(DeviceIoControl(device, 1, nullptr, 0, nullptr, 0, &returned, &overlapped));
    EXPECT_EQ(returned, 12u);
    EXPECT_EQ(overlapped.InternalHigh, 12u);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0) << "a request done at once signals its event";

    target->status = ERROR_IO_PENDING;
    returned = 99;
    EXPECT_FALSE(DeviceIoControl(device, 1, nullptr, 0, nullptr, 0, &returned, &overlapped));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(returned, 99u) << "a pending request reports no count";
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT) << "the event is reset when the request begins";
    sim::CompleteOverlapped(target->pending, ERROR_SUCCESS, 7);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(overlapped.InternalHigh, 7u);

    target->status = ERROR_MORE_DATA;
    target->bytes = 40;
    EXPECT_FALSE(DeviceIoControl(device, 1, nullptr, 0, nullptr, 0, &returned, &overlapped));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(returned, 40u);

    sim::FailNext(sim::Call::DeviceIoControl, ERROR_GEN_FAILURE);
    EXPECT_FALSE(DeviceIoControl(device, 1, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));

    EXPECT_FALSE(DeviceIoControl(event, 1, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE)) << "an event answers no requests";
    CloseHandle(event);
    CloseHandle(device);
}

TEST_F(SimKernelTest, PendingCompletionWakesAWaiterOnAnotherThread) {
    auto target = std::make_shared<Target>();
    target->status = ERROR_IO_PENDING;
    HANDLE device = sim::InsertObject(target);
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    EXPECT_FALSE(DeviceIoControl(device, 1, nullptr, 0, nullptr, 0, nullptr, &overlapped));
    std::thread completer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        sim::CompleteOverlapped(target->pending, ERROR_SUCCESS, 0);
    });
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    completer.join();
    CloseHandle(event);
    CloseHandle(device);
}

} // namespace

namespace {

TEST_F(SimKernelTest, LibrarySearchAndExports) {
    const size_t loadsBefore = sim::LibraryLoads().size();
    HMODULE system = LoadLibraryExW(u"KSUSER.DLL", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    ASSERT_NE(system, nullptr);
    EXPECT_NE(GetProcAddress(system, "KsCreatePin"), nullptr);
    EXPECT_EQ(GetProcAddress(system, "KsCreateClock"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    EXPECT_EQ(LoadLibraryW(u"nosuch.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

    // A copy planted beside the host: a default search prefers a loaded module, then the host's
    // directory; a system-only search never sees the planted one.
    sim::PlantLibraryBesideHost(u"ksuser.dll");
    HMODULE again = LoadLibraryW(u"ksuser.dll");
    EXPECT_EQ(again, system) << "the loaded module is found first";
    EXPECT_TRUE(FreeLibrary(again));
    EXPECT_TRUE(FreeLibrary(system));
    EXPECT_FALSE(FreeLibrary(system));
    HMODULE planted = LoadLibraryW(u"ksuser.dll");
    ASSERT_NE(planted, nullptr);
    EXPECT_NE(planted, system);
    auto plantedCreate = reinterpret_cast<PFN_KSCREATEPIN>(
        reinterpret_cast<void (*)()>(GetProcAddress(planted, "KsCreatePin")));
    ASSERT_NE(plantedCreate, nullptr);
    HANDLE pin = nullptr;
    const size_t calls = sim::PlantedCodeCalls();
    EXPECT_NE(plantedCreate(nullptr, nullptr, 0, &pin), 0u);
    EXPECT_EQ(sim::PlantedCodeCalls(), calls + 1);
    HMODULE systemOnly = LoadLibraryExW(u"ksuser.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    EXPECT_NE(systemOnly, planted);
    const auto loads = sim::LibraryLoads();
    ASSERT_EQ(loads.size(), loadsBefore + 4);
    EXPECT_FALSE(loads[loadsBefore + 2].fromSystem);
    EXPECT_EQ(loads[loadsBefore + 3].flags, static_cast<DWORD>(LOAD_LIBRARY_SEARCH_SYSTEM32));
    EXPECT_TRUE(loads.back().fromSystem);
    FreeLibrary(planted);
    FreeLibrary(systemOnly);
    sim::RemovePlantedLibraries();
    EXPECT_EQ(sim::LoadedLibraryCount(), 0u);

    sim::FailNext(sim::Call::LoadLibraryW, ERROR_ACCESS_DENIED);
    EXPECT_EQ(LoadLibraryW(u"ksuser.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    sim::FailNext(sim::Call::LoadLibraryExW, ERROR_MOD_NOT_FOUND);
    EXPECT_EQ(LoadLibraryExW(u"ksuser.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32), nullptr);
    HMODULE loaded = LoadLibraryExW(u"ksuser.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    sim::FailNext(sim::Call::GetProcAddress, ERROR_PROC_NOT_FOUND);
    EXPECT_EQ(GetProcAddress(loaded, "KsCreatePin"), nullptr);
    FreeLibrary(loaded);
    EXPECT_EQ(GetProcAddress(loaded, "KsCreatePin"), nullptr) << "not once the module is unloaded";
}

// KsCreatePin hands the connect request to the filter behind the handle and files the new pin.
class PinFactory : public sim::IoTarget {
public:
    DWORD answer = ERROR_SUCCESS;
    const KSPIN_CONNECT* seen = nullptr;
    DWORD IoControl(DWORD, const void*, DWORD, void*, DWORD, DWORD*, OVERLAPPED*) override { return 1; }
    DWORD CreatePin(const KSPIN_CONNECT* connect, ACCESS_MASK, std::shared_ptr<sim::IoTarget>* pin) override {
        seen = connect;
        if (answer == ERROR_SUCCESS)
            *pin = std::make_shared<PinFactory>();
        return answer;
    }
};

TEST_F(SimKernelTest, KsCreatePinDispatchesToTheFilter) {
    auto factory = std::make_shared<PinFactory>();
    HANDLE filter = sim::InsertObject(factory);
    KSPIN_CONNECT connect{};
    HANDLE pin = nullptr;
    EXPECT_EQ(sim::KsCreatePin(filter, &connect, GENERIC_WRITE, &pin), 0u);
    EXPECT_EQ(factory->seen, &connect);
    EXPECT_NE(sim::ReferenceObjectAs<PinFactory>(pin), nullptr);
    EXPECT_TRUE(CloseHandle(pin));

    HANDLE untouched = INVALID_HANDLE_VALUE;
    factory->answer = ERROR_NO_MORE_ITEMS;
    EXPECT_EQ(sim::KsCreatePin(filter, &connect, GENERIC_WRITE, &untouched),
              static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_EQ(sim::KsCreatePin(INVALID_HANDLE_VALUE, &connect, GENERIC_WRITE, &untouched),
              static_cast<DWORD>(ERROR_INVALID_HANDLE));
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_EQ(sim::KsCreatePin(event, &connect, GENERIC_WRITE, &untouched),
              static_cast<DWORD>(ERROR_INVALID_HANDLE));
    sim::FailNext(sim::Call::KsCreatePin, 0xC000000Du);
    EXPECT_EQ(sim::KsCreatePin(filter, &connect, GENERIC_WRITE, &untouched), 0xC000000Du);
    EXPECT_EQ(untouched, INVALID_HANDLE_VALUE);
    CloseHandle(event);
    CloseHandle(filter);
}

} // namespace
