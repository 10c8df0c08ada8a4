// Replacement global allocation functions for a test program (link HeapWatch.cpp into
// it): they count the allocations not yet given back, can make the n-th allocation from
// now fail, and count the frees of one watched address.
#pragma once

namespace zbtest {

// Makes the n-th allocation from now throw std::bad_alloc (n > 0); 0 fails none.
void FailNthAllocation(int n);
// Cancels a pending failure; true when one was still pending (the code under test needed
// fewer allocations).
bool CancelFailure();
// Allocations not yet given back.
long LiveAllocations();
// Starts counting the frees of `address` from zero.
void WatchFrees(const void* address);
// How often the watched address has been freed since WatchFrees.
int WatchedFrees();

}  // namespace zbtest
