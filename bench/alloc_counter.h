// Counts heap allocations made by the process, and the bytes they hold, so a
// benchmark can report them per iteration. Linking this library replaces the global
// operator new and delete.
#pragma once

#include <cstdint>

namespace bench {

// Allocations made through operator new while counting was on.
std::uint64_t allocationCount();
// Bytes held by allocations made through operator new while counting was on and not
// yet freed, as the allocator sized them. Differences are what a benchmark can use.
std::int64_t liveBytes();

// Counting is on from the start. Off, operator new and delete are plain malloc and
// free, so that a timed loop does not pay for the counters; live bytes are then only
// meaningful as a difference taken while counting stays on.
void setCounting(bool on);

}  // namespace bench
