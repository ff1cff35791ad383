#pragma once
// The operating system's cryptographic random generator.

#include <cstdint>
#include <span>

namespace brimora {

// Fills `out` with cryptographically random bytes (ProcessPrng, else BCryptGenRandom, on Windows;
// getrandom natively). These sources do not fail on a working system; if one ever does, the
// process is terminated rather than carry on with predictable identifiers.
void fill_random(std::span<std::uint8_t> out);

}  // namespace brimora
