#pragma once
// A private directory under the system temp directory, removed with everything in it afterwards.

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "brimora/uuid.hpp"
#include "file_io.hpp"

namespace brimora::testing {

class ScratchDir {
public:
    ScratchDir()
        : path_(std::filesystem::temp_directory_path() / ("brimora-acquisition-" + Uuid::random_v4().to_string())) {
        std::filesystem::create_directories(path_);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    [[nodiscard]] const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

inline void write_file(const std::filesystem::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string read_file(const std::filesystem::path& path) { return detail::read_whole_file(path).value_or("<unreadable>"); }

}  // namespace brimora::testing
