#pragma once
// What each platform supplies to Sha512: its hash context and the three operations on it.

#include <cstdint>
#include <expected>
#include <span>
#include <system_error>

#include "brimora/sha512.hpp"

namespace brimora::detail {

// A fresh SHA-512 context from the platform's provider.
[[nodiscard]] std::expected<Sha512::StatePtr, std::error_code> start_sha512_state();

// Feeds `bytes` to the context; after a failure the context must not be used again.
[[nodiscard]] std::expected<void, std::error_code> update_sha512_state(Sha512::State& state,
                                                                       std::span<const std::uint8_t> bytes);

// Finalises the context into the 64-byte digest.
[[nodiscard]] std::expected<Sha512Digest, std::error_code> finish_sha512_state(Sha512::State& state);

}  // namespace brimora::detail
