// Counts heap allocations made by the process, so a benchmark can report them per
// iteration. Linking this library replaces the global operator new.
#pragma once

#include <cstdint>

namespace bench {

std::uint64_t allocationCount();

}  // namespace bench
