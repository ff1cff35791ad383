#pragma once
// The most heap this test executable held at once through operator new (global, unaligned forms)
// since the last reset. Memory libyaml takes with malloc is not counted.

#include <cstddef>

namespace brimora::testing {

void reset_heap_peak();
[[nodiscard]] std::size_t heap_peak_since_reset();

}  // namespace brimora::testing
