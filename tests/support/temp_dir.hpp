#pragma once
// A private scratch directory per test, removed with everything in it afterwards, and the small
// file helpers the tests share. Named with random bytes so parallel test processes never collide.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

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

// Writes (creating or truncating) the file with exactly these bytes, creating missing parent
// directories; false when that failed.
inline bool write_file(const std::filesystem::path& path, std::string_view bytes) {
    std::error_code ignored;
    std::filesystem::create_directories(path.parent_path(), ignored);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    return static_cast<bool>(out);
}

inline bool write_file(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
    return write_file(path, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

// The whole content of a file, or nothing when it cannot be read.
inline std::optional<std::string> read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace brimora::testing
