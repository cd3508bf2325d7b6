// CKsList and CKsIrpTarget against scripted simulated targets.
#include "ks/irp_target.h"
#include "ks/list.h"
#include "tests/ks_support.h"

#include <cstring>
#include <memory>

namespace {

using ks_test::KsTest;
using ks_test::ScriptedTarget;
using testing_support::FailAllocationsAfter;
using testing_support::FailOneAllocationAfter;
using testing_support::ResetAllocationFailures;

TEST(KsListTest, AppendsAtTheTailAndTakesFromTheHead) {
    CKsList list;
    EXPECT_EQ(list.Initialize(1), S_OK);
    EXPECT_EQ(list.Initialize(0), S_OK);
    EXPECT_TRUE(list.IsEmpty());
    EXPECT_EQ(list.GetHeadPosition(), nullptr);
    int values[3] = {1, 2, 3};
    void* taken = &values[0];
    EXPECT_FALSE(list.RemoveHead(&taken));
    EXPECT_EQ(taken, &values[0]) << "an empty list writes nothing";

    CKsListNode* first = list.AddTail(&values[0]);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(list.GetHeadPosition(), first);
    EXPECT_EQ(list.GetTailPosition(), first);
    EXPECT_EQ(list.GetCount(), 1);
    CKsListNode* second = list.AddTail(&values[1]);
    EXPECT_EQ(first->pNext, second);
    EXPECT_EQ(second->pPrev, first);
    list.AddTail(&values[2]);
    EXPECT_EQ(list.GetCount(), 3);

    std::vector<int*> walked;
    CKsListNode* position = list.GetHeadPosition();
    int* entry = nullptr;
    while (list.GetNext(position, &entry))
        walked.push_back(entry);
    EXPECT_EQ(walked, (std::vector<int*>{&values[0], &values[1], &values[2]}));
    EXPECT_FALSE(list.GetNext(position, &entry));
    EXPECT_EQ(entry, &values[2]) << "the end of the walk leaves the out-argument alone";

    EXPECT_FALSE(list.RemoveHead(static_cast<void**>(nullptr)));
    EXPECT_EQ(list.GetCount(), 3);
    EXPECT_TRUE(list.RemoveHead(&taken));
    EXPECT_EQ(taken, &values[0]);
    EXPECT_EQ(list.GetHeadPosition()->pPrev, nullptr);
    EXPECT_TRUE(list.RemoveHead(&taken));
    EXPECT_TRUE(list.RemoveHead(&taken));
    EXPECT_EQ(taken, &values[2]);
    EXPECT_TRUE(list.IsEmpty());
    EXPECT_EQ(list.GetHeadPosition(), nullptr);
    EXPECT_EQ(list.GetTailPosition(), nullptr);
}

TEST(KsListTest, FailedNodeAllocationLeavesTheListAsItWas) {
    CKsList list;
    int value = 0;
    list.AddTail(&value);
    FailOneAllocationAfter(0);
    EXPECT_EQ(list.AddTail(&value), nullptr);
    testing_support::ResetAllocationFailures();
    EXPECT_EQ(list.GetCount(), 1);
    EXPECT_EQ(list.GetHeadPosition(), list.GetTailPosition());
    EXPECT_EQ(list.GetHeadPosition()->pNext, nullptr);
    void* taken = nullptr;
    list.RemoveHead(&taken);
}

class IrpTargetTest : public KsTest {
protected:
    // A target object around a handle of the scripted device; closes it at the end.
    struct Target : CKsIrpTarget {
        explicit Target(HANDLE handle) : CKsIrpTarget(handle) {}
        ~Target() { SafeCloseHandle(m_handle); }
    };

    std::shared_ptr<ScriptedTarget> Device(ScriptedTarget::Answer answer) {
        return std::make_shared<ScriptedTarget>(std::move(answer));
    }

    static KSPROPERTY Property(const ScriptedTarget::Request& request) {
        KSPROPERTY property{};
        std::memcpy(&property, request.input.data(), sizeof property);
        return property;
    }
};

TEST_F(IrpTargetTest, HandleValidityAndSafeClose) {
    EXPECT_FALSE(CKsIrpTarget::IsValidHandle(nullptr));
    EXPECT_FALSE(CKsIrpTarget::IsValidHandle(INVALID_HANDLE_VALUE));
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_TRUE(CKsIrpTarget::IsValidHandle(event));

    HANDLE invalid = INVALID_HANDLE_VALUE;
    EXPECT_TRUE(CKsIrpTarget::SafeCloseHandle(invalid));
    EXPECT_EQ(invalid, INVALID_HANDLE_VALUE);
    HANDLE none = nullptr;
    EXPECT_TRUE(CKsIrpTarget::SafeCloseHandle(none));
    EXPECT_EQ(none, nullptr);

    sim::FailNext(sim::Call::CloseHandle, ERROR_INVALID_HANDLE);
    HANDLE copy = event;
    EXPECT_FALSE(CKsIrpTarget::SafeCloseHandle(copy));
    EXPECT_EQ(copy, INVALID_HANDLE_VALUE) << "reset whether or not the close worked";
    EXPECT_TRUE(CKsIrpTarget::SafeCloseHandle(event));
    EXPECT_EQ(event, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CKsIrpTarget::SafeCloseHandle(event));
}

TEST_F(IrpTargetTest, SyncIoctlResultsAndByteCounts) {
    DWORD status = ERROR_SUCCESS;
    DWORD bytes = 0;
    auto device =
        Device([&](DWORD, const void*, DWORD, void*, DWORD, DWORD* returned, OVERLAPPED* overlapped) {
            *returned = bytes;
            if (status == ERROR_IO_PENDING)
                sim::CompleteOverlapped(overlapped, ERROR_SUCCESS, bytes);
            return status;
        });
    HANDLE handle = sim::InsertObject(device);
    BYTE out[16];
    ULONG count = 1234;

    bytes = 16;
    EXPECT_EQ(CKsIrpTarget::SyncIoctl(handle, IOCTL_KS_PROPERTY, nullptr, 0, out, 16, &count), S_OK);
    EXPECT_EQ(count, 16u);
    EXPECT_TRUE(device->requests.back().overlapped);

    status = ERROR_IO_PENDING;
    EXPECT_EQ(CKsIrpTarget::SyncIoctl(handle, IOCTL_KS_PROPERTY, nullptr, 0, out, 16, &count), S_OK);
    EXPECT_EQ(count, 16u) << "a pended request's count is the one its completion left";

    // Size query: only for a property request with no output buffer.
    status = ERROR_MORE_DATA;
    bytes = 40;
    EXPECT_EQ(CKsIrpTarget::SyncIoctl(handle, IOCTL_KS_PROPERTY, nullptr, 0, nullptr, 0, &count), S_OK);
    EXPECT_EQ(count, 40u);
    status = ERROR_INSUFFICIENT_BUFFER;
    EXPECT_EQ(CKsIrpTarget::SyncIoctl(handle, IOCTL_KS_PROPERTY, nullptr, 0, nullptr, 0, &count), S_OK);
    EXPECT_EQ(count, 40u);
    EXPECT_EQ(CKsIrpTarget::SyncIoctl(handle, IOCTL_KS_PROPERTY, nullptr, 0, out, 8, &count), E_FAIL);
    EXPECT_EQ(count, 0u);
    count = 5;
    EXPECT_EQ(CKsIrpTarget::SyncIoctl(handle, IOCTL_KS_WRITE_STREAM, nullptr, 0, nullptr, 0, &count), E_FAIL);
    EXPECT_EQ(count, 0u);
    status = ERROR_GEN_FAILURE;
    count = 5;
    EXPECT_EQ(CKsIrpTarget::SyncIoctl(handle, IOCTL_KS_PROPERTY, nullptr, 0, out, 16, &count), E_FAIL);
    EXPECT_EQ(count, 0u);
    // No count wanted.
    status = ERROR_SUCCESS;
    bytes = 16;
    EXPECT_EQ(CKsIrpTarget::SyncIoctl(handle, IOCTL_KS_PROPERTY, nullptr, 0, out, 16, nullptr), S_OK);
    CloseHandle(handle);
}

TEST_F(IrpTargetTest, SyncIoctlFailuresBeforeAndWhileWaiting) {
    SetTraceLevel(1);
    auto device = Device([](DWORD, const void*, DWORD, void*, DWORD, DWORD*, OVERLAPPED*) {
        return static_cast<DWORD>(ERROR_IO_PENDING);
    });
    HANDLE handle = sim::InsertObject(device);
    ULONG count = 77;

    EXPECT_EQ(
        CKsIrpTarget::SyncIoctl(INVALID_HANDLE_VALUE, IOCTL_KS_PROPERTY, nullptr, 0, nullptr, 0, &count),
        E_FAIL);
    EXPECT_EQ(CKsIrpTarget::SyncIoctl(nullptr, IOCTL_KS_PROPERTY, nullptr, 0, nullptr, 0, &count), E_FAIL);
    EXPECT_EQ(count, 77u);
    EXPECT_TRUE(device->requests.empty());

    sim::FailNext(sim::Call::CreateEventW, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(CKsIrpTarget::SyncIoctl(handle, IOCTL_KS_PROPERTY, nullptr, 0, nullptr, 0, &count),
              E_OUTOFMEMORY);
    EXPECT_EQ(count, 77u);
    EXPECT_TRUE(device->requests.empty());

    // The request stays pending and the wait fails: the event is still closed (the fixture counts handles).
    sim::FailNext(sim::Call::WaitForSingleObject, ERROR_INVALID_HANDLE);
    EXPECT_EQ(CKsIrpTarget::SyncIoctl(handle, IOCTL_KS_PROPERTY, nullptr, 0, nullptr, 0, &count), E_FAIL);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(Trace(), (std::vector<std::string>{
                           "CKsIrpTarget::SyncIoctl Invalid Handle",
                           "CKsIrpTarget::SyncIoctl Invalid Handle",
                           "CKsIrpTarget::SyncIoctl CreateEvent failed",
                           "CKsIrpTarget::SyncIoctl WaitForSingleObject failed dwWait:0xffffffff",
                           "CKsIrpTarget::SyncIoctl cancelled request did not complete",
                       }));
    CloseHandle(handle);
}

TEST_F(IrpTargetTest, SimplePropertiesCarryTheRequestAndTheValue) {
    ULONG stored = 0;
    auto device =
        Device([&](DWORD, const void* in, DWORD, void* out, DWORD outSize, DWORD* returned, OVERLAPPED*) {
            KSPROPERTY property;
            std::memcpy(&property, in, sizeof property);
            if (property.Flags == KSPROPERTY_TYPE_SET)
                std::memcpy(&stored, out, sizeof stored);
            else
                std::memcpy(out, &stored, outSize);
            *returned = outSize;
            return ERROR_SUCCESS;
        });
    Target target(sim::InsertObject(device));
    ULONG value = 3;
    EXPECT_EQ(
        target.SetPropertySimple(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, &value, sizeof value),
        S_OK);
    EXPECT_EQ(stored, 3u);
    value = 0;
    EXPECT_EQ(
        target.GetPropertySimple(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, &value, sizeof value),
        S_OK);
    EXPECT_EQ(value, 3u);
    ASSERT_EQ(device->requests.size(), 2u);
    for (const auto& request : device->requests) {
        EXPECT_EQ(request.code, static_cast<DWORD>(IOCTL_KS_PROPERTY));
        EXPECT_EQ(request.input.size(), sizeof(KSPROPERTY));
        EXPECT_EQ(Property(request).Set, KSPROPSETID_Connection);
        EXPECT_EQ(Property(request).Id, static_cast<ULONG>(KSPROPERTY_CONNECTION_STATE));
        EXPECT_EQ(request.outSize, sizeof value);
    }
    EXPECT_EQ(Property(device->requests[0]).Flags, static_cast<ULONG>(KSPROPERTY_TYPE_SET));
    EXPECT_EQ(Property(device->requests[1]).Flags, static_cast<ULONG>(KSPROPERTY_TYPE_GET));

    // Extra request bytes follow the KSPROPERTY.
    const BYTE extra[4] = {1, 2, 3, 4};
    EXPECT_EQ(
        target.GetPropertySimple(KSPROPSETID_Audio, 9, &value, sizeof value, const_cast<BYTE*>(extra), 4),
        S_OK);
    EXPECT_EQ(
        std::vector<BYTE>(device->requests.back().input.begin() + 24, device->requests.back().input.end()),
        std::vector<BYTE>(extra, extra + 4));
}

TEST_F(IrpTargetTest, SimplePropertiesRefuseWhatCannotBeSent) {
    // Every value read is answered in full.
    auto device = Device([](DWORD, const void*, DWORD, void*, DWORD outSize, DWORD* returned, OVERLAPPED*) {
        *returned = outSize;
        return static_cast<DWORD>(ERROR_SUCCESS);
    });
    Target target(sim::InsertObject(device));
    ULONG value = 0;
    EXPECT_EQ(target.GetPropertySimple(KSPROPSETID_Audio, 5, &value, 4, nullptr, 8), E_INVALIDARG);
    EXPECT_EQ(target.SetPropertySimple(KSPROPSETID_Audio, 5, &value, 4, nullptr, 8), E_INVALIDARG);
    BYTE extra[1] = {};
    EXPECT_EQ(target.GetPropertySimple(KSPROPSETID_Audio, 5, &value, 4, extra, 0xFFFFFFF0u), E_INVALIDARG);
    EXPECT_EQ(target.SetPropertySimple(KSPROPSETID_Audio, 5, &value, 4, extra, 0xFFFFFFE9u), E_INVALIDARG);
    EXPECT_TRUE(device->requests.empty());

    // Requests with many extra bytes are allocated; that allocation can fail.
    BYTE large[128] = {};
    FailOneAllocationAfter(0);
    EXPECT_EQ(target.GetPropertySimple(KSPROPSETID_Audio, 5, &value, 4, large, sizeof large), E_OUTOFMEMORY);
    FailOneAllocationAfter(0);
    EXPECT_EQ(target.SetPropertySimple(KSPROPSETID_Audio, 5, &value, 4, large, sizeof large), E_OUTOFMEMORY);
    EXPECT_TRUE(device->requests.empty());
    ResetAllocationFailures();

    // Once a target has made one request, a plain request needs no allocation (the render thread may
    // read the position this way).
    EXPECT_EQ(target.GetPropertySimple(KSPROPSETID_Audio, 5, &value, 4), S_OK);
    FailAllocationsAfter(0);
    EXPECT_EQ(target.GetPropertySimple(KSPROPSETID_Audio, 5, &value, 4), S_OK);
    ResetAllocationFailures();
    EXPECT_EQ(device->requests.size(), 2u);

    Target closed(INVALID_HANDLE_VALUE);
    EXPECT_EQ(closed.GetPropertySimple(KSPROPSETID_Audio, 5, &value, 4), E_FAIL);
}

TEST_F(IrpTargetTest, MultiPropertyAsksForTheSizeThenReads) {
    std::vector<BYTE> reply(40, 0xAB);
    DWORD secondStatus = ERROR_SUCCESS;
    auto device =
        Device([&](DWORD, const void*, DWORD, void* out, DWORD outSize, DWORD* returned, OVERLAPPED*) {
            *returned = static_cast<DWORD>(reply.size());
            if (outSize == 0)
                return reply.empty() ? static_cast<DWORD>(ERROR_SUCCESS)
                                     : static_cast<DWORD>(ERROR_MORE_DATA);
            std::memcpy(out, reply.data(), reply.size());
            return secondStatus;
        });
    Target target(sim::InsertObject(device));

    PKSMULTIPLE_ITEM items = nullptr;
    ULONG size = 0;
    EXPECT_EQ(target.GetPropertyMulti(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, &items, &size), S_OK);
    ASSERT_NE(items, nullptr);
    EXPECT_EQ(size, 40u);
    EXPECT_EQ(reinterpret_cast<BYTE*>(items)[39], 0xAB);
    ASSERT_EQ(device->requests.size(), 2u);
    EXPECT_EQ(device->requests[0].outSize, 0u);
    EXPECT_EQ(device->requests[1].outSize, 40u);
    delete[] reinterpret_cast<BYTE*>(items);

    // The second request fails: its result, and the buffer is still the caller's.
    secondStatus = ERROR_GEN_FAILURE;
    items = nullptr;
    EXPECT_EQ(target.GetPropertyMulti(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, &items), E_FAIL);
    EXPECT_NE(items, nullptr);
    delete[] reinterpret_cast<BYTE*>(items);

    secondStatus = ERROR_SUCCESS;
    items = nullptr;
    FailOneAllocationAfter(0);
    EXPECT_EQ(target.GetPropertyMulti(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, &items),
              E_OUTOFMEMORY);
    EXPECT_EQ(items, nullptr);

    // A property of no size: success, and the caller's pointer is left as it was.
    reply.clear();
    auto* untouched = reinterpret_cast<PKSMULTIPLE_ITEM>(&size);
    items = untouched;
    EXPECT_EQ(target.GetPropertyMulti(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, &items), S_OK);
    EXPECT_EQ(items, untouched);

    // A refused size query: its failure, the pointer unwritten.
    Target closed(INVALID_HANDLE_VALUE);
    items = nullptr;
    EXPECT_EQ(closed.GetPropertyMulti(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, &items), E_FAIL);
    EXPECT_EQ(items, nullptr);
}

TEST_F(IrpTargetTest, TracesEntryAndExitAtLevelSix) {
    // Every value read is answered in full.
    auto device = Device([](DWORD, const void*, DWORD, void*, DWORD outSize, DWORD* returned, OVERLAPPED*) {
        *returned = outSize;
        return static_cast<DWORD>(ERROR_SUCCESS);
    });
    Target target(sim::InsertObject(device));
    ULONG value = 0;
    SetTraceLevel(5);
    target.GetPropertySimple(KSPROPSETID_Audio, 5, &value, 4);
    EXPECT_TRUE(Trace().empty());
    SetTraceLevel(6);
    target.GetPropertySimple(KSPROPSETID_Audio, 5, &value, 4);
    const auto trace = Trace();
    ASSERT_FALSE(trace.empty());
    EXPECT_EQ(trace.front(), "CKsIrpTarget::GetPropertySimple() Enter");
    EXPECT_EQ(trace.back(), "CKsIrpTarget::GetPropertySimple Leave, returning 00000000");
    EXPECT_TRUE(Traced("CKsIrpTarget::SyncIoctl() Enter"));
    EXPECT_TRUE(Traced("CKsIrpTarget::SyncIoctl Leave, returning 00000000"));
    EXPECT_TRUE(Traced("CKsIrpTarget::SafeCloseHandle() Leave"));
}

} // namespace
