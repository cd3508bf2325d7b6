// Test control over the nothrow operator new/new[] that the driver uses for every allocation.
#pragma once

namespace testing_support {

// From now on, let `okCount` nothrow allocations succeed, then fail every later one until reset.
void FailAllocationsAfter(long okCount);
// Fail exactly the allocation that comes after `okCount` successful ones, then succeed again.
void FailOneAllocationAfter(long okCount);
// All nothrow allocations succeed again.
void ResetAllocationFailures();
// Nothrow allocations that were made to fail since the last reset.
long FailedAllocations();

// Heap allocations (any operator new) made by the calling thread since it started, leaving out those
// of the simulated system's own calls.
long ThreadAllocationCount();

} // namespace testing_support
