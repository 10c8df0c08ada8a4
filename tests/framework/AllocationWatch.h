// Watches the global operator delete of the framework test program for one address, so
// that a test can see whether destroying a module freed its memory.
#pragma once

namespace zbtest {

// Starts counting the frees of `address` from zero.
void WatchFrees(const void* address);
// How often the watched address has been freed since WatchFrees.
int WatchedFrees();

}  // namespace zbtest
