#pragma once
// Test files for payload checks: a private directory per test, removed afterwards, and contents
// with a pattern that never repeats at buffer-sized strides.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "brimora/random.hpp"

namespace brimora::test {

class ScratchDir {
public:
    ScratchDir() {
        std::uint8_t noise[8];
        fill_random(noise);
        std::string name = "brimora-payload-";
        for (const std::uint8_t b : noise) {
            name += "0123456789abcdef"[b >> 4];
            name += "0123456789abcdef"[b & 15];
        }
        root_ = std::filesystem::temp_directory_path() / name;
        std::filesystem::create_directories(root_);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    [[nodiscard]] const std::filesystem::path& root() const { return root_; }

private:
    std::filesystem::path root_;
};

// Byte i is a mix of i and i / 251, so a chunk fed twice, dropped or shifted changes the digest.
inline std::vector<std::uint8_t> patterned(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>((i * 7 + i / 251 + 13) & 0xFF);
    }
    return bytes;
}

// False when the file could not be written; callers ASSERT on it.
[[nodiscard]] inline bool write_file(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
    std::error_code ignored;
    std::filesystem::create_directories(path.parent_path(), ignored);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    return static_cast<bool>(out);
}

}  // namespace brimora::test
