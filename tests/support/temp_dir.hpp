#pragma once
// A private scratch directory per test, removed afterwards. Named with random bytes so parallel
// test processes never collide.

#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>

#include "brimora/random.hpp"

namespace brimora::testing {

class TempDir {
public:
    TempDir() {
        std::uint8_t bytes[8];
        brimora::fill_random(bytes);
        std::string name = "brimora-test-";
        for (const auto b : bytes) {
            static constexpr char HEX[] = "0123456789abcdef";
            name += HEX[b >> 4];
            name += HEX[b & 15];
        }
        path_ = std::filesystem::temp_directory_path() / name;
        std::filesystem::create_directories(path_);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    [[nodiscard]] const std::filesystem::path& path() const { return path_; }
    [[nodiscard]] std::filesystem::path operator/(const std::filesystem::path& leaf) const { return path_ / leaf; }

private:
    std::filesystem::path path_;
};

}  // namespace brimora::testing
