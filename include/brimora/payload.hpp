#pragma once
// Payload verification: a file on disk against the manifest's size and SHA-512 digest.

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <system_error>

#include "brimora/files.hpp"

namespace brimora {

inline constexpr std::size_t PAYLOAD_READ_BUFFER_BYTES = 131072;

enum class PayloadVerificationErrorKind { Read, SizeMismatch, HashMismatch };

struct PayloadVerificationError {
    PayloadVerificationErrorKind kind;
    std::error_code io_error;  // only for Read: the operating system's error

    // "payload could not be read: <os text>", "payload size does not match the manifest" or
    // "payload SHA-512 does not match the manifest".
    [[nodiscard]] std::string message() const;
};

// Size from metadata first (a mismatch never opens the file), then one streaming SHA-512 pass
// through a 131072-byte buffer with the file shared for read, write and delete.
[[nodiscard]] std::expected<void, PayloadVerificationError> verify_file(
    const NativePath& path, std::uint64_t expected_size, const std::array<std::uint8_t, 64>& expected_digest);

}  // namespace brimora
