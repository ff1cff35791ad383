#pragma once
// Deterministic test bytes and a comparison of byte strings that reports where they part instead
// of printing both (payloads run to hundreds of kilobytes).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace brimora::testing {

// `size` bytes from a linear congruential generator: no runs, no repeats at chunk boundaries.
inline std::string pattern_bytes(std::size_t size, std::uint32_t seed) {
    std::string bytes(size, '\0');
    std::uint32_t state = seed;
    for (auto& b : bytes) {
        state = state * 1664525u + 1013904223u;
        b = static_cast<char>(state >> 24);
    }
    return bytes;
}

// Both absent, or both present with equal bytes.
inline ::testing::AssertionResult same_bytes(const std::optional<std::string>& actual,
                                             const std::optional<std::string>& expected) {
    if (!actual || !expected) {
        if (actual.has_value() == expected.has_value()) {
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure() << (actual ? "present (" + std::to_string(actual->size()) + " bytes)"
                                                        : std::string("absent"))
                                             << ", expected "
                                             << (expected ? std::to_string(expected->size()) + " bytes"
                                                          : std::string("absent"));
    }
    if (*actual == *expected) {
        return ::testing::AssertionSuccess();
    }
    const auto parted = std::ranges::mismatch(*actual, *expected);
    return ::testing::AssertionFailure() << actual->size() << " bytes, expected " << expected->size()
                                         << "; they part at byte " << (parted.in1 - actual->begin());
}

}  // namespace brimora::testing
