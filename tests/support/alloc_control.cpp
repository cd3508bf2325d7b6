#include "tests/support/alloc_control.h"

#include "sim/threads.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
// -1: no failure planned.
std::atomic<long> g_okLeft{-1};
std::atomic<bool> g_failOnce{false};
std::atomic<long> g_failed{0};
thread_local long t_allocations = 0;

// What the simulated system allocates for itself is not the driver's.
void CountAllocation() {
    if (!sim::InSimulatedKernel())
        ++t_allocations;
}

bool ShouldFail() {
    long left = g_okLeft.load();
    while (left >= 0) {
        if (left == 0) {
            if (g_failOnce.load())
                g_okLeft.store(-1);
            g_failed.fetch_add(1);
            return true;
        }
        if (g_okLeft.compare_exchange_weak(left, left - 1))
            return false;
    }
    return false;
}

void* Allocate(std::size_t size) {
    CountAllocation();
    void* block = std::malloc(size ? size : 1);
    if (!block)
        throw std::bad_alloc();
    return block;
}
} // namespace

namespace testing_support {
void FailAllocationsAfter(long okCount) {
    g_failOnce = false;
    g_okLeft = okCount;
}
void FailOneAllocationAfter(long okCount) {
    g_failOnce = true;
    g_okLeft = okCount;
}
void ResetAllocationFailures() {
    g_okLeft = -1;
    g_failOnce = false;
    g_failed = 0;
}
long FailedAllocations() {
    return g_failed.load();
}
long ThreadAllocationCount() {
    return t_allocations;
}
} // namespace testing_support

// Every form of operator new goes through here, so allocations can be counted and failed; every
// delete frees with the matching allocator.
void* operator new(std::size_t size) {
    return Allocate(size);
}
void* operator new[](std::size_t size) {
    return Allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (ShouldFail())
        return nullptr;
    CountAllocation();
    return std::malloc(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    if (ShouldFail())
        return nullptr;
    CountAllocation();
    return std::malloc(size ? size : 1);
}
void operator delete(void* block) noexcept {
    std::free(block);
}
void operator delete[](void* block) noexcept {
    std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}
void operator delete[](void* block, std::size_t) noexcept {
    std::free(block);
}
void operator delete(void* block, const std::nothrow_t&) noexcept {
    std::free(block);
}
void operator delete[](void* block, const std::nothrow_t&) noexcept {
    std::free(block);
}
