#pragma once
// Counts the program's own live allocations (Wine reports no private
// bytes, so a benchmark measures itself).
#include <cstddef>

namespace bench {
long long live_bytes();
long long peak_bytes();
void reset_peak();
} // namespace bench
