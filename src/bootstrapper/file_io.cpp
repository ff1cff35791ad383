#include "file_io.hpp"

#include <filesystem>
#include <type_traits>

namespace brimora::detail {
namespace {

// Callers hand std::filesystem::path values over as they are, through its conversion to this.
static_assert(std::is_same_v<NativePath, std::filesystem::path::string_type>);

#ifdef _WIN32
constexpr bool is_separator(wchar_t c) noexcept { return c == L'\\' || c == L'/'; }

// "C:" and "C:\\": the drive prefix is part of the root, never a component.
constexpr std::size_t drive_prefix_length(NativePathView path) noexcept {
    return path.size() >= 2 && path[1] == L':' ? 2 : 0;
}
#else
constexpr bool is_separator(char c) noexcept { return c == '/'; }

constexpr std::size_t drive_prefix_length(NativePathView) noexcept { return 0; }
#endif

// Where the last component starts.
std::size_t last_component_start(NativePathView path) noexcept {
    std::size_t start = path.size();
    const std::size_t floor = drive_prefix_length(path);
    while (start > floor && !is_separator(path[start - 1])) {
        --start;
    }
    return start;
}

}  // namespace

NativePath native_parent(NativePathView path) {
    const std::size_t floor = drive_prefix_length(path);
    std::size_t end = last_component_start(path);
    if (end == floor) {
        return NativePath(path.substr(0, floor));
    }
    // Separators before the last component go, but the one that makes the root does not.
    while (end > floor + 1 && is_separator(path[end - 2])) {
        --end;
    }
    if (end == floor + 1) {
        return NativePath(path.substr(0, floor + 1));
    }
    return NativePath(path.substr(0, end - 1));
}

NativePathView native_file_name(NativePathView path) noexcept { return path.substr(last_component_start(path)); }

std::expected<std::string, std::error_code> read_whole_file(const NativePath& path, std::size_t max_bytes) {
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
