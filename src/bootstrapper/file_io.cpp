#include "file_io.hpp"

namespace brimora::detail {

std::expected<std::string, std::error_code> read_whole_file(const std::filesystem::path& path,
                                                            std::size_t max_bytes) {
    auto file = ReadableFile::open(path);
    if (!file) {
        return std::unexpected(file.error());
    }
    std::string content;
    std::uint8_t chunk[8192];
    for (;;) {
        auto n = file->read(chunk);
        if (!n) {
            return std::unexpected(n.error());
        }
        if (*n == 0) {
            return content;
        }
        if (*n > max_bytes - content.size()) {
            return std::unexpected(std::make_error_code(std::errc::file_too_large));
        }
        content.append(reinterpret_cast<const char*>(chunk), *n);
    }
}

}  // namespace brimora::detail
