// Allocation failures on demand: this program's operator new counts the calling thread's
// allocations while armed and throws std::bad_alloc at the chosen one.
#pragma once

namespace FailingAllocation {

// From now on, the calling thread's allocation number failAt (counted from 1) throws.
void Arm(long failAt);
// Stops failing; returns how many allocations the thread made while armed.
long Disarm();

}  // namespace FailingAllocation
