#pragma once
// What every fuzz target shares: a property that does not hold stops the run with the input
// libFuzzer saves as the reproducer, and a broken property names itself.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string_view>

namespace brimora::fuzz {

// Aborts (libFuzzer reports a crash and writes the input) when `holds` is false.
inline void require(bool holds, const char* property) {
    if (!holds) {
        std::fprintf(stderr, "property broken: %s\n", property);
        std::abort();
    }
}

inline std::string_view text_of(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

}  // namespace brimora::fuzz
