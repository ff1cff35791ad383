#pragma once
// Test payload contents with a pattern that never repeats at buffer-sized strides.

#include <cstdint>
#include <vector>

namespace brimora::test {

// Byte i is a mix of i and i / 251, so a chunk fed twice, dropped or shifted changes the digest.
inline std::vector<std::uint8_t> patterned(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>((i * 7 + i / 251 + 13) & 0xFF);
    }
    return bytes;
}

}  // namespace brimora::test
