#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <vector>

#include "brimora/random.hpp"

namespace {

TEST(FillRandom, FillsEveryRequestedSize) {
    // Sizes straddle the chunking of the Windows path and the single-call path natively.
    for (const std::size_t size : {std::size_t{1}, std::size_t{16}, std::size_t{4096}, std::size_t{1} << 20}) {
        std::vector<std::uint8_t> a(size, 0), b(size, 0);
        brimora::fill_random(a);
        brimora::fill_random(b);
        if (size >= 16) {
            // Two independent draws of 16+ bytes colliding means the generator is not being used.
            EXPECT_NE(a, b) << "size " << size;
        }
        // A no-op or partial fill leaves the zero tail; 1 MiB of real randomness has every byte value.
        if (size == (std::size_t{1} << 20)) {
            std::array<bool, 256> seen{};
            for (const auto v : a) {
                seen[v] = true;
            }
            EXPECT_TRUE(std::ranges::all_of(seen, [](bool s) { return s; }));
            EXPECT_NE(a.back() | a[a.size() - 2] | a[a.size() - 3] | a[a.size() - 4], 0);
        }
    }
}

}  // namespace
