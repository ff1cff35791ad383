#pragma once
// Test payloads: contents with a pattern that never repeats at buffer-sized strides, written to a
// scratch file, and the rows of verify_file cases the platform probes share.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

#include "brimora/payload.hpp"
#include "brimora/sha512.hpp"
#include "support/temp_dir.hpp"

namespace brimora::test {

// Byte i is a mix of i and i / 251, so a chunk fed twice, dropped or shifted changes the digest.
inline std::vector<std::uint8_t> patterned(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>((i * 7 + i / 251 + 13) & 0xFF);
    }
    return bytes;
}

inline Sha512Digest digest_of(std::span<const std::uint8_t> bytes) { return sha512_of(bytes).value(); }

// `size` patterned bytes written as payload.exe in a scratch directory of its own.
struct PayloadFile {
    explicit PayloadFile(std::size_t size)
        : bytes(patterned(size)), path(dir / "payload.exe"), digest(digest_of(bytes)) {
        EXPECT_TRUE(testing::write_file(path, bytes)) << path;
    }
    testing::TempDir dir;
    std::vector<std::uint8_t> bytes;
    std::filesystem::path path;
    Sha512Digest digest;
};

// A verify_file call and the verdict it must give (nothing: the file is accepted).
struct VerifyCase {
    const char* what;
    std::filesystem::path path;
    std::uint64_t size;
    Sha512Digest digest;
    std::optional<PayloadVerificationErrorKind> outcome;
};

}  // namespace brimora::test
