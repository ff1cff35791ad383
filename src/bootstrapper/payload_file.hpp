#pragma once
// Payload verification on a native path string, for callers that keep std::filesystem::path out
// of their link (the executable); brimora::verify_file is a thin wrapper over it.

#include <array>
#include <cstdint>
#include <expected>

#include "brimora/payload.hpp"
#include "file_io.hpp"

namespace brimora::detail {

// As brimora::verify_file.
[[nodiscard]] std::expected<void, PayloadVerificationError> verify_file(
    const NativePath& path, std::uint64_t expected_size, const std::array<std::uint8_t, 64>& expected_digest);

}  // namespace brimora::detail
