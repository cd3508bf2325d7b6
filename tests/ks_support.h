// Helpers shared by the Kernel Streaming tests: a filter bound to a simulated device's handle without
// opening a device path, a scripted I/O target, and trace capture.
#pragma once

#include "ks/filter.h"
#include "ks/trace.h"
#include "sim/debug_output.h"
#include "sim/failure_injection.h"
#include "sim/kernel_objects.h"
#include "sim/larkspur/device.h"
#include "sim/text.h"
#include "tests/support/alloc_control.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ks_test {

class BoundFilter : public CKsFilter {
public:
    explicit BoundFilter(HANDLE handle, HRESULT* result = nullptr)
        : CKsFilter(TEXT("\\\\?\\usb#larkspur#test"), result ? result : &m_result) {
        m_handle = handle;
    }

private:
    HRESULT m_result = S_OK;
};

// An I/O target whose answers a test writes; it keeps the requests it saw.
class ScriptedTarget : public sim::IoTarget {
public:
    struct Request {
        DWORD code;
        std::vector<BYTE> input;
        DWORD outSize;
        bool overlapped;
    };
    using Answer = std::function<DWORD(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                                       DWORD* returned, OVERLAPPED* overlapped)>;

    explicit ScriptedTarget(Answer answer) : m_answer(std::move(answer)) {}
    DWORD IoControl(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned,
                    OVERLAPPED* overlapped) override {
        const BYTE* bytes = static_cast<const BYTE*>(in);
        requests.push_back({code, bytes ? std::vector<BYTE>(bytes, bytes + inSize) : std::vector<BYTE>{},
                            outSize, overlapped != nullptr});
        return m_answer(code, in, inSize, out, outSize, returned, overlapped);
    }

    std::vector<Request> requests;

private:
    Answer m_answer;
};

// Every test starts with nothing planned to fail and the trace at the given level, captured.
class KsTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::ClearFailures();
        testing_support::ResetAllocationFailures();
        sim::ClearDebugOutput();
        SetTraceLevel(0);
        m_handlesBefore = sim::OpenHandleCount();
    }
    void TearDown() override {
        SetTraceLevel(0);
        sim::ClearFailures();
        testing_support::ResetAllocationFailures();
        EXPECT_EQ(sim::OpenHandleCount(), m_handlesBefore) << "handles leaked";
    }
    static std::vector<std::string> Trace() { return sim::DebugOutput(); }
    static bool Traced(const std::string& message) {
        const auto trace = Trace();
        return std::find(trace.begin(), trace.end(), message) != trace.end();
    }

private:
    size_t m_handlesBefore = 0;
};

// A KsTest with a simulated Larkspur and a filter bound to its handle. Tear-down closes the filter and
// lets go of any request the device still holds.
class FilterTest : public KsTest {
protected:
    void SetUp() override {
        KsTest::SetUp();
        m_device = sim::larkspur::Device::Create();
        m_filter = std::make_unique<BoundFilter>(m_device->OpenFilterHandle());
    }
    void TearDown() override {
        m_filter.reset();
        m_device->ReleaseHeld();
        KsTest::TearDown();
    }

    std::shared_ptr<sim::larkspur::Device> m_device;
    std::unique_ptr<BoundFilter> m_filter;
};

} // namespace ks_test
