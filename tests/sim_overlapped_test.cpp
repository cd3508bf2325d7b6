// Overlapped requests of the simulated kernel as Windows keeps them: NTSTATUS values in
// OVERLAPPED.Internal, GetOverlappedResult and CancelIoEx.
#include "sim/failure_injection.h"
#include "sim/kernel_objects.h"
#include "sim/larkspur/device.h"

#include <gtest/gtest.h>

namespace {

constexpr ULONG_PTR kStatusPending = 0x103;
constexpr ULONG_PTR kStatusCancelled = 0xC0000120;
constexpr ULONG_PTR kStatusBufferOverflow = 0x80000005;

// Holds every request until the test completes or cancels it.
class HoldingTarget : public sim::IoTarget {
public:
    DWORD IoControl(DWORD, const void*, DWORD, void*, DWORD, DWORD*, OVERLAPPED* overlapped) override {
        held = overlapped;
        return ERROR_IO_PENDING;
    }
    bool Cancel(OVERLAPPED* overlapped) override {
        if (!held || (overlapped && overlapped != held))
            return false;
        if (honour) {
            sim::CompleteOverlapped(held, ERROR_OPERATION_ABORTED, 0);
            held = nullptr;
        }
        return true;
    }
    OVERLAPPED* held = nullptr;
    bool honour = true;
};

class SimOverlappedTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::ClearFailures();
        m_target = std::make_shared<HoldingTarget>();
        m_handle = sim::InsertObject(m_target);
        m_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        m_overlapped.hEvent = m_event;
    }
    void TearDown() override {
        CloseHandle(m_event);
        CloseHandle(m_handle);
        sim::ClearFailures();
    }
    std::shared_ptr<HoldingTarget> m_target;
    HANDLE m_handle = nullptr;
    HANDLE m_event = nullptr;
    OVERLAPPED m_overlapped{};
};

TEST_F(SimOverlappedTest, AResultIsReadFromTheOverlappedAsWindowsKeepsIt) {
    DWORD bytes = 99;
    EXPECT_FALSE(DeviceIoControl(m_handle, 1, nullptr, 0, nullptr, 0, nullptr, &m_overlapped));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(m_overlapped.Internal, kStatusPending);
    EXPECT_FALSE(GetOverlappedResult(m_handle, &m_overlapped, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));

    sim::CompleteOverlapped(m_target->held, ERROR_SUCCESS, 24);
    EXPECT_EQ(m_overlapped.Internal, 0u);
    EXPECT_TRUE(GetOverlappedResult(m_handle, &m_overlapped, &bytes, FALSE));
    EXPECT_EQ(bytes, 24u);

    // A failure completes with its NTSTATUS; GetOverlappedResult gives back the Win32 error.
    ResetEvent(m_event);
    EXPECT_FALSE(DeviceIoControl(m_handle, 1, nullptr, 0, nullptr, 0, nullptr, &m_overlapped));
    sim::CompleteOverlapped(m_target->held, ERROR_NOT_SUPPORTED, 0);
    EXPECT_EQ(m_overlapped.Internal, 0xC00000BBu) << "STATUS_NOT_SUPPORTED";
    EXPECT_FALSE(GetOverlappedResult(m_handle, &m_overlapped, &bytes, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));

    // A warning (a size query's answer) still reports its byte count.
    EXPECT_FALSE(DeviceIoControl(m_handle, 1, nullptr, 0, nullptr, 0, nullptr, &m_overlapped));
    sim::CompleteOverlapped(m_target->held, ERROR_MORE_DATA, 40);
    EXPECT_EQ(m_overlapped.Internal, kStatusBufferOverflow);
    bytes = 0;
    EXPECT_FALSE(GetOverlappedResult(m_handle, &m_overlapped, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(bytes, 40u);

    EXPECT_FALSE(GetOverlappedResult(m_handle, nullptr, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(SimOverlappedTest, GetOverlappedResultWaitsForTheCompletion) {
    EXPECT_FALSE(DeviceIoControl(m_handle, 1, nullptr, 0, nullptr, 0, nullptr, &m_overlapped));
    std::thread completer([&] { sim::CompleteOverlapped(m_target->held, ERROR_SUCCESS, 8); });
    DWORD bytes = 0;
    EXPECT_TRUE(GetOverlappedResult(m_handle, &m_overlapped, &bytes, TRUE));
    EXPECT_EQ(bytes, 8u);
    completer.join();
}

TEST_F(SimOverlappedTest, CancelIoExAsksTheTargetAndTheRequestEndsCancelled) {
    EXPECT_FALSE(CancelIoEx(m_handle, &m_overlapped));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND)) << "nothing in flight";
    EXPECT_FALSE(CancelIoEx(m_event, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    EXPECT_FALSE(DeviceIoControl(m_handle, 1, nullptr, 0, nullptr, 0, nullptr, &m_overlapped));
    EXPECT_TRUE(CancelIoEx(m_handle, &m_overlapped));
    EXPECT_EQ(m_overlapped.Internal, kStatusCancelled);
    EXPECT_EQ(WaitForSingleObject(m_event, 0), WAIT_OBJECT_0);
    DWORD bytes = 5;
    EXPECT_FALSE(GetOverlappedResult(m_handle, &m_overlapped, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(bytes, 0u);

    // Cancelling only asks: a target may take note and never complete.
    ResetEvent(m_event);
    m_target->honour = false;
    EXPECT_FALSE(DeviceIoControl(m_handle, 1, nullptr, 0, nullptr, 0, nullptr, &m_overlapped));
    EXPECT_TRUE(CancelIoEx(m_handle, nullptr));
    EXPECT_EQ(m_overlapped.Internal, kStatusPending);
    EXPECT_EQ(WaitForSingleObject(m_event, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    sim::FailNext(sim::Call::CancelIoEx, ERROR_GEN_FAILURE);
    EXPECT_FALSE(CancelIoEx(m_handle, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    sim::FailNext(sim::Call::GetOverlappedResult, ERROR_GEN_FAILURE);
    EXPECT_FALSE(GetOverlappedResult(m_handle, &m_overlapped, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
}

TEST_F(SimOverlappedTest, RequestsRefusedAtOnceKeepTheirStatusWithoutACompletion) {
    auto device = sim::larkspur::Device::Create();
    HANDLE filter = device->OpenFilterHandle();
    KSP_PIN request{};
    request.Property.Set = KSPROPSETID_Pin;
    request.Property.Id = KSPROPERTY_PIN_DATAFLOW;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    request.PinId = 7; // no such pin
    ULONG value = 0;
    EXPECT_FALSE(DeviceIoControl(filter, IOCTL_KS_PROPERTY, &request, sizeof request, &value, sizeof value,
                                 nullptr, &m_overlapped));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(m_overlapped.Internal, 0xC000000Du) << "STATUS_INVALID_PARAMETER";
    EXPECT_EQ(WaitForSingleObject(m_event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    CloseHandle(filter);
}

TEST_F(SimOverlappedTest, AHungLarkspurHoldsRequestsUntilItComesBack) {
    auto device = sim::larkspur::Device::Create();
    HANDLE filter = device->OpenFilterHandle();
    device->SetHung(true);
    KSP_PIN request{};
    request.Property.Set = KSPROPSETID_Pin;
    request.Property.Id = KSPROPERTY_PIN_CTYPES;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    ULONG value = 0;
    EXPECT_FALSE(DeviceIoControl(filter, IOCTL_KS_PROPERTY, &request, sizeof request, &value, sizeof value,
                                 nullptr, &m_overlapped));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(device->HeldRequests(), 1u);

    device->SetCancelIgnored(true);
    EXPECT_TRUE(CancelIoEx(filter, &m_overlapped));
    EXPECT_EQ(m_overlapped.Internal, kStatusPending) << "a dead device ignores the cancellation";
    device->SetCancelIgnored(false);
    EXPECT_TRUE(CancelIoEx(filter, &m_overlapped));
    EXPECT_EQ(m_overlapped.Internal, kStatusCancelled);
    EXPECT_EQ(device->HeldRequests(), 0u);

    ResetEvent(m_event);
    EXPECT_FALSE(DeviceIoControl(filter, IOCTL_KS_PROPERTY, &request, sizeof request, &value, sizeof value,
                                 nullptr, &m_overlapped));
    EXPECT_EQ(device->ReleaseHeld(), 1u);
    EXPECT_EQ(m_overlapped.Internal, kStatusCancelled);
    EXPECT_EQ(WaitForSingleObject(m_event, 0), WAIT_OBJECT_0);

    device->SetHung(false);
    EXPECT_TRUE(DeviceIoControl(filter, IOCTL_KS_PROPERTY, &request, sizeof request, &value, sizeof value,
                                nullptr, &m_overlapped));
    EXPECT_EQ(value, 2u);
    CloseHandle(filter);
}

} // namespace
