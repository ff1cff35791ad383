#pragma once
// Conversions between the platform clocks and RFC 3339 text, kept apart from the clock reads so
// every platform's arithmetic can be checked on every platform.

#include <cstdint>
#include <string>

namespace brimora::detail {

// A Windows FILETIME count (100 ns ticks since 1601-01-01 UTC) as RFC 3339 UTC text.
[[nodiscard]] std::string format_filetime_rfc3339(std::uint64_t ticks);

}  // namespace brimora::detail
